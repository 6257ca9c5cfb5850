// brova info, brova config, brova capture: one device, briefly.
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSerialPort>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "brvsim_capture.h"
#include "cli.h"
#include "commands.h"
#include "brovacalibration.h"
#include "brovaflags.h"
#include "record.h"
#include "samplerows.h"

namespace brovacli {

namespace {

QByteArray local(const QString& s)
{
    return s.toLocal8Bit();
}

QString filterText(int hz)
{
    return hz ? QStringLiteral("%1 Hz").arg(hz) : QStringLiteral("none");
}

QString onePort(const QCommandLineParser& p, const QString& command)
{
    const QStringList ports = p.positionalArguments();
    if (ports.size() != 1)
        throw Failure(ExitUsage, QStringLiteral("%1 takes one PORT (see %1 --help)").arg(command));
    return ports.first();
}

const char* kPortHelp = "A path (/dev/ttyUSB0), a name (ttyUSB0), a link such as /dev/serial/by-id/..., or auto (the "
                        "first sensor discovery finds).";

// The library establishes a rate after about 1 s of samples at the
// configured rate, 2 to 3 s for a device that runs at another one.
constexpr double kMeasureSeconds = 5;

// Reads the device until its clock model has established the rate, for at
// most kMeasureSeconds (or until a signal), and returns it; 0 when it could not.
// Each sample's stamp and status flags, as read.
using Flagged = std::vector<std::pair<int64_t, uint32_t>>;

double measureRate(BrovaDAQ& daq, bool sixAxis, Flagged& seen)
{
    QElapsedTimer clock;
    clock.start();
    BrovaPackage* all = nullptr;
    BrovaPackage6D* all6 = nullptr;
    bool lost = false;
    while (!lost && daq.getEstimatedRate() == 0 && clock.elapsed() < kMeasureSeconds * 1000 && pause(20)) {
        const int n = sixAxis ? daq.readAll6D(all6, false) : daq.readAll(all, false);
        lost = n == -2;
        if (n > 0) {
            const std::vector<int64_t> stamps = brovatools::stampsOf(daq, n);
            const std::vector<uint32_t> flags = brovatools::flagsOf(daq, n);
            for (int k = 0; k < n; ++k)
                seen.emplace_back(stamps[static_cast<size_t>(k)], flags[static_cast<size_t>(k)]);
        }
    }
    delete[] all;
    delete[] all6;
    return daq.getEstimatedRate();
}

// "none at a rail in the last second (1000 samples)", or how many were, and
// of which channels.
std::string railText(const Flagged& seen)
{
    if (seen.empty())
        return "no samples read";
    const int64_t from = seen.back().first - 1000000000;
    uint64_t samples = 0, railed = 0;
    uint32_t bits = 0;
    for (const auto& s : seen) {
        if (s.first <= from)
            continue;
        ++samples;
        if (s.second & BROVA_FLAG_RAIL) {
            ++railed;
            bits |= s.second;
        }
    }
    std::string text = (railed ? std::to_string(railed) + " of " + std::to_string(samples) + " samples"
                               : "none of " + std::to_string(samples) + " samples") +
                       " of the last second at a rail";
    std::string channels;
    for (int c = 0; c < 16; ++c)
        if (bits & (static_cast<uint32_t>(BROVA_FLAG_CHANNEL_RAIL) << c))
            channels += (channels.empty() ? "" : ", ") + std::to_string(c);
    if (!channels.empty())
        text += " (channels " + channels + ")";
    if (bits & BROVA_FLAG_VECTOR_RAIL && channels.empty())
        text += " (force or torque)";
    return text;
}

// The calibration's rated ranges: "channel 0: x 100, y 100, z 200 N;
// six-axis: Fx 500, Fy 500, Fz 1000 N, Tx 20, Ty 20, Tz 10 N*m".
std::string rangesText(const BrovaCalibration* cal)
{
    if (!cal)
        return "none (no calibration)";
    static const char* const three[] = {"x", "y", "z"};
    static const char* const six[] = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
    std::string text;
    for (int c = -1; c < 16; ++c) {
        const std::vector<double> r = cal->range(c);
        if (r.empty())
            continue;
        text += text.empty() ? "" : "; ";
        text += c < 0 ? "six-axis: " : "channel " + std::to_string(c) + ": ";
        for (size_t i = 0; i < r.size(); ++i) {
            char value[64];
            std::snprintf(value, sizeof value, "%s%s %g", i == 0 ? "" : i == 3 ? " N, " : ", ",
                          r.size() == 6 ? six[i] : three[i], r[i]);
            text += value;
        }
        text += r.size() == 6 ? " N*m" : " N";
    }
    return text.empty() ? "none in the calibration file" : text;
}

// "970.03 per second (configured 1000)", and how far off when that is more
// than 1 %: the device does not keep the rate it was given.
std::string rateText(double rate, int configured)
{
    std::string text = QStringLiteral("%1 per second (configured %2)").arg(rate, 0, 'f', 2).arg(configured).toStdString();
    const double off = configured > 0 ? rate / configured - 1 : 0;
    if (std::abs(off) > 0.01)
        text += QStringLiteral(": %1 % %2 the configured rate")
                    .arg(std::abs(off) * 100, 0, 'f', 1)
                    .arg(off < 0 ? QStringLiteral("below") : QStringLiteral("above"))
                    .toStdString();
    return text;
}

} // namespace

void addConfigOptions(QCommandLineParser& p)
{
    p.addOption({QStringLiteral("rate"), QStringLiteral("Sample rate: 1000, 333, 100 or 30 per second."),
                 QStringLiteral("HZ")});
    p.addOption({QStringLiteral("filter"), QStringLiteral("Output filter: 0 (none), 150, 50 or 15 Hz."),
                 QStringLiteral("HZ")});
    p.addOption({QStringLiteral("mode"),
                 QStringLiteral("raw (the device sends its element readings) or vector (it sends the force vector)."),
                 QStringLiteral("raw|vector")});
}

ConfigRequest configFromOptions(const QCommandLineParser& p)
{
    ConfigRequest r;
    if (p.isSet(QStringLiteral("rate"))) {
        r.rate = intOption(p, QStringLiteral("rate"), 0);
        if (!validRate(r.rate))
            throw Failure(ExitUsage, QStringLiteral("--rate %1 is not a rate the sensors have: 1000, 333, 100 or 30")
                                         .arg(p.value(QStringLiteral("rate"))));
    }
    if (p.isSet(QStringLiteral("filter"))) {
        r.filter = intOption(p, QStringLiteral("filter"), 0);
        if (!validFilter(r.filter))
            throw Failure(ExitUsage, QStringLiteral("--filter %1 is not a filter the sensors have: 0, 150, 50 or 15")
                                         .arg(p.value(QStringLiteral("filter"))));
    }
    if (p.isSet(QStringLiteral("mode"))) {
        const QString m = p.value(QStringLiteral("mode"));
        if (m != QLatin1String("raw") && m != QLatin1String("vector"))
            throw Failure(ExitUsage, QStringLiteral("--mode %1: the modes are raw and vector").arg(m));
        r.mode = m == QLatin1String("vector") ? 1 : 0;
    }
    return r;
}

namespace {

QString describe(const SensorConfig& c)
{
    return QString::fromStdString(brovatools::describeConfig(c));
}

} // namespace

SensorConfig applyConfig(BrovaDAQ& daq, const QString& port, const ConfigRequest& want)
{
    const SensorConfig present = daq.getConfig();
    if (!want.any())
        return present;
    const SensorConfig asked = want.appliedTo(present);
    // A framed sensor takes a rate and a filter, never a mode: another mode
    // is refused before anything is sent.
    if (want.mode >= 0 && present.getMode() != want.mode && daq.getVersion() >= BROVA_FRAMED_3AXIS)
        throw Failure(ExitDevice, QStringLiteral("%1: a framed sensor cannot be set to mode %2 (framed sensors keep the "
                                                 "mode they were set up with; it reports %3); nothing was sent")
                                      .arg(port, want.mode ? QStringLiteral("vector") : QStringLiteral("raw"),
                                           describe(present)));
    daq.sendConfig(asked);
    const SensorConfig got = daq.getConfig();
    if (!want.confirmedBy(got)) {
        QString why = QStringLiteral("%1: the device did not confirm %2: it reports %3")
                          .arg(port, describe(asked), describe(got));
        if (want.mode >= 0 && got.getMode() != want.mode && daq.getVersion() >= BROVA_FRAMED_3AXIS)
            why += QStringLiteral(" (framed sensors keep the mode they were set up with)");
        throw Failure(ExitDevice, why);
    }
    return got;
}

int runInfo(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Opens the sensor on PORT and prints its kind, protocol version, channel "
                                               "count, rate, filter, mode, state and identification text; then reads "
                                               "it until the library has estimated its rate from its samples (about "
                                               "1.5 s; up to 5 s for a device that does not keep its configured rate) "
                                               "and prints that rate: the device's own clock, which may be off from "
                                               "the configured rate by some hundred ppm, or a device that runs at "
                                               "another rate, which is said when it differs from the configured rate "
                                               "by more than 1 %. Then it closes the device.\n\n"
                                               "It also names the calibration file that brova stream would apply "
                                               "(--calibration FILE, checked against the sensor, or the file found "
                                               "by its identity in $XDG_CONFIG_HOME/brova/calibration, then "
                                               "/etc/brova/calibration), or says that values are counts, and the rated "
                                               "ranges that file gives (over which a sample is flagged). And how many "
                                               "of the samples of the last second read had some field at its "
                                               "converter's rail (a clipped reading), and of which channels.\n\n"
                                               "brova info FILE reads a recording (FILE.mcap, or the FILE.mcap.partial "
                                               "of one that was not finished) instead: its topics, message counts, "
                                               "time span, devices and calibration files; it checks every CRC, index "
                                               "and count (exit 1 when one disagrees, or the file cannot be read).\n\n") +
                                exitCodesText());
    p.addHelpOption();
    addKindOption(p);
    addCalibrationOptions(p, false);
    p.addPositionalArgument(QStringLiteral("PORT"), QString::fromLatin1(kPortHelp));
    parseOrExplain(p, args);
    const QString port = onePort(p, args.value(0));
    if (isRecordingFile(port))
        return runRecordingInfo(port);
    const int kindOption = kindFromOption(p);
    const CalibrationOptions calibrationOptions = calibrationFromOptions(p, 1);
    const Target t = locate(port, kindOption);
    const brovatools::CalibrationChoice calibration = calibrationFor(calibrationOptions, 0, t, false, true);
    std::unique_ptr<BrovaDAQ> daq = openTarget(t);
    const SensorConfig c = daq->getConfig();
    const Kind* kind = kindOf(t.kind);
    QString ident = t.ident;
    if (ident.isEmpty())
        ident = p.isSet(QStringLiteral("kind")) ? QStringLiteral("- (not asked: --kind was given)")
                                                : QStringLiteral("- (a stream device sends none)");
    const QString text = QStringLiteral("port: %1\nkind: %2 (%3)\nprotocol version: %4\nchannels: %5\nrate: %6 per second\n"
                                        "filter: %7\nmode: %8\nstate: %9\nidentification: %10\n%11\n")
                             .arg(t.path, QString::fromLatin1(kind->text), QString::fromLatin1(kind->what))
                             .arg(static_cast<int>(daq->getVersion()))
                             .arg(daq->getSensorSize())
                             .arg(c.getSpeed())
                             .arg(filterText(c.getFilter()), c.getMode() ? QStringLiteral("vector") : QStringLiteral("raw"),
                                  stateText(c.getState()), ident, QString::fromLocal8Bit(calibration.line.c_str()));
    std::fputs(local(text).constData(), stdout);
    std::fflush(stdout);
    Flagged seen;
    const double rate = measureRate(*daq, kind->sixAxis, seen);
    daq->close();
    if (interruptedBy)
        return exitForSignal();
    std::printf("rated ranges: %s\n", rangesText(calibration.file ? &calibration.file->calibration : nullptr).c_str());
    std::printf("rails: %s\n", railText(seen).c_str());
    if (rate > 0)
        std::printf("estimated rate: %s\n", rateText(rate, c.getSpeed()).c_str());
    else
        std::printf("estimated rate: could not be estimated (too few samples in %.1f s)\n", kMeasureSeconds);
    return ExitOk;
}

