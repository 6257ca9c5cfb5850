// Which calibration file a tool applies to a sensor's samples: one the user
// names (--calibration FILE), none (--no-calibration: counts), or the one
// found by the sensor's identity in the calibration folders.
//
// Lookup by identity: the folders are, in this order,
//   $XDG_CONFIG_HOME/brova/calibration/  (~/.config/brova/calibration/ when
//                                         XDG_CONFIG_HOME is unset or relative)
//   /etc/brova/calibration/
// Every file named *.json in a folder is read, in byte order of the names;
// the first whose kind is the sensor's and whose identification is the
// sensor's identification text or the name of its port under
// /dev/serial/by-id wins (a file in the first folder before any in the
// second). A file without an identification fits any sensor of its kind and
// is therefore never picked by lookup: name it with --calibration. Every
// entry named *.json is looked at: one that cannot be read (unreadable, a
// dangling link, a directory, a FIFO or a device) or is not a valid
// calibration is skipped and told; when none fits, the files of the sensor's
// kind that lookup could not match by identity are told too.
//
// A file the user names is read before any device is looked at; its kind and
// identification must fit the sensor unless forced, and it must calibrate
// what is read (a channel of a three-axis or four-channel device, or the
// six-axis sensor).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "brovacalibration.h"
#include "sidecar.h"

namespace brovatools {

// A calibration file, read and checked.
struct CalibrationFile {
    BrovaCalibration calibration;
    std::string path;    // absolute
    std::string sha256;  // of the file's bytes, lowercase hex
    bool found = false;  // found by identity, not named
};

// What a sample file's sidecar records of the calibration applied.
SidecarCalibration sidecarCalibration(const CalibrationFile& file, bool forced);

// Reads and checks the file; false with error: the system's reason, or the
// library's message naming the file and the field.
bool readCalibration(const std::string& path, CalibrationFile& out, std::string& error);

// The folders lookup reads, in order.
std::vector<std::string> calibrationFolders();

// The link under /dev/serial/by-id that leads to the device node (its name
// only, e.g. "usb-FTDI_FT230X_Basic_UART_D30A1B2C-if00-port0"); empty when
// there is none.
std::string byIdName(const std::string& devicePath);

// A sensor as lookup sees it.
struct SensorIdentity {
    int kind = 0;
    std::string identification;  // what its identification reply said (empty: none)
    std::string byId;            // its port's name under /dev/serial/by-id (empty: none)
    bool sixAxisRead = false;    // read as a six-axis sensor (native, or four channels as one)
    int channels = 1;            // three-axis channels read (1 or 4)
    // Not read yet (brova info): a four-channel device's file may calibrate
    // its channels or the device read as one six-axis sensor.
    bool eitherView = false;
};

// What a tool applies to one sensor.
struct CalibrationChoice {
    std::shared_ptr<const CalibrationFile> file;  // null: values are counts
    // One line to tell the user: "calibration: PATH (serial S, date D)" or
    // "calibration: none: values are counts" (with the reason when there is one).
    std::string line;
    bool forced = false;  // a named file for another sensor, applied with force
    // Files in the folders that were skipped: "PATH: why" (cannot be read,
    // not a regular file, a dangling link, not a valid calibration).
    std::vector<std::string> skipped;
    // When lookup found no file: the files of the sensor's kind that it could
    // not match to the sensor by identity, "PATH: why" (no identification in
    // the file, or another sensor's).
    std::vector<std::string> unmatched;
    // Set when a named file is refused for this sensor (another kind or
    // identification, unless forced, or nothing of what is read calibrated):
    // the reason. The tool refuses the sensor (exit 4) or shows counts.
    std::string refused;
};

// The calibration of one sensor. named: the file the user named (null: look
// it up); none: --no-calibration; force: a named file of another identity is
// applied all the same.
CalibrationChoice chooseCalibration(const std::shared_ptr<const CalibrationFile>& named, bool none, bool force,
                                    const SensorIdentity& sensor);

// Whether the calibration calibrates anything of what is read.
bool calibratesWhatIsRead(const BrovaCalibration& c, const SensorIdentity& sensor);

// "PATH (serial S, date D)".
std::string calibrationSummary(const CalibrationFile& file);

} // namespace brovatools
