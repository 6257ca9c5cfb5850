#include "samplerows.h"

#include "brovaflags.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>

#include "brovacalibration.h"
#include "brovadaq.h"

namespace brovatools {

const std::vector<std::string>& threeAxisColumns()
{
    static const std::vector<std::string> names = {"x",  "y",  "z",  "s1", "s2", "s3",
                                                   "s4", "s5", "s6", "s7", "s8", "aux"};
    return names;
}

const std::vector<std::string>& sixAxisColumns()
{
    static const std::vector<std::string> names = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
    return names;
}

const std::vector<std::string>& threeAxisForceColumns()
{
    static const std::vector<std::string> names = {"x_N", "y_N", "z_N"};
    return names;
}

const std::vector<std::string>& sixAxisForceColumns()
{
    static const std::vector<std::string> names = {"Fx_N", "Fy_N", "Fz_N", "Tx_Nm", "Ty_Nm", "Tz_Nm"};
    return names;
}

std::string formatForce(double v)
{
    if (!std::isfinite(v))
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.8g", v == 0 ? 0.0 : v);  // no "-0"
    return text;
}

std::string formatSeconds(int64_t micros)
{
    char text[48];
    const uint64_t magnitude = micros < 0 ? 0 - static_cast<uint64_t>(micros) : static_cast<uint64_t>(micros);
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%06" PRIu64, micros < 0 ? "-" : "", magnitude / 1000000,
                  magnitude % 1000000);
    return text;
}

namespace {

// The length of the valid UTF-8 sequence at text[i], or 0 where the byte
// there does not start one (a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a sequence cut short).
size_t utf8Length(const std::string& text, size_t i)
{
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    if (c < 0x80)
        return 1;
    size_t n;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            low = 0xA0;  // no overlong form
        if (c == 0xED)
            high = 0x9F;  // no surrogate
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            low = 0x90;
        if (c == 0xF4)
            high = 0x8F;  // up to U+10FFFF
    } else {
        return 0;
    }
    if (i + n > text.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return n;
}

// Appends the text with every byte that is not valid UTF-8 made U+FFFD.
void appendValidUtf8(const std::string& text, std::string& out)
{
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8Length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
}

} // namespace

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const size_t n = utf8Length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out + "\"";
}