int runConfig(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Sends a configuration to the sensor on PORT and reports what the "
                                               "device confirms. What is not given keeps its present value. Exits "
                                               "with 4 when the device does not confirm.\n\n"
                                               "A framed sensor (kinds 31, 34, 64) is set to 100 samples per second "
                                               "every time it is opened, so the rate and filter set here last until "
                                               "the next open: give --rate and --filter to brova stream to stream at "
                                               "them. A framed sensor keeps its mode: another mode is refused before "
                                               "anything is sent.\n\n") +
                                exitCodesText());
    p.addHelpOption();
    addKindOption(p);
    addConfigOptions(p);
    p.addPositionalArgument(QStringLiteral("PORT"), QString::fromLatin1(kPortHelp));
    parseOrExplain(p, args);
    const ConfigRequest want = configFromOptions(p);
    if (!want.any())
        throw Failure(ExitUsage, QStringLiteral("%1 needs --rate, --filter or --mode").arg(args.value(0)));
    const Target t = locate(onePort(p, args.value(0)), kindFromOption(p));
    std::unique_ptr<BrovaDAQ> daq = openTarget(t);
    const SensorConfig got = applyConfig(*daq, t.path, want);
    daq->close();
    std::printf("%s: confirmed %s\n", local(t.path).constData(), local(describe(got)).constData());
    if (kindOf(t.kind)->version >= BROVA_FRAMED_3AXIS)
        std::fprintf(stderr, "brova: a kind-%d sensor is set to 100 samples per second whenever it is opened: the rate "
                             "and filter set here last until the next open; brova stream --rate and --filter set "
                             "them for a stream\n",
                     t.kind);
    return ExitOk;
}

