// brova stream: samples of one or more sensors as they arrive.
#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "devicesession.h"
#include "record.h"
#include "samplerows.h"
#include "sidecar.h"

namespace brovacli {

namespace {

using brovatools::SampleRow;

QByteArray local(const QString& s)
{
    return s.toLocal8Bit();
}

// One port being streamed.
struct Stream : DeviceSession {
    // No sample still to come from this port is older than this (monotonic
    // nanoseconds): the stamp of the newest sample read. Before the first
    // sample of a session none is known (the first stamps of a session may
    // reach back before its open), and nothing may pass.
    int64_t readUpTo = INT64_MIN;
    // Samples written whose flags were not 0 (a field at its rail, a value
    // over its rated range), and the overload under way: whether the last
    // sample was flagged, and the flagged samples since it began.
    uint64_t flagged = 0;
    bool overloaded = false;
    uint64_t overloadCount = 0;
    uint32_t overloadFlags = 0;
};

// What --on-overload asks for.
enum class OnOverload { Warn, Stop };

// Overload starts and ends of one read, told once each.
struct OverloadChange {
    bool start = false;
    uint64_t sample = 0;  // the first flagged sample, or the first one clear again
    uint32_t flags = 0;   // what the flagged samples told (all their bits)
    uint64_t count = 0;   // at an end: the samples flagged in the overload
};

// Counts the flagged samples among rows[from ...] (rows of one port, a
// sample's rows together, in order) and follows the overload. With stop,
// the rows after the first flagged sample are dropped and true returned.
bool followFlags(Stream& s, std::vector<SampleRow>& rows, size_t from, bool stop, std::vector<OverloadChange>& changes)
{
    for (size_t i = from; i < rows.size();) {
        const uint64_t sample = rows[i].sample;
        uint32_t flags = 0;
        size_t j = i;
        for (; j < rows.size() && rows[j].sample == sample; ++j)
            flags |= rows[j].flags;
        if (flags) {
            ++s.flagged;
            if (!s.overloaded) {
                s.overloaded = true;
                s.overloadCount = 0;
                s.overloadFlags = 0;
                changes.push_back({true, sample, flags, 0});
            }
            ++s.overloadCount;
            s.overloadFlags |= flags;
            if (stop) {
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(j), rows.end());
                s.samples = sample + 1;
                s.done = true;
                return true;
            }
        } else if (s.overloaded) {
            s.overloaded = false;
            changes.push_back({false, sample, s.overloadFlags, s.overloadCount});
        }
        i = j;
    }
    return false;
}

// Reads what arrived on one port into rows; false when the device is lost.
// The flagged samples are counted and the overload followed (changes); with
// stop, nothing after the first flagged sample is kept and stopped is set.
bool readInto(Stream& s, int index, uint64_t countLimit, std::vector<SampleRow>& rows, bool stop,
              std::vector<OverloadChange>& changes, bool& stopped)
{
    const size_t before = rows.size();
    const int n = s.readRows(index, rows);
    if (n == -2)
        return false;
    if (n <= 0)
        return true;
    s.readUpTo = rows.back().stamp;  // the newest sample's (the last row is of the last sample)
    s.samples += static_cast<uint64_t>(n);
    if (countLimit && s.samples >= countLimit) {
        // The samples past the count are not written.
        rows.erase(std::remove_if(rows.begin() + static_cast<std::ptrdiff_t>(before), rows.end(),
                                  [&](const SampleRow& r) { return r.sample >= countLimit; }),
                   rows.end());
        s.samples = countLimit;
    }
    if (countLimit && s.samples >= countLimit)
        s.done = true;
    stopped = followFlags(s, rows, before, stop, changes);
    return true;
}

brovatools::SidecarDevice sidecarDevice(const Stream& st)
{
    brovatools::SidecarDevice d = st.sidecarDevice();
    d.flagged = st.flagged;
    return d;
}

} // namespace

