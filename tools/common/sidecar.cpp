#include "sidecar.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "samplerows.h"

namespace brovatools {

namespace {

std::string number(uint64_t v)
{
    return std::to_string(v);
}

std::string rate(double perSecond)
{
    if (!(perSecond > 0))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", perSecond);
    return text;
}

std::string calibration(const SidecarDevice& d)
{
    if (!d.calibrated)
        return "null";
    const SidecarCalibration& c = d.calibration;
    return "{\"path\": " + jsonString(c.path) + ", \"sha256\": " + jsonString(c.sha256) +
           ", \"serial\": " + jsonString(c.serial) + ", \"date\": " + jsonString(c.date) +
           ", \"foundByIdentity\": " + (c.foundByIdentity ? "true" : "false") +
           ", \"forced\": " + (c.forced ? "true" : "false") + ", \"units\": {\"force\": \"N\", \"torque\": \"N*m\"}}";
}

// The unit of a value column: seconds, counts, N or N*m; empty for the
// columns that are not values.
std::string unitOf(const std::string& name)
{
    // A low-pass filtered column has its source's unit.
    const bool filtered = name.size() > 3 && name.compare(name.size() - 3, 3, "_lp") == 0;
    const std::string column = filtered ? name.substr(0, name.size() - 3) : name;
    if (column == "time")
        return "s";
    if (column == "port" || column == "sample" || column == "channel" || column == "state" || column == "flags")
        return {};
    const auto endsWith = [&](const char* tail) {
        const std::string t(tail);
        return column.size() > t.size() && column.compare(column.size() - t.size(), t.size(), t) == 0;
    };
    if (endsWith("_Nm"))
        return "N*m";
    if (endsWith("_N"))
        return "N";
    return "counts";
}

std::string device(const SidecarDevice& d)
{
    const BrovaStatistics& x = d.statistics;
    return "{\"port\": " + jsonString(d.port) + ", \"kind\": " + std::to_string(d.kind) +
           ", \"kindText\": " + jsonString(d.kindText) + ", \"identification\": " + jsonString(d.identification) +
           ", \"sixAxisFromFourChannels\": " + (d.sixAxisFromFourChannels ? "true" : "false") +
           ", \"rate\": " + std::to_string(d.rate) + ", \"filter\": " + std::to_string(d.filter) +
           ", \"mode\": \"" + (d.mode ? "vector" : "raw") + "\", \"samples\": " + number(d.samples) +
           ", \"bytesReceived\": " + number(x.bytesReceived) + ", \"framesAccepted\": " + number(x.framesAccepted) +
           ", \"checksumFailures\": " + number(x.checksumFailures) + ", \"framesMalformed\": " +
           number(x.framesMalformed) + ", \"bytesDiscarded\": " + number(x.bytesDiscarded) +
           ", \"readsLost\": " + number(d.readsLost) + ", \"flagged\": " + number(d.flagged) +
           ", \"estimatedRate\": " + rate(d.estimatedRate) +
           ", \"calibration\": " + calibration(d) + "}";
}

} // namespace

std::string sidecarJson(const SidecarRun& run)
{
    std::string s = "{\n  \"started\": " + jsonString(run.started) + ",\n  \"seconds\": " +
                    std::to_string(run.seconds) + ",\n  \"format\": " + jsonString(run.format) + ",\n  \"columns\": [";
    for (size_t i = 0; i < run.columns.size(); ++i)
        s += (i ? ", " : "") + jsonString(run.columns[i]);
    s += "],\n  \"units\": {";
    bool first = true;
    for (const std::string& c : run.columns) {
        const std::string unit = unitOf(c);
        if (unit.empty())
            continue;
        s += (first ? "" : ", ") + jsonString(c) + ": " + jsonString(unit);
        first = false;
    }
    s += "},\n  \"clock\": " + jsonString(run.clock) + ",\n  \"realtimeOffsetNs\": " +
         std::to_string(run.realtimeOffsetNs) + ",\n  \"originNs\": " +
         (run.originNs >= 0 ? std::to_string(run.originNs) : std::string("null"));
    s += ",\n  \"tare\": " + std::string(run.tare ? "true" : "false") + ",\n  \"interrupted\": " +
         (run.interrupted ? "true" : "false") + ",\n  \"devices\": [";
    for (size_t i = 0; i < run.devices.size(); ++i)
        s += std::string(i ? "," : "") + "\n    " + device(run.devices[i]);
    s += "\n  ],\n  \"gaps\": [";
    for (size_t i = 0; i < run.gaps.size(); ++i)
        s += std::string(i ? ", " : "") + "{\"port\": " + jsonString(run.gaps[i].port) +
             ", \"from\": " + formatSeconds(run.gaps[i].from) + ", \"to\": " + formatSeconds(run.gaps[i].to) + "}";
    return s + "]\n}\n";
}

bool writeSidecar(const std::string& path, const SidecarRun& run, std::string& error)
{
    const std::string text = sidecarJson(run);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const int why = errno;
    if (std::fclose(file.release()) != 0 || !written) {
        error = std::strerror(written ? errno : why);
        return false;
    }
    return true;
}

} // namespace brovatools
