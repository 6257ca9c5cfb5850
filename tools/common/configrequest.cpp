#include "configrequest.h"

namespace brovatools {

SensorConfig ConfigRequest::appliedTo(SensorConfig present) const
{
    if (rate)
        present.setSpeed(rate);
    if (filter >= 0)
        present.setFilter(filter);
    if (mode >= 0)
        present.setMode(mode);
    return present;
}

bool ConfigRequest::confirmedBy(const SensorConfig& got) const
{
    return (!rate || got.getSpeed() == rate) && (filter < 0 || got.getFilter() == filter) &&
           (mode < 0 || got.getMode() == mode);
}

std::string describeConfig(const SensorConfig& c)
{
    return "rate " + std::to_string(c.getSpeed()) + " per second, filter " +
           (c.getFilter() ? std::to_string(c.getFilter()) + " Hz" : std::string("none")) + ", mode " +
           (c.getMode() ? "vector" : "raw");
}

} // namespace brovatools
