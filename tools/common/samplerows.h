// Sample rows as the tools write them: one row per sample and channel, in CSV
// (exactly one header row) or JSON lines. Shared by `brova stream` and the
// live view's recorder, so that both write the same format.
//
// Columns, in this order:
//   time      the instant the device took the sample, in seconds with six
//             decimals, from the library's sample stamps (CLOCK_MONOTONIC,
//             reconstructed from the arrival of the bytes). On one of three
//             clocks (TimeClock): relative (seconds since the first sample
//             written), monotonic (the host's CLOCK_MONOTONIC) or realtime
//             (seconds since the epoch). The channels of one sample share its
//             time; the samples of one port strictly increase; rows are
//             written in time order across ports (see SampleSink).
//   port      only when several ports are written
//   sample    the sample's number on its port, from 0
//   channel   0..3 (always 0 for a six-axis row)
//   state     the device's state field, 0..7 (5 is the normal state)
//   x, y, z, s1 ... s8, aux      three-axis rows (when any port has them)
//   Fx, Fy, Fz, Tx, Ty, Tz       six-axis rows (when any port has them)
//   x_N, y_N, z_N                a calibrated three-axis channel's force in N
//                                (when any port's channels are calibrated)
//   Fx_N, Fy_N, Fz_N, Tx_Nm, Ty_Nm, Tz_Nm
//                                a calibrated six-axis row's force in N and
//                                torque in N*m (when any port's six-axis
//                                rows are calibrated)
//   x_lp, y_lp, z_lp; Fx_lp ... Tz_lp (or x_N_lp ... Tz_Nm_lp where the group
//                                has calibrated columns)
//                                the values low-pass filtered (--lowpass):
//                                the calibrated ones where the group has
//                                them, the counts otherwise; a row without
//                                them leaves them empty (out in JSON)
//   flags                        the sample's status flags (brovaflags.h), a
//                                decimal number: bit 0 a field at its rail,
//                                bit 1 a calibrated value over its rated
//                                range; 0 for a sample with nothing to tell
// The counts keep their columns; the calibrated values follow all of them,
// and the flags come last.
// A row leaves the columns of the other groups, and the calibrated columns
// when it is not calibrated, empty (CSV) or out (JSON). Calibrated values
// are written with 8 significant digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "brovapackage.h"
#include "brovapackage6d.h"

class BrovaCalibration;
class BrovaDAQ;

namespace brovatools {

struct SampleRow {
    int64_t stamp = 0;  // the sample's instant: CLOCK_MONOTONIC nanoseconds
    int port = 0;       // index into the sink's port names
    uint64_t sample = 0;
    int channel = 0;
    int state = 0;
    bool sixAxis = false;
    // Three-axis: x, y, z, s1 ... s8, aux. Six-axis: Fx, Fy, Fz, Tx, Ty, Tz.
    int32_t values[12] = {};
    // Calibrated: x, y, z in N (three-axis), or Fx, Fy, Fz in N and Tx, Ty,
    // Tz in N*m (six-axis).
    bool calibrated = false;
    double force[6] = {};
    // The status flags of the sample instant (brovaflags.h), with the
    // over-range bits of this row's calibrated values.
    uint32_t flags = 0;
    // Low-pass filtered: the first 3 (three-axis) or 6 (six-axis) values, or
    // of force when calibrated.
    bool filtered = false;
    double lowpass[6] = {};
    // Set on an event (a device lost, reconnected) instead of a sample:
    // written in JSON lines only.
    std::string event, detail;
};

// The clock of the time column.
enum class TimeClock { Relative, Monotonic, Realtime };
// "relative", "monotonic", "realtime"; false for any other name.
bool timeClockFromName(const std::string& name, TimeClock& clock);
const char* timeClockName(TimeClock clock);

enum class RowFormat { Csv, JsonLines };

// The column names of the three-axis and six-axis groups, and of their
// calibrated values.
const std::vector<std::string>& threeAxisColumns();
const std::vector<std::string>& sixAxisColumns();
const std::vector<std::string>& threeAxisForceColumns();
const std::vector<std::string>& sixAxisForceColumns();

// How one port's rows get their calibrated values.
struct RowCalibration {
    const BrovaCalibration* calibration = nullptr;  // null: counts only
    // Whether each channel is tared (the calibration then leaves its bias
    // out); [0] for a six-axis sensor. A four-channel device read as one
    // six-axis sensor counts as tared when all four channels are.
    bool tared[4] = {};
};

// Writes rows to a FILE in one format and on one clock. Rows are added as
// they are read and held until release() is told that no port can deliver a
// row earlier than a given instant: what is released is written in time
// order (rows of one instant in the order added), so the file is in time
// order across ports. Within a port, the time of each sample is made at
// least 1 microsecond later than the sample before it (the stamps strictly
// increase; the column has microseconds).
class SampleSink {
public:
    // realtimeOffset: nanoseconds from CLOCK_MONOTONIC to CLOCK_REALTIME, for
    // TimeClock::Realtime.
    SampleSink(std::FILE* out, RowFormat format, std::vector<std::string> portNames, bool threeAxis, bool sixAxis,
               TimeClock clock = TimeClock::Relative, int64_t realtimeOffset = 0);

