// What the brova subcommands share: exit codes and errors, the sensor kinds,
// the allowed configuration values, finding a port and its kind, opening a
// device with a reason for every failure, and the signals that end a run.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <csignal>
#include <memory>
#include <stdexcept>
#include <vector>

#include "brovadaq.h"
#include "calibrationlookup.h"
#include "kinds.h"

namespace brovacli {

// Exit codes, as `brova --help` documents them.
enum Exit : int {
    ExitOk = 0,
    ExitFailure = 1,       // anything else: an output file that cannot be written, a calibration file that
                           // cannot be read or is not valid ...
    ExitUsage = 2,         // a bad option or value
    ExitPort = 3,          // no such port, permission denied, port busy
    ExitDevice = 4,        // nothing answered, wrong kind, not confirmed, device lost, a calibration file
                           // made for another sensor
    ExitLost = 5,          // brova publish and brova listen: samples lost on the data bus (a failed write, a
                           // gap in a topic)
    ExitInterrupted = 130, // Ctrl-C (SIGINT)
    ExitTerminated = 143   // SIGTERM
};

// A failure a user can act on: its message and exit code. main prints
// "brova: <message>" and exits with the code.
struct Failure : std::runtime_error {
    Failure(int code, const QString& message) : std::runtime_error(message.toStdString()), code(code) {}
    int code;
};

using brovatools::Kind;
using brovatools::kindOf;
using brovatools::kindOfVersion;
QString kindList();  // "31, 34, 64, 68, 94, 95"

// Configuration values a user may ask for.
bool validRate(int hz);
bool validFilter(int hz);
QString stateText(int state);

// Ctrl-C and SIGTERM set interruptedBy (0 while running); long runs poll it.
extern volatile std::sig_atomic_t interruptedBy;
void catchSignals();
int exitForSignal();  // 130 or 143

// A port and the sensor behind it, as a subcommand will open it.
struct Target {
    QString path;   // what the library is given (24 bytes at most)
    int kind = 0;   // kind code
    QString ident;  // identification text, when discovery gave one
};

// PORT as the user wrote it: a path, a name under /dev, a link (resolved to
// its device node) or "auto". Checks that the port can be opened (no such
// port, permission, busy: ExitPort). The kind is kindOption when it is not 0;
// otherwise discovery identifies the port (ExitDevice when it does not).
Target locate(const QString& port, int kindOption);
// Opens the target; on failure says why (ExitDevice), and refuses a device
// that answers as another kind than the target's.
std::unique_ptr<BrovaDAQ> openTarget(const Target& t);

// Option helpers for QCommandLineParser.
int intOption(const QCommandLineParser& p, const QString& name, int fallback);
double secondsOption(const QCommandLineParser& p, const QString& name, double fallback);
// Parses args (program name first); prints --help and exits 0, or throws a
// usage Failure.
void parseOrExplain(QCommandLineParser& p, const QStringList& args);
// The options every device subcommand takes: --kind (with severalPorts, once
// for every port or once per PORT).
void addKindOption(QCommandLineParser& p, bool severalPorts = false);
// --kind of a one-port command: 0 when not given; given twice is a usage Failure.
int kindFromOption(const QCommandLineParser& p);
// --kind of each of ports ports: 0 where not given.
std::vector<int> kindsFromOption(const QCommandLineParser& p, int ports);
// --calibration FILE (once, or once per PORT with several), --no-calibration
// and --force-calibration.
void addCalibrationOptions(QCommandLineParser& p, bool severalPorts);
struct CalibrationOptions {
    std::vector<std::shared_ptr<const brovatools::CalibrationFile>> named;  // empty: lookup by identity
    bool none = false;
    bool force = false;
};
// Checks the options and reads the files named, before any port is looked
// at: a file that cannot be read or is not valid is ExitFailure, with the
// library's message naming the file and the field.
CalibrationOptions calibrationFromOptions(const QCommandLineParser& p, int ports);
// The calibration of the index-th port, located as t, read as a six-axis
// sensor or not: a named file, none, or the one lookup finds. A named file
// for another sensor is ExitDevice (unless forced). Files lookup skipped, and
// when it found none the files of the sensor's kind it could not match by
// identity, are told on standard error.
// eitherView: not read yet, so a four-channel device's file may calibrate
// either way of reading it.
brovatools::CalibrationChoice calibrationFor(const CalibrationOptions& o, int index, const Target& t,
                                             bool sixAxisRead, bool eitherView = false);
// The text of `brova --help` that lists the exit codes.
QString exitCodesText();
// A description for --help: paragraphs wrapped at 79 columns.
QString wrapped(const QString& text);

// The whole main of a program that is one brova command (brova-publish for
// `brova publish`, ...): --version prints "<program> <version>", otherwise
// run gets the arguments with the command's name first; Ctrl-C and SIGTERM
// are caught, a Failure is printed as "brova: <message>" and its code
// returned.
int commandMain(int argc, char** argv, const QString& command, int (*run)(const QStringList&));

// Sleeps in small steps, returning early (false) when a signal came.
bool pause(int ms);

} // namespace brovacli
