#include "devicesession.h"

namespace brovacli {

Opened openDevice(Target target, const QString& given, bool relocate, const ConfigRequest& want, bool tare,
                  bool sixAxis)
{
    Opened o;
    o.target = relocate ? locate(given, target.kind) : target;
    o.daq = openTarget(o.target);
    o.config = applyConfig(*o.daq, o.target.path, want);
    if (tare) {
        // The zero is the newest sample; the samples that came before it are
        // not part of the run.
        o.daq->zeroAll();
        if (sixAxis) {
            BrovaPackage6D* held = nullptr;
            o.daq->readAll6D(held, false);
            delete[] held;
        } else {
            BrovaPackage* held = nullptr;
            o.daq->readAll(held, false);
            delete[] held;
        }
    }
    return o;
}

DeviceSession::~DeviceSession()
{
    if (opening.valid())
        opening.wait();
    if (daq)
        daq->close();
    delete[] all;
    delete[] all6;
}

void DeviceSession::beginOpen(bool relocate, const ConfigRequest& want, bool tare)
{
    opening = std::async(std::launch::async, openDevice, target, given, relocate, want, tare, kind->sixAxis);
}

BrovaStatistics DeviceSession::statistics() const
{
    BrovaStatistics s = daq ? daq->getStatistics() : BrovaStatistics{};
    s.bytesReceived += before.bytesReceived;
    s.framesAccepted += before.framesAccepted;
    s.checksumFailures += before.checksumFailures;
    s.framesMalformed += before.framesMalformed;
    s.bytesDiscarded += before.bytesDiscarded;
    return s;
}

void DeviceSession::keepRate()
{
    if (daq && daq->getEstimatedRate() > 0)
        estimatedRate = daq->getEstimatedRate();
}

void DeviceSession::endSession()
{
    keepRate();
    before = statistics();
    daq.reset();
}

} // namespace brovacli