std::string csvField(const std::string& text)
{
    std::string valid;
    appendValidUtf8(text, valid);
    if (valid.find_first_of(",\"\r\n") == std::string::npos)
        return valid;
    std::string out = "\"";
    for (const char c : valid) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonNumber(const std::string& formatted)
{
    return formatted.empty() ? std::string("null") : formatted;
}

bool timeClockFromName(const std::string& name, TimeClock& clock)
{
    for (const TimeClock c : {TimeClock::Relative, TimeClock::Monotonic, TimeClock::Realtime})
        if (name == timeClockName(c)) {
            clock = c;
            return true;
        }
    return false;
}

const char* timeClockName(TimeClock clock)
{
    switch (clock) {
    case TimeClock::Monotonic:
        return "monotonic";
    case TimeClock::Realtime:
        return "realtime";
    case TimeClock::Relative:
        break;
    }
    return "relative";
}

int64_t monotonicNow()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::vector<int64_t> stampsOf(BrovaDAQ& daq, int n)
{
    std::vector<int64_t> stamps(static_cast<size_t>(std::max(n, 0)));
    const int got = n > 0 ? daq.getStamps(stamps.data(), n) : 0;
    // A read always stamps what it hands out; should a count differ, the
    // missing ones take the last stamp known (or now).
    for (int k = std::max(std::min(got, n), 0); k < n; ++k)
        stamps[static_cast<size_t>(k)] = k ? stamps[static_cast<size_t>(k - 1)] : monotonicNow();
    return stamps;
}

std::vector<uint32_t> flagsOf(BrovaDAQ& daq, int n)
{
    std::vector<uint32_t> flags(static_cast<size_t>(std::max(n, 0)), 0u);
    if (n > 0)
        daq.getFlags(flags.data(), n);
    return flags;
}

std::string flagsText(uint32_t flags)
{
    std::string s;
    if (flags & BROVA_FLAG_RAIL)
        s = "rail";
    if (flags & BROVA_FLAG_OVER_RANGE)
        s += s.empty() ? "over range" : ", over range";
    return s;
}

namespace {

SampleRow rowOf(int port, uint64_t sample, int64_t stamp, int state, bool sixAxis, const int32_t* values, int count)
{
    SampleRow r;
    r.port = port;
    r.sample = sample;
    r.stamp = stamp;
    r.state = state;
    r.sixAxis = sixAxis;
    std::copy(values, values + count, r.values);
    return r;
}

} // namespace

void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const int64_t* stamps,
                const BrovaPackage* all, int n, int channels, bool asWrench, const RowCalibration* cal,
                const uint32_t* flags)
{
    const BrovaCalibration* calibration = cal ? cal->calibration : nullptr;
    const bool wrenchCalibrated = calibration && asWrench && channels == 4 && calibration->hasSixAxis();
    bool channelCalibrated[4] = {};
    for (int c = 0; calibration && c < std::min(channels, 4); ++c)
        channelCalibrated[c] = calibration->hasChannel(c);
    const bool allTared = cal && cal->tared[0] && cal->tared[1] && cal->tared[2] && cal->tared[3];
    for (int k = 0; k < n; ++k) {
        const int64_t at = stamps[k];
        if (asWrench && channels == 4) {
            int32_t six[6];
            const BrovaPackage &c0 = all[k], &c1 = all[n + k], &c2 = all[2 * n + k], &c3 = all[3 * n + k];
            BrovaDAQ::wrenchOf(c0, c1, c2, c3, six);
            rows.push_back(rowOf(port, first + k, at, c0.config.getState(), true, six, 6));
            rows.back().flags = flags ? flags[k] : 0u;
            if (wrenchCalibrated) {
                double w[6];
                rows.back().calibrated = calibration->applyWrench(c0, c1, c2, c3, allTared, w, rows.back().flags);
                std::copy(w, w + 6, rows.back().force);
            }
            continue;
        }
        for (int c = 0; c < channels; ++c) {
            const BrovaPackage& p = all[c * n + k];
            const int32_t v[12] = {p.x, p.y, p.z, p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8, p.aux};
            rows.push_back(rowOf(port, first + k, at, p.config.getState(), false, v, 12));
            SampleRow& r = rows.back();
            r.channel = c;
            r.flags = flags ? flags[k] : 0u;
            if (c < 4 && channelCalibrated[c]) {
                double f[3];
                r.calibrated = calibration->applyForce(p, c, cal->tared[c], f, r.flags);
                std::copy(f, f + 3, r.force);
            }
        }
    }
}

void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const int64_t* stamps,
                const BrovaPackage6D* all, int n, const RowCalibration* cal, const uint32_t* flags)
{
    const BrovaCalibration* calibration = cal && cal->calibration && cal->calibration->hasSixAxis() ? cal->calibration
                                                                                                      : nullptr;
    for (int k = 0; k < n; ++k) {
        const BrovaPackage6D& p = all[k];
        const int32_t v[6] = {p.Fx, p.Fy, p.Fz, p.Tx, p.Ty, p.Tz};
        rows.push_back(rowOf(port, first + k, stamps[k], p.sensor1.config.getState(), true, v, 6));
        rows.back().flags = flags ? flags[k] : 0u;
        if (calibration) {
            double w[6];
            rows.back().calibrated = calibration->applyWrench(p, cal->tared[0], w, rows.back().flags);
            std::copy(w, w + 6, rows.back().force);
        }
    }
}

void RateMeter::add(int64_t micros, uint64_t total)
{
    seen.emplace_back(micros, total);
    while (seen.size() > 2 && micros - seen.front().first > 1000000)
        seen.pop_front();
}

double RateMeter::perSecond() const
{
    if (seen.size() < 2)
        return 0.0;
    const double span = (seen.back().first - seen.front().first) / 1e6;
    return span > 0 ? (seen.back().second - seen.front().second) / span : 0.0;
}

SampleSink::SampleSink(std::FILE* o, RowFormat f, std::vector<std::string> portNames, bool three, bool six,
                       TimeClock c, int64_t realtimeOffset)
    : out(o), format(f), ports(std::move(portNames)), threeAxis(three), sixAxis(six), timeClock(c),
      offset(realtimeOffset), portTimes(ports.size()), portStamps(ports.size())
{
}