    // Adds the calibrated columns of the three-axis and six-axis groups.
    // Before writeHeader.
    void setForceColumns(bool threeAxisForce, bool sixAxisForce);
    // Adds the low-pass filtered columns (of the force columns when the
    // group has them). After setForceColumns, before writeHeader.
    void setLowPassColumns(bool on) { lowPass = on; }
    std::vector<std::string> columns() const;
    // The CSV header row; nothing for JSON lines. Call once, first.
    void writeHeader();
    // Rows of any ports, each port's in the order read; held until released.
    void add(std::vector<SampleRow>& rows);
    // A JSON-lines event object (e.g. a reconnection) at a monotonic instant;
    // nothing in CSV, which holds samples only. Held like a row.
    void addEvent(int64_t stamp, int port, const std::string& event, const std::string& detail);
    // Writes the rows held whose instant is not later than upTo (monotonic
    // nanoseconds), in time order.
    void release(int64_t upTo);
    void releaseAll() { release(INT64_MAX); }
    // add and releaseAll: for a writer of one port.
    void write(std::vector<SampleRow>& rows);
    bool flush();
    // The port's name from now on (a device back under another node).
    void renamePort(int port, const std::string& name);
    uint64_t rowsWritten() const { return written; }
    size_t rowsHeld() const { return held.size(); }

    // A monotonic instant on the time column's clock, in microseconds. With
    // the relative clock the origin is the first sample written; asked
    // before anything was written, the instant given becomes the origin.
    int64_t columnMicros(int64_t stamp);
    TimeClock clock() const { return timeClock; }
    int64_t realtimeOffset() const { return offset; }
    // The relative clock's origin (monotonic nanoseconds); -1 while unset.
    int64_t origin() const { return haveOrigin ? originStamp : -1; }

private:
    std::string line(const SampleRow& r, int64_t micros) const;
    std::FILE* out;
    RowFormat format;
    std::vector<std::string> ports;
    bool threeAxis, sixAxis;
    bool threeAxisForce = false, sixAxisForce = false;
    bool lowPass = false;
    std::vector<std::string> lowPassNames(bool six) const;
    TimeClock timeClock;
    int64_t offset;
    bool haveOrigin = false;
    int64_t originStamp = 0;
    std::vector<SampleRow> held;
    struct PortTime {
        bool any = false;
        uint64_t sample = 0;
        int64_t micros = 0;
    };
    std::vector<PortTime> portTimes;
    // Each port's last sample as added: its samples are held at least a
    // microsecond apart (the column's step), so that the order of the rows
    // is the order of the times written.
    struct PortStamp {
        bool any = false;
        uint64_t sample = 0;
        int64_t stamp = 0;
    };
    std::vector<PortStamp> portStamps;
    uint64_t written = 0;
};

// The rows of one read of one port: its n samples, the k-th taken at
// stamps[k] (the library's stamps), numbered from first. From a readAll's
// channel-major array of `channels` channels: a row per sample and channel,
// the channels of one sample at its instant; with asWrench (four channels)
// one six-axis row per sample instead, the wrench of its four channels.
// With a calibration, the rows it calibrates get their values in N and N*m.
// flags (n words, the library's getFlags, or null) go to every row of their
// instant, with the over-range bits of the row's own calibrated values.
void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const int64_t* stamps,
                const BrovaPackage* all, int n, int channels, bool asWrench, const RowCalibration* cal = nullptr,
                const uint32_t* flags = nullptr);
// From a readAll6D's records: one six-axis row per sample.
void appendRows(std::vector<SampleRow>& rows, int port, uint64_t first, const int64_t* stamps,
                const BrovaPackage6D* all, int n, const RowCalibration* cal = nullptr,
                const uint32_t* flags = nullptr);

// A calibrated value as the columns hold it: 8 significant digits; empty
// for NaN and the infinities, which CSV then holds as an empty field (see
// jsonNumber for JSON).
std::string formatForce(double v);
// A number already formatted (formatForce's text) as a JSON value: null
// when it is empty (NaN or an infinity).
std::string jsonNumber(const std::string& formatted);

// The stamps of the samples the device's last read handed out (n of them).
std::vector<int64_t> stampsOf(BrovaDAQ& daq, int n);
// ... and their status flags (zeros where the library has none).
std::vector<uint32_t> flagsOf(BrovaDAQ& daq, int n);
// "rail", "over range" or "rail, over range": what a flags word tells.
std::string flagsText(uint32_t flags);
// CLOCK_MONOTONIC now, in nanoseconds: the clock of the stamps.
int64_t monotonicNow();

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

// Seconds with six decimals (negative ones with their sign).
std::string formatSeconds(int64_t micros);

// Every text field the tools write goes through one of these two, whatever
// the text holds (a frame id or a topic name from a peer on the bus, a port
// name, an identification read from a device):
// - jsonString: a JSON string, quotes included. Quotes, backslashes and
//   control characters are escaped; bytes that are not valid UTF-8 become
//   U+FFFD, so that the result is always valid JSON (which is UTF-8).
// - csvField: a CSV field as RFC 4180 has it: a text holding a comma, a
//   quote, a carriage return or a line feed is put in double quotes, its
//   quotes doubled; any other text is written as it is (as jsonString, with
//   bytes that are not valid UTF-8 made U+FFFD). A reader of CSV then always
//   finds one field, and one row per line that is not inside quotes.
std::string jsonString(const std::string& text);
std::string csvField(const std::string& text);

} // namespace brovatools
