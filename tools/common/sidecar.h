// The sidecar of a sample file: FILE.json beside the CSV or JSON-lines file
// that `brova stream --output FILE` and the live view's recording write. It
// records the run (start, length, format, columns, the time column's clock
// and how to map it onto the host's clocks, tare, whether it was
// interrupted), every device with its configuration, counts and estimated
// rate and calibration, the unit of every value column, the gaps of a
// device that was lost and came back, and any samples lost on the way.
//
// Written from plain data, so that any tool that writes sample rows writes
// the same sidecar.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brovadaq.h"

namespace brovatools {

// The calibration file a device's values in N and N*m came from.
struct SidecarCalibration {
    std::string path;
    std::string sha256;  // of the file's bytes, lowercase hex
    std::string serial, date;
    bool foundByIdentity = false;  // found in the calibration folders, not named
    bool forced = false;           // made for another sensor, applied with --force-calibration
};

// One device of the run.
struct SidecarDevice {
    std::string port;            // the device node it was read from
    int kind = 0;                // kind code, e.g. 34
    std::string kindText;        // e.g. "34 v0.9"
    std::string identification;  // identification text, when known
    bool sixAxisFromFourChannels = false;  // a four-channel device read as one six-axis sensor
    int rate = 0;                // samples per second, as the device confirmed
    int filter = 0;              // Hz, 0: none
    int mode = 0;                // 0 raw, 1 vector
    uint64_t samples = 0;        // samples written
    BrovaStatistics statistics{};  // the library's counts, summed over every session
    // Loss: reads that returned -1 (the reader's buffer reached its cap and
    // dropped bytes, or a frame of another layout cut a read short).
    uint64_t readsLost = 0;
    // The device's rate as the library's clock model estimated it at the end
    // of the run (e.g. 1000.13); 0: not estimated (written as null).
    double estimatedRate = 0;
    // Samples written with status flags (a field at its rail, a value over
    // its rated range).
    uint64_t flagged = 0;
    // The calibration applied (written as null when there is none: counts).
    bool calibrated = false;
    SidecarCalibration calibration;
};

// A time when a device sent nothing: lost at `from`, back at `to` (or at the
// end of the run when it never came back), in microseconds on the time
// column's clock.
struct SidecarGap {
    std::string port;
    int64_t from = 0;
    int64_t to = 0;
};

struct SidecarRun {
    std::string started;        // ISO 8601 date and time, with its offset
    double seconds = 0;         // length of the run
    std::string format;         // "csv" or "jsonl"
    std::vector<std::string> columns;  // the sidecar gives each value column's unit ("units")
    std::string clock = "relative";  // the time column's: relative, monotonic or realtime
    // Nanoseconds to add to a CLOCK_MONOTONIC instant for CLOCK_REALTIME, as
    // the clocks stood at the start.
    int64_t realtimeOffsetNs = 0;
    // The relative clock's zero, in CLOCK_MONOTONIC nanoseconds (-1: none,
    // or another clock).
    int64_t originNs = -1;
    bool tare = false;
    bool interrupted = false;   // ended by Ctrl-C or SIGTERM
    std::vector<SidecarDevice> devices;
    std::vector<SidecarGap> gaps;
};

// The sidecar's JSON text.
std::string sidecarJson(const SidecarRun& run);
// Writes it to path (replacing what was there); false with the system's
// reason in error when that failed.
bool writeSidecar(const std::string& path, const SidecarRun& run, std::string& error);

} // namespace brovatools
