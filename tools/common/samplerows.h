// Sample rows as the tools write them: one row per sample and channel, in CSV
// (exactly one header row) or JSON lines, with a strictly increasing time
// column. Shared by `brova stream` and the live view's recorder, so that both
// write the same format.
//
// Columns, in this order:
//   time      host time in seconds since the start, six decimals. The samples
//             carry no device time: the samples of one read are spread evenly
//             over the interval since the previous read of that port, and the
//             channels of one sample follow each other 1 microsecond apart.
//   port      only when several ports are written
//   sample    the sample's number on its port, from 0
//   channel   0..3 (always 0 for a six-axis row)
//   state     the device's state field, 0..7 (5 is the normal state)
//   x, y, z, s1 ... s8, aux      three-axis rows (when any port has them)
//   Fx, Fy, Fz, Tx, Ty, Tz       six-axis rows (when any port has them)
// A row leaves the columns of the other group empty (CSV) or out (JSON).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "brovapackage.h"
#include "brovapackage6d.h"

namespace brovatools {

struct SampleRow {
    int64_t micros = 0;  // set by SampleSink
    int port = 0;        // index into the sink's port names
    uint64_t sample = 0;
    int channel = 0;
    int state = 0;
    bool sixAxis = false;
    // Three-axis: x, y, z, s1 ... s8, aux. Six-axis: Fx, Fy, Fz, Tx, Ty, Tz.
    int32_t values[12] = {};
};

enum class RowFormat { Csv, JsonLines };

// The column names of the three-axis and six-axis groups.
const std::vector<std::string>& threeAxisColumns();
const std::vector<std::string>& sixAxisColumns();

// Writes rows to a FILE in one format, keeping the time column strictly
// increasing across everything it writes.
class SampleSink {
public:
    SampleSink(std::FILE* out, RowFormat format, std::vector<std::string> portNames, bool threeAxis, bool sixAxis);

    std::vector<std::string> columns() const;
    // The CSV header row; nothing for JSON lines. Call once, first.
    void writeHeader();
    // Rows of one read cycle, from any ports: ordered by time, each made
    // later than the one written before it, then written.
    void write(std::vector<SampleRow>& rows);
    // A JSON-lines event object (e.g. a reconnection); nothing in CSV, which
    // holds samples only.
    void writeEvent(int64_t micros, int port, const std::string& event, const std::string& detail);
    bool flush();
    // The port's name from now on (a device back under another node).
    void renamePort(int port, const std::string& name);
    uint64_t rowsWritten() const { return written; }
    int64_t lastMicros() const { return last; }

private:
    std::string line(const SampleRow& r) const;
    std::FILE* out;
    RowFormat format;
    std::vector<std::string> ports;
    bool threeAxis, sixAxis;
    int64_t last = -1;
    uint64_t written = 0;
};

// Times for the n samples of one read of one port, made at nowMicros after
// the previous read of that port at previousMicros: spread evenly over the
// interval, the last one at nowMicros.
std::vector<int64_t> spreadTimes(int64_t previousMicros, int64_t nowMicros, int n);

// The rows of one read of one port: its n samples, the k-th made at
// times[k], numbered from first. From a readAll's channel-major array of
// `channels` channels: a row per sample and channel, the channels of one
// sample 1 microsecond apart; with asWrench (four channels) one six-axis row
// per sample instead, the wrench of its four channels.
void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const std::vector<int64_t>& times,
                const BrovaPackage* all, int n, int channels, bool asWrench);
// From a readAll6D's records: one six-axis row per sample.
void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const std::vector<int64_t>& times,
                const BrovaPackage6D* all, int n);

// The measured sample rate: samples per second over about the last second.
class RateMeter {
public:
    // The count of samples taken so far, at micros.
    void add(int64_t micros, uint64_t total);
    double perSecond() const;
    void clear() { seen.clear(); }

private:
    std::deque<std::pair<int64_t, uint64_t>> seen;
};

std::string formatSeconds(int64_t micros);
std::string jsonString(const std::string& text);

} // namespace brovatools