int64_t SampleSink::columnMicros(int64_t stamp)
{
    // Whole microseconds, rounded down (also below zero).
    const auto micros = [](int64_t ns) { return ns / 1000 - (ns % 1000 < 0 ? 1 : 0); };
    switch (timeClock) {
    case TimeClock::Monotonic:
        return micros(stamp);
    case TimeClock::Realtime:
        return micros(stamp + offset);
    case TimeClock::Relative:
        break;
    }
    if (!haveOrigin) {
        haveOrigin = true;
        originStamp = stamp;
    }
    return micros(stamp - originStamp);
}

void SampleSink::setForceColumns(bool threeAxisN, bool sixAxisN)
{
    threeAxisForce = threeAxisN;
    sixAxisForce = sixAxisN;
}

std::vector<std::string> SampleSink::lowPassNames(bool six) const
{
    const bool force = six ? sixAxisForce : threeAxisForce;
    const std::vector<std::string>& base =
        six ? (force ? sixAxisForceColumns() : sixAxisColumns()) : (force ? threeAxisForceColumns() : threeAxisColumns());
    std::vector<std::string> names;
    for (size_t i = 0; i < (six ? 6u : 3u); ++i)
        names.push_back(base[i] + "_lp");
    return names;
}

std::vector<std::string> SampleSink::columns() const
{
    std::vector<std::string> c = {"time"};
    if (ports.size() > 1)
        c.push_back("port");
    c.insert(c.end(), {"sample", "channel", "state"});
    if (threeAxis)
        c.insert(c.end(), threeAxisColumns().begin(), threeAxisColumns().end());
    if (sixAxis)
        c.insert(c.end(), sixAxisColumns().begin(), sixAxisColumns().end());
    if (threeAxisForce)
        c.insert(c.end(), threeAxisForceColumns().begin(), threeAxisForceColumns().end());
    if (sixAxisForce)
        c.insert(c.end(), sixAxisForceColumns().begin(), sixAxisForceColumns().end());
    for (bool six : {false, true}) {
        if (lowPass && (six ? sixAxis : threeAxis)) {
            const std::vector<std::string> names = lowPassNames(six);
            c.insert(c.end(), names.begin(), names.end());
        }
    }
    c.push_back("flags");
    return c;
}

void SampleSink::writeHeader()
{
    if (format != RowFormat::Csv)
        return;
    std::string h;
    for (const std::string& c : columns())
        h += (h.empty() ? "" : ",") + c;
    std::fprintf(out, "%s\n", h.c_str());
}

std::string SampleSink::line(const SampleRow& r, int64_t micros) const
{
    std::string s;
    const std::string port = r.port >= 0 && r.port < static_cast<int>(ports.size()) ? ports[static_cast<size_t>(r.port)] : "";
    if (format == RowFormat::Csv) {
        s = formatSeconds(micros);
        if (ports.size() > 1)
            s += "," + csvField(port);
        s += "," + std::to_string(r.sample) + "," + std::to_string(r.channel) + "," + std::to_string(r.state);
        if (threeAxis)
            for (int i = 0; i < 12; ++i)
                s += "," + (r.sixAxis ? std::string() : std::to_string(r.values[i]));
        if (sixAxis)
            for (int i = 0; i < 6; ++i)
                s += "," + (r.sixAxis ? std::to_string(r.values[i]) : std::string());
        if (threeAxisForce)
            for (int i = 0; i < 3; ++i)
                s += "," + (!r.sixAxis && r.calibrated ? formatForce(r.force[i]) : std::string());
        if (sixAxisForce)
            for (int i = 0; i < 6; ++i)
                s += "," + (r.sixAxis && r.calibrated ? formatForce(r.force[i]) : std::string());
        if (lowPass && threeAxis)
            for (int i = 0; i < 3; ++i)
                s += "," + (!r.sixAxis && r.filtered ? formatForce(r.lowpass[i]) : std::string());
        if (lowPass && sixAxis)
            for (int i = 0; i < 6; ++i)
                s += "," + (r.sixAxis && r.filtered ? formatForce(r.lowpass[i]) : std::string());
        return s + "," + std::to_string(r.flags);
    }
    s = "{\"time\":" + formatSeconds(micros);
    if (!r.event.empty()) {
        if (!port.empty())
            s += ",\"port\":" + jsonString(port);
        return s + ",\"event\":" + jsonString(r.event) + ",\"detail\":" + jsonString(r.detail) + "}";
    }
    if (ports.size() > 1)
        s += ",\"port\":" + jsonString(port);
    s += ",\"sample\":" + std::to_string(r.sample) + ",\"channel\":" + std::to_string(r.channel) +
         ",\"state\":" + std::to_string(r.state);
    const std::vector<std::string>& names = r.sixAxis ? sixAxisColumns() : threeAxisColumns();
    for (size_t i = 0; i < names.size(); ++i)
        s += ",\"" + names[i] + "\":" + std::to_string(r.values[i]);
    if (r.calibrated) {
        const std::vector<std::string>& units = r.sixAxis ? sixAxisForceColumns() : threeAxisForceColumns();
        for (size_t i = 0; i < units.size(); ++i) {
            s += ",\"" + units[i] + "\":" + jsonNumber(formatForce(r.force[i]));
        }
    }
    if (lowPass && r.filtered) {
        const std::vector<std::string> names = lowPassNames(r.sixAxis);
        for (size_t i = 0; i < names.size(); ++i)
            s += ",\"" + names[i] + "\":" + jsonNumber(formatForce(r.lowpass[i]));
    }
    return s + ",\"flags\":" + std::to_string(r.flags) + "}";
}