int runStream(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral(
            "Streams the samples of the sensors on PORT ... as they arrive, one line per sample and channel, "
            "until --count, --duration or Ctrl-C.\n\n"
            "Columns: time, port (when several), sample, channel, state, then x, y, z, s1 ... s8, aux for "
            "three-axis channels and Fx, Fy, Fz, Tx, Ty, Tz for six-axis sensors (a row leaves the other group "
            "empty). time is the instant the device took the sample, in seconds with six decimals, from the "
            "library's sample stamps: reconstructed from when the bytes arrived, so the bursts in which a USB "
            "bridge delivers them do not show, and a constant delay no more than the bridge's latency timer "
            "(1 ms with the project's udev rule) remains. --clock picks the clock: relative (the default) counts "
            "from the first sample written (one origin for every port), monotonic is the host's CLOCK_MONOTONIC "
            "(as other programs on the host read it), realtime is seconds since the epoch (the offset between the "
            "two clocks taken once, at the start). The channels of one sample share its time; each port's samples "
            "strictly increase. Rows are written in time order across ports: a row is held until every port has "
            "delivered what came before it, so with several ports the output lags by about the slowest port's "
            "sample period (and, while a lost port is being reopened, by the open). state is the "
            "device's state field (5 normal; others are conditions such as an overload). sample counts each "
            "port's samples from 0.\n\n"
            "Calibrated values: with a calibration file for a sensor (named with --calibration, or found by its kind "
            "and identification, or its port's /dev/serial/by-id name, among the *.json files of "
            "$XDG_CONFIG_HOME/brova/calibration, then /etc/brova/calibration, in name order), its rows also carry "
            "its forces: x_N, y_N, z_N (N) for three-axis channels, Fx_N, Fy_N, Fz_N (N) and Tx_Nm, Ty_Nm, Tz_Nm "
            "(N*m) for six-axis sensors, after all the count columns, which keep their meaning. A row the file does "
            "not calibrate leaves them empty. With --tare the calibration leaves its bias out. A line on standard "
            "error names the file used (or says that values are counts); FILE.json records its path and SHA-256 "
            "and every column's unit. A named file made for another kind or identification is refused (exit 4) "
            "unless --force-calibration; a file that is not valid is refused (exit 1), naming the field.\n\n"
            "With --output FILE the samples go to FILE.partial, renamed to FILE when the stream ends (Ctrl-C "
            "included); FILE.json beside it records the devices, their configuration and estimated rates, the tare, "
            "the start time, the time column's clock with the offset from CLOCK_MONOTONIC to CLOCK_REALTIME at the "
            "start, any gaps, and any samples lost on the way (reads that found the library's buffer full). "
            "Every device is opened on a thread of its own, so that the ports already streaming are read while "
            "another is being opened or reopened; nothing is written until every port has opened once. A framed "
            "sensor (kinds 31, 34, 64) is set to 100 samples per second at every open: --rate and --filter set its "
            "rate and filter for the stream. With --tare the first sample written is the first one after the "
            "zero. On a terminal, a status line on standard error shows the elapsed time, the samples, the "
            "measured rate, checksum failures and bytes discarded; a one-line summary ends every run.\n\n"
            "A recording: --output FILE.mcap (or --format mcap) records the samples in MCAP, the format of ros2 bag "
            "that Foxglove and PlotJuggler open, as brova record does (see brova record --help): the topics brova "
            "publish would publish, the raw samples and the diagnostics, each message at the sample's instant on "
            "the real-time clock. Everything is inside the file: no sidecar is written. --clock does not apply; "
            "--compression chooses the chunks' compression, and an existing FILE is replaced only with --force.\n\n") +
        exitCodesText());
    p.addHelpOption();
    addRunOptions(p, QStringLiteral("After an unplug, wait for the port to come back and reopen it (an attempt every "
                                    "250 ms, the other ports streaming meanwhile); the gap is reported (and kept in "
                                    "FILE.json)."));
    addLowPassOptions(p);
    p.addOption({QStringLiteral("format"), QStringLiteral("csv (the default), jsonl (one JSON object per line) or mcap "
                                                          "(a recording; the default for --output FILE.mcap)."),
                 QStringLiteral("csv|jsonl|mcap")});
    p.addOption({QStringLiteral("clock"), QStringLiteral("The time column's clock: relative (seconds since the first "
                                                         "sample, the default), monotonic (CLOCK_MONOTONIC) or "
                                                         "realtime (seconds since the epoch)."),
                 QStringLiteral("relative|monotonic|realtime")});
    p.addOption({QStringLiteral("output"), QStringLiteral("Write the samples to FILE instead of standard output."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("on-overload"),
                 QStringLiteral("What a flagged sample (a field at its rail, a value over its rated range) does: warn "
                                "(the default: a line on standard error when flagged samples start and when they end, "
                                "with their count) or stop (exit 4, the samples up to it written)."),
                 QStringLiteral("warn|stop")});
    addRecordingOptions(p);
    parseOrExplain(p, args);

    // Every value is checked before anything is opened.
    const RunOptions run = runOptionsFrom(p, args);
    const QStringList& ports = run.ports;
    const ConfigRequest& want = run.want;
    const QString format = p.isSet(QStringLiteral("format")) ? p.value(QStringLiteral("format"))
                           : isRecordingPath(p.value(QStringLiteral("output"))) ? QStringLiteral("mcap")
                                                                                : QStringLiteral("csv");
    if (format != QLatin1String("csv") && format != QLatin1String("jsonl") && format != QLatin1String("mcap"))
        throw Failure(ExitUsage, QStringLiteral("--format %1: the formats are csv, jsonl and mcap").arg(format));
    if (format == QLatin1String("mcap")) {
        if (p.isSet(QStringLiteral("clock")))
            throw Failure(ExitUsage, QStringLiteral("--clock sets the time column of CSV and JSON lines; a recording's "
                                                    "times are on the real-time clock"));
        if (p.isSet(QStringLiteral("on-overload")))
            throw Failure(ExitUsage, QStringLiteral("--on-overload applies to CSV and JSON lines; a recording carries "
                                                    "the flags in its counts topic and its diagnostics"));
        const LowPassOptions lowPass = lowPassFromOptions(p, run.want);
        const RecordingOutput out = recordingOutputFrom(p, p.value(QStringLiteral("output")));
        return record(run, TopicOptions{}, out, QStringLiteral("brova stream"), lowPass);
    }
    if (p.isSet(QStringLiteral("compression")))
        throw Failure(ExitUsage, QStringLiteral("--compression applies to recordings (--format mcap)"));
    brovatools::TimeClock timeClock = brovatools::TimeClock::Relative;
    if (p.isSet(QStringLiteral("clock")) &&
        !brovatools::timeClockFromName(p.value(QStringLiteral("clock")).toStdString(), timeClock))
        throw Failure(ExitUsage, QStringLiteral("--clock %1: the clocks are relative, monotonic and realtime")
                                     .arg(p.value(QStringLiteral("clock"))));
    OnOverload onOverload = OnOverload::Warn;
    if (p.isSet(QStringLiteral("on-overload"))) {
        const QString v = p.value(QStringLiteral("on-overload"));
        if (v == QLatin1String("stop"))
            onOverload = OnOverload::Stop;
        else if (v != QLatin1String("warn"))
            throw Failure(ExitUsage, QStringLiteral("--on-overload %1: warn or stop").arg(v));
    }
    const LowPassOptions lowPass = lowPassFromOptions(p, run.want);
    const int count = run.count;
    const double duration = run.duration;
    const bool tare = run.tare;
    const bool reconnect = run.reconnect;
    const QString output = p.value(QStringLiteral("output"));
    if (p.isSet(QStringLiteral("output")) && output.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("--output needs a file name (without --output the samples go to "
                                                "standard output)"));

    // The output is made before any port is looked at.
    std::FILE* out = stdout;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, &std::fclose);
    const QString partial = output + QStringLiteral(".partial");
    bool keepPartial = false;
    if (!output.isEmpty()) {
        const QFileInfo target(output);
        if (target.isDir())
            throw Failure(ExitFailure, QStringLiteral("%1: is a directory; --output names the file to write").arg(output));
        if (target.exists() && !target.isFile())
            throw Failure(ExitFailure, QStringLiteral("%1: is not a regular file; --output names the file to write")
                                           .arg(output));
        file.reset(std::fopen(local(partial).constData(), "w"));
        if (!file)
            throw Failure(ExitFailure, QStringLiteral("%1: cannot write: %2").arg(partial, QString::fromLocal8Bit(std::strerror(errno))));
        out = file.get();
    }
    // Until the stream has started, a failure leaves no file behind.
    struct PartialGuard {
        const QString& path;
        const bool& keep;
        ~PartialGuard()
        {
            if (!keep && !path.isEmpty())
                std::remove(local(path).constData());
        }
    } guard{output.isEmpty() ? output : partial, keepPartial};

    std::vector<std::unique_ptr<Stream>> streams;
    std::vector<const DeviceSession*> earlier;
    for (int i = 0; i < ports.size(); ++i) {
        auto s = std::make_unique<Stream>();
        s->setUp(run, i, earlier);
        earlier.push_back(s.get());
        streams.push_back(std::move(s));
    }
    for (const auto& s : streams)
        std::fprintf(stderr, "brova: %s%s%s\n", streams.size() > 1 ? local(s->target.path).constData() : "",
                     streams.size() > 1 ? ": " : "", s->calibration.line.c_str());
    // The clock starts before the devices open: what they send while being
    // opened and configured is in the first read (a tare drops it).
    const QString started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const int64_t realtimeOffset = BrovaDAQ::getRealtimeOffset();
    const int64_t startNs = brovatools::monotonicNow();
    // The run's own pace (status, flushes, --duration): microseconds since the start.
    const auto micros = [startNs] { return (brovatools::monotonicNow() - startNs) / 1000; };
    // Every device opens on a thread of its own; a port streams from the
    // moment it is open, while the others are still being opened.
    const bool status = isatty(STDERR_FILENO);
    for (auto& s : streams) {
        s->clearLine = status;
        s->beginOpen(want, tare);
    }

    std::signal(SIGPIPE, SIG_IGN);

    bool anyThree = false, anySix = false, threeForce = false, sixForce = false;
    std::vector<std::string> names;
    for (const auto& s : streams) {
        const bool six = s->kind->sixAxis || s->wrench;
        (six ? anySix : anyThree) = true;
        if (s->calibration.file)
            (six ? sixForce : threeForce) = true;
        names.push_back(local(s->target.path).toStdString());
    }
    brovatools::SampleSink sink(out, format == QLatin1String("csv") ? brovatools::RowFormat::Csv
                                                                    : brovatools::RowFormat::JsonLines,
                                names, anyThree, anySix, timeClock, realtimeOffset);
    sink.setForceColumns(threeForce, sixForce);
    sink.setLowPassColumns(lowPass.cutoff > 0);
    for (const auto& s : streams)
        s->filterNewtons = (s->kind->sixAxis || s->wrench) ? sixForce : threeForce;

    std::vector<brovatools::SidecarGap> gaps;  // in monotonic nanoseconds until the sidecar is written
    brovatools::RateMeter rate;
    int64_t nextStatus = 0, nextFlush = 0;
    int result = ExitOk;
    QString failure;
    // Rows are held in the sink until every device has opened once (a device
    // that cannot be opened at the start ends the run before anything is
    // written), and then until every port has delivered what came before them.
    std::vector<SampleRow> rows;
    bool writing = false;
    bool overloadStop = false;  // --on-overload stop ended the run
    bool outputClosed = false;

    for (;;) {
        const int64_t now = micros();
        const int64_t nowNs = brovatools::monotonicNow();
        rows.clear();
        bool allDone = true;
        for (size_t i = 0; i < streams.size(); ++i) {
            Stream& s = *streams[i];
            Turn turn;
            try {
                turn = s.turn(nowNs, want, tare);
            } catch (const Failure& f) {
                // A device that cannot be opened at the start ends the run
                // (the first failure is told).
                if (result == ExitOk) {
                    failure = QString::fromStdString(f.what());
                    result = f.code;
                }
                continue;
            }
            if (turn == Turn::Opened || turn == Turn::Reopened) {
                s.readUpTo = INT64_MIN;
                bool off = false;
                const std::string told = s.designFilters(lowPass, local(s.target.path).toStdString(), off);
                if (!told.empty())
                    std::fprintf(stderr, "%sbrova: %s%s\n", status ? "\r\033[K" : "", told.c_str(),
                                 off ? "; the filtered columns stay empty" : "");
                if (off)
                    sink.addEvent(nowNs, static_cast<int>(i), "lowpass off", told);
            }
            if (turn == Turn::Reopened) {
                // Back, perhaps under another device node (a link now
                // leading elsewhere): the rows and reports name it.
                const std::string path = local(s.target.path).toStdString();
                const std::string was = names[i];
                names[i] = path;
                sink.renamePort(static_cast<int>(i), path);
                const int64_t lostAt = s.lastLostAt;
                gaps.push_back({path, lostAt, s.openedAt});
                sink.addEvent(s.openedAt, static_cast<int>(i), "reconnected",
                              "no samples from " + brovatools::formatSeconds(sink.columnMicros(lostAt)) + " s" +
                                  (was != path ? "; was " + was : std::string()));
                std::fprintf(stderr, "%sbrova: %s: reopened%s%s after a gap of %.2f s\n", status ? "\r\033[K" : "",
                             was.c_str(), was != path ? " as " : "", was != path ? path.c_str() : "",
                             (nowNs - lostAt) / 1e9);
            }
            if (turn == Turn::Waiting || s.done) {
                allDone = allDone && s.done;
                continue;
            }
            std::vector<OverloadChange> changes;
            bool stopped = false;
            const bool read = readInto(s, static_cast<int>(i), static_cast<uint64_t>(count), rows,
                                       onOverload == OnOverload::Stop, changes, stopped);
            for (const OverloadChange& c : changes) {
                if (c.start)
                    std::fprintf(stderr, "%sbrova: %s: overload from sample %llu: %s\n", status ? "\r\033[K" : "",
                                 names[i].c_str(), static_cast<unsigned long long>(c.sample),
                                 brovatools::flagsText(c.flags).c_str());
                else
                    std::fprintf(stderr, "%sbrova: %s: overload ended at sample %llu: %llu samples flagged (%s)\n",
                                 status ? "\r\033[K" : "", names[i].c_str(), static_cast<unsigned long long>(c.sample),
                                 static_cast<unsigned long long>(c.count), brovatools::flagsText(c.flags).c_str());
            }
            if (stopped && result == ExitOk) {
                overloadStop = true;
                failure = QStringLiteral("%1: overload at sample %2 (%3): stopped (--on-overload stop)")
                              .arg(QString::fromStdString(names[i]))
                              .arg(s.samples - 1)
                              .arg(QString::fromStdString(brovatools::flagsText(s.overloadFlags)));
                result = ExitDevice;
            }
            if (!read) {
                if (!reconnect) {
                    failure = QStringLiteral("%1: the device stopped: unplugged, or silent for 550 ms").arg(s.target.path);
                    result = ExitDevice;
                } else {
                    s.lose(nowNs);
                    sink.addEvent(nowNs, static_cast<int>(i), "lost", "waiting for the port to come back");
                    std::fprintf(stderr, "%sbrova: %s: lost; waiting for it to come back\n", status ? "\r\033[K" : "",
                                 names[i].c_str());
                }
            }
            allDone = allDone && s.done;
        }
        // A stop on an overload writes what came up to it (the run's first
        // samples included).
        if (!writing && (result == ExitOk || overloadStop) &&
            std::all_of(streams.begin(), streams.end(), [](const std::unique_ptr<Stream>& s) { return s->opened; })) {
            writing = true;
            keepPartial = true;
            sink.writeHeader();
        }
        sink.add(rows);
        if (writing) {
            // What no port can still deliver anything older than: a port
            // streaming, nothing older than its newest sample; a port being
            // opened, or opened without a sample yet, holds everything. A
            // lost one waiting for its next attempt, or one done, delivers
            // nothing older.
            int64_t upTo = INT64_MAX;
            for (const auto& s : streams)
                if (!s->done && (s->opening.valid() || s->lostAt < 0))
                    upTo = std::min(upTo, s->opening.valid() ? INT64_MIN : s->readUpTo);
            sink.release(upTo);
        }
        if (result != ExitOk)
            break;
        if (writing && (now >= nextFlush || out == stdout)) {
            if (!sink.flush()) {
                outputClosed = errno == EPIPE;
                if (!outputClosed) {
                    failure = QStringLiteral("cannot write the samples: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                    result = ExitFailure;
                }
                break;
            }
            nextFlush = now + 500000;
        }
        uint64_t total = 0;
        for (const auto& s : streams)
            total += s->samples;
        rate.add(now, total);
        if (status && now >= nextStatus) {
            BrovaStatistics sum{};
            for (const auto& s : streams) {
                const BrovaStatistics x = s->statistics();
                sum.checksumFailures += x.checksumFailures;
                sum.bytesDiscarded += x.bytesDiscarded;
            }
            std::fprintf(stderr, "\r\033[K%.1f s  %llu samples  %.1f per second%s  checksum failures %llu  discarded %llu B",
                         now / 1e6, static_cast<unsigned long long>(total), rate.perSecond() / streams.size(),
                         streams.size() > 1 ? " per port" : "",
                         static_cast<unsigned long long>(sum.checksumFailures),
                         static_cast<unsigned long long>(sum.bytesDiscarded));
            nextStatus = now + 500000;
        }
        if (interruptedBy || (count && allDone) || (duration > 0 && now >= duration * 1e6))
            break;
        pause(5);
    }

    // The end: every device closed (an open still under way is waited for),
    // what was read written out.
    if (status)
        std::fputs("\r\033[K", stderr);
    if (!writing) {
        if (result != ExitOk)
            throw Failure(result, failure);  // nothing was written: no file is left behind
        // Interrupted while devices were still opening: what came is kept.
        writing = keepPartial = true;
        sink.writeHeader();
    }
    const double seconds = micros() / 1e6;
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& s = *streams[i];
        if (s.opening.valid())
            s.opening.wait();
        s.keepRate();
        if (s.daq)
            s.daq->close();
        if (s.lostAt >= 0)  // never came back
            gaps.push_back({names[i], s.lostAt, brovatools::monotonicNow()});
    }
    if (!outputClosed)
        sink.releaseAll();
    const bool flushed = sink.flush() || outputClosed;
    uint64_t total = 0, readsLost = 0;
    BrovaStatistics sum{};
    for (const auto& s : streams) {
        total += s->samples;
        readsLost += s->readsLost;
        const BrovaStatistics x = s->statistics();
        sum.checksumFailures += x.checksumFailures;
        sum.framesMalformed += x.framesMalformed;
        sum.bytesDiscarded += x.bytesDiscarded;
    }
    bool finished = false;
    if (file) {
        const bool closed = std::fclose(file.release()) == 0;
        if (!flushed || !closed || std::rename(local(partial).constData(), local(output).constData()) != 0) {
            failure = QStringLiteral("%1: cannot finish the output file; what was written is in %2").arg(output, partial);
            result = ExitFailure;
        } else {
            finished = true;
            brovatools::SidecarRun run;
            run.started = local(started).toStdString();
            run.seconds = seconds;
            run.format = format == QLatin1String("csv") ? "csv" : "jsonl";
            run.columns = sink.columns();
            run.clock = brovatools::timeClockName(timeClock);
            run.realtimeOffsetNs = realtimeOffset;
            run.originNs = sink.origin();
            run.tare = tare;
            run.interrupted = interruptedBy != 0;
            for (const auto& s : streams)
                run.devices.push_back(sidecarDevice(*s));
            for (brovatools::SidecarGap g : gaps) {
                g.from = sink.columnMicros(g.from);
                g.to = sink.columnMicros(g.to);
                run.gaps.push_back(g);
            }
            std::string why;
            if (!brovatools::writeSidecar(local(output).toStdString() + ".json", run, why)) {
                failure = QStringLiteral("%1.json: cannot write: %2").arg(output, QString::fromLocal8Bit(why.c_str()));
                result = ExitFailure;
            }
        }
    }
    // Flagged samples, per device; an overload still under way is told.
    std::string flagged;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = *streams[i];
        if (s.overloaded && onOverload == OnOverload::Warn)
            std::fprintf(stderr, "brova: %s: overload still on at the end: %llu samples flagged (%s)\n",
                         names[i].c_str(), static_cast<unsigned long long>(s.overloadCount),
                         brovatools::flagsText(s.overloadFlags).c_str());
        flagged += (i ? ", " : "") + (streams.size() > 1 ? names[i] + " " : std::string()) + std::to_string(s.flagged);
    }
    flagged = "; flagged samples " + flagged;
    // Samples lost on the way are told, never silently dropped.
    std::string lost;
    if (readsLost)
        lost = "; " + std::to_string(readsLost) + " reads found the reader's buffer full and its oldest bytes dropped";
    std::fprintf(stderr,
                 "brova: %llu samples from %zu port%s in %.2f s (%.0f per second per port); %llu checksum failures, "
                 "%llu malformed frames, %llu bytes discarded%s%s%s%s\n",
                 static_cast<unsigned long long>(total), streams.size(), streams.size() > 1 ? "s" : "", seconds,
                 total / std::max(seconds, 0.001) / streams.size(),
                 static_cast<unsigned long long>(sum.checksumFailures),
                 static_cast<unsigned long long>(sum.framesMalformed),
                 static_cast<unsigned long long>(sum.bytesDiscarded), flagged.c_str(), lost.c_str(),
                 finished ? "; written to " : "",
                 finished ? local(output).constData() : "");
    if (!failure.isEmpty())
        throw Failure(result, failure);
    return interruptedBy ? exitForSignal() : ExitOk;
}

} // namespace brovacli