int runCapture(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Records the raw bytes the sensor on PORT sends, with their arrival times, into FILE, for a bug "
                       "report or for brova-sim --replay. A framed sensor is first set up as the library sets it up "
                       "when it opens one.\n\n"
                       "FILE: the 8 bytes \"BRVCAP1\\n\", a one-line JSON header (port, kind, baud, started), then one "
                       "record per chunk read: a 64-bit count of microseconds since the start, a 32-bit length and the "
                       "bytes (integers little-endian).\n\n") +
        exitCodesText());
    p.addHelpOption();
    addKindOption(p);
    p.addOption({QStringLiteral("duration"), QStringLiteral("How long to record, in seconds (default 10)."),
                 QStringLiteral("S")});
    p.addPositionalArgument(QStringLiteral("PORT"), QString::fromLatin1(kPortHelp));
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The capture file to write."));
    parseOrExplain(p, args);
    const QStringList pos = p.positionalArguments();
    if (pos.size() != 2)
        throw Failure(ExitUsage, QStringLiteral("%1 takes PORT and FILE (see %1 --help)").arg(args.value(0)));
    const double seconds = secondsOption(p, QStringLiteral("duration"), 10.0);
    const Target t = locate(pos[0], kindFromOption(p));
    if (kindOf(t.kind)->version >= BROVA_FRAMED_3AXIS)
        openTarget(t)->close();  // the configuration handshake, as open does it

    QSerialPort port;
    port.setPortName(t.path);
    if (!port.open(QIODevice::ReadWrite))
        throw Failure(ExitPort, QStringLiteral("%1: %2").arg(t.path, port.errorString()));
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
    port.setParity(QSerialPort::NoParity);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setBaudRate(1000000, QSerialPort::AllDirections);

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(local(pos[1]).constData(), "wb"), &std::fclose);
    if (!file)
        throw Failure(ExitFailure, QStringLiteral("%1: cannot write the capture file").arg(pos[1]));
    const std::string header = "{\"port\": " + brovatools::jsonString(local(t.path).toStdString()) +
                               ", \"kind\": " + std::to_string(t.kind) + ", \"baud\": 1000000, \"started\": " +
                               brovatools::jsonString(QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString()) + "}";
    bool written = brvsim::writeCaptureHeader(file.get(), header);

    QElapsedTimer clock;
    clock.start();
    uint64_t bytes = 0, chunks = 0;
    bool lost = false;
    while (written && !interruptedBy && clock.elapsed() < seconds * 1000) {
        port.waitForReadyRead(20);
        const QByteArray chunk = port.readAll();
        if (!chunk.isEmpty()) {
            written = brvsim::writeCaptureChunk(file.get(), static_cast<uint64_t>(clock.nsecsElapsed() / 1000),
                                                reinterpret_cast<const uint8_t*>(chunk.constData()),
                                                static_cast<uint32_t>(chunk.size()));
            bytes += static_cast<uint64_t>(chunk.size());
            ++chunks;
        }
        const QSerialPort::SerialPortError e = port.error();
        if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
            lost = true;
            break;
        }
    }
    port.close();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed)
        throw Failure(ExitFailure, QStringLiteral("%1: cannot write the capture file").arg(pos[1]));
    std::fprintf(stderr, "brova: captured %llu bytes in %llu chunks over %.2f s into %s\n",
                 static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(chunks),
                 clock.elapsed() / 1000.0, local(pos[1]).constData());
    if (lost)
        throw Failure(ExitDevice, QStringLiteral("%1: the port failed during the capture (unplugged?); what came "
                                                 "before is in the file").arg(t.path));
    if (interruptedBy)
        return exitForSignal();
    if (bytes == 0)
        throw Failure(ExitDevice, QStringLiteral("%1: nothing arrived in %2 s: no sensor sent anything (is a kind-%3 "
                                                 "sensor there?)")
                                      .arg(t.path)
                                      .arg(clock.elapsed() / 1000.0, 0, 'f', 2)
                                      .arg(t.kind));
    return ExitOk;
}

} // namespace brovacli
