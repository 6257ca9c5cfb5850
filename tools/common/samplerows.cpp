#include "samplerows.h"

#include <algorithm>
#include <cinttypes>

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

std::string formatSeconds(int64_t micros)
{
    char text[48];
    std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, micros / 1000000, micros % 1000000);
    return text;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::vector<int64_t> spreadTimes(int64_t previousMicros, int64_t nowMicros, int n)
{
    std::vector<int64_t> t(static_cast<size_t>(std::max(n, 0)));
    const int64_t span = std::max<int64_t>(nowMicros - previousMicros, 0);
    for (int k = 0; k < n; ++k)
        t[static_cast<size_t>(k)] = previousMicros + span * (k + 1) / n;
    return t;
}

namespace {

SampleRow rowOf(int port, uint64_t sample, int64_t micros, int state, bool sixAxis, const int32_t* values, int count)
{
    SampleRow r;
    r.port = port;
    r.sample = sample;
    r.micros = micros;
    r.state = state;
    r.sixAxis = sixAxis;
    std::copy(values, values + count, r.values);
    return r;
}

} // namespace

void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const std::vector<int64_t>& times,
                const BrovaPackage* all, int n, int channels, bool asWrench)
{
    for (int k = 0; k < n; ++k) {
        const int64_t at = times[static_cast<size_t>(k)];
        if (asWrench && channels == 4) {
            int32_t six[6];
            BrovaDAQ::wrenchOf(all[k], all[n + k], all[2 * n + k], all[3 * n + k], six);
            rows.push_back(rowOf(port, first + k, at, all[k].config.getState(), true, six, 6));
            continue;
        }
        for (int c = 0; c < channels; ++c) {
            const BrovaPackage& p = all[c * n + k];
            const int32_t v[12] = {p.x, p.y, p.z, p.s1, p.s2, p.s3, p.s4, p.s5, p.s6, p.s7, p.s8, p.aux};
            rows.push_back(rowOf(port, first + k, at + c, p.config.getState(), false, v, 12));
            rows.back().channel = c;
        }
    }
}

void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const std::vector<int64_t>& times,
                const BrovaPackage6D* all, int n)
{
    for (int k = 0; k < n; ++k) {
        const BrovaPackage6D& p = all[k];
        const int32_t v[6] = {p.Fx, p.Fy, p.Fz, p.Tx, p.Ty, p.Tz};
        rows.push_back(rowOf(port, first + k, times[static_cast<size_t>(k)], p.sensor1.config.getState(), true, v, 6));
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

SampleSink::SampleSink(std::FILE* o, RowFormat f, std::vector<std::string> portNames, bool three, bool six)
    : out(o), format(f), ports(std::move(portNames)), threeAxis(three), sixAxis(six)
{
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

std::string SampleSink::line(const SampleRow& r) const
{
    std::string s;
    const std::string port = r.port >= 0 && r.port < static_cast<int>(ports.size()) ? ports[static_cast<size_t>(r.port)] : "";
    if (format == RowFormat::Csv) {
        s = formatSeconds(r.micros);
        if (ports.size() > 1)
            s += "," + port;
        s += "," + std::to_string(r.sample) + "," + std::to_string(r.channel) + "," + std::to_string(r.state);
        if (threeAxis)
            for (int i = 0; i < 12; ++i)
                s += "," + (r.sixAxis ? std::string() : std::to_string(r.values[i]));
        if (sixAxis)
            for (int i = 0; i < 6; ++i)
                s += "," + (r.sixAxis ? std::to_string(r.values[i]) : std::string());
        return s;
    }
    s = "{\"time\":" + formatSeconds(r.micros);
    if (ports.size() > 1)
        s += ",\"port\":" + jsonString(port);
    s += ",\"sample\":" + std::to_string(r.sample) + ",\"channel\":" + std::to_string(r.channel) +
         ",\"state\":" + std::to_string(r.state);
    const std::vector<std::string>& names = r.sixAxis ? sixAxisColumns() : threeAxisColumns();
    for (size_t i = 0; i < names.size(); ++i)
        s += ",\"" + names[i] + "\":" + std::to_string(r.values[i]);
    return s + "}";
}

void SampleSink::write(std::vector<SampleRow>& rows)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [](const SampleRow& a, const SampleRow& b) { return a.micros < b.micros; });
    for (SampleRow& r : rows) {
        r.micros = std::max(r.micros, last + 1);
        last = r.micros;
        const std::string text = line(r);
        std::fwrite(text.data(), 1, text.size(), out);
        std::fputc('\n', out);
        ++written;
    }
}

void SampleSink::writeEvent(int64_t micros, int port, const std::string& event, const std::string& detail)
{
    if (format != RowFormat::JsonLines)
        return;
    std::string s = "{\"time\":" + formatSeconds(std::max(micros, last + 1));
    last = std::max(micros, last + 1);
    if (port >= 0 && port < static_cast<int>(ports.size()))
        s += ",\"port\":" + jsonString(ports[static_cast<size_t>(port)]);
    s += ",\"event\":" + jsonString(event) + ",\"detail\":" + jsonString(detail) + "}";
    std::fprintf(out, "%s\n", s.c_str());
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