void SampleSink::add(std::vector<SampleRow>& rows)
{
    // Stamps closer than the column shows (a port's first samples, before
    // its rate is known, may be nanoseconds apart) are spaced a microsecond
    // apart before the rows are put in time order, so that no port's rows
    // are pushed past another's when they are written.
    for (SampleRow& r : rows) {
        if (!r.event.empty() || r.port < 0 || r.port >= static_cast<int>(portStamps.size()))
            continue;
        PortStamp& q = portStamps[static_cast<size_t>(r.port)];
        if (q.any && r.sample == q.sample)
            r.stamp = q.stamp;  // the channels of one sample share its time
        else if (q.any && r.stamp < q.stamp + 1000)
            r.stamp = q.stamp + 1000;
        q = {true, r.sample, r.stamp};
    }
    held.insert(held.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    rows.clear();
}

void SampleSink::addEvent(int64_t stamp, int port, const std::string& event, const std::string& detail)
{
    if (format != RowFormat::JsonLines)
        return;
    SampleRow r;
    r.stamp = stamp;
    r.port = port;
    r.event = event;
    r.detail = detail;
    held.push_back(std::move(r));
}

void SampleSink::release(int64_t upTo)
{
    std::stable_sort(held.begin(), held.end(),
                     [](const SampleRow& a, const SampleRow& b) { return a.stamp < b.stamp; });
    const auto end = std::upper_bound(held.begin(), held.end(), upTo,
                                      [](int64_t t, const SampleRow& r) { return t < r.stamp; });
    if (!haveOrigin && timeClock == TimeClock::Relative) {
        // The origin: the first sample written (an event before it, if any,
        // is then below zero).
        const auto first = std::find_if(held.begin(), end, [](const SampleRow& r) { return r.event.empty(); });
        if (first != end)
            columnMicros(first->stamp);
    }
    for (auto it = held.begin(); it != end; ++it) {
        const SampleRow& r = *it;
        int64_t micros = columnMicros(r.stamp);
        if (r.event.empty() && r.port >= 0 && r.port < static_cast<int>(portTimes.size())) {
            // A port's samples strictly increase; its channels share a time.
            PortTime& p = portTimes[static_cast<size_t>(r.port)];
            if (p.any)
                micros = p.sample == r.sample ? p.micros : std::max(micros, p.micros + 1);
            p = {true, r.sample, micros};
        }
        const std::string text = line(r, micros);
        std::fwrite(text.data(), 1, text.size(), out);
        std::fputc('\n', out);
        if (r.event.empty())
            ++written;
    }
    held.erase(held.begin(), end);
}

void SampleSink::write(std::vector<SampleRow>& rows)
{
    add(rows);
    releaseAll();
}

void SampleSink::renamePort(int port, const std::string& name)
{
    if (port >= 0 && port < static_cast<int>(ports.size()))
        ports[static_cast<size_t>(port)] = name;
}

bool SampleSink::flush()
{
    return std::fflush(out) == 0 && !std::ferror(out);
}

} // namespace brovatools
