// brova stream: samples of one or more sensors as they arrive.
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
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
struct Stream {
    QString given;  // PORT as given (auto: the port it found), located again on reconnecting
    Target target;
    const Kind* kind = nullptr;
    bool wrench = false;  // a four-channel device read as one six-axis sensor
    std::unique_ptr<BrovaDAQ> daq;
    SensorConfig config;
    uint64_t samples = 0;
    int64_t lastRead = 0;
    bool done = false;      // --count reached
    int64_t lostAt = -1;    // while waiting to reconnect: since when
    int64_t retryAt = 0;    // the next attempt to reopen
    BrovaStatistics before{};  // counts of earlier sessions (reconnects)
    BrovaPackage* all = nullptr;
    BrovaPackage6D* all6 = nullptr;

    ~Stream()
    {
        if (daq)
            daq->close();
        delete[] all;
        delete[] all6;
    }
    BrovaStatistics statistics() const
    {
        BrovaStatistics s = daq ? daq->getStatistics() : BrovaStatistics{};
        s.bytesReceived += before.bytesReceived;
        s.framesAccepted += before.framesAccepted;
        s.checksumFailures += before.checksumFailures;
        s.framesMalformed += before.framesMalformed;
        s.bytesDiscarded += before.bytesDiscarded;
        return s;
    }
};

// Reads what arrived on one port into rows; false when the device is lost.
bool readInto(Stream& s, int index, int64_t now, uint64_t countLimit, std::vector<SampleRow>& rows)
{
    int n;
    if (s.kind->sixAxis) {
        n = s.daq->readAll6D(s.all6, false);
    } else {
        n = s.daq->readAll(s.all, false);
    }
    if (n == -2)
        return false;
    if (n <= 0)
        return true;
    const std::vector<int64_t> times = brovatools::spreadTimes(s.lastRead, now, n);
    s.lastRead = now;
    const size_t before = rows.size();
    if (s.kind->sixAxis)
        brovatools::appendRows(rows, index, s.samples, times, s.all6, n);
    else
        brovatools::appendRows(rows, index, s.samples, times, s.all, n, std::max(1, s.daq->getSensorSize()), s.wrench);
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
    return true;
}

// Opens, configures and tares one stream's device.
void start(Stream& s, const ConfigRequest& want, bool tare)
{
    s.daq = openTarget(s.target);
    s.config = applyConfig(*s.daq, s.target.path, want);
    if (tare)
        s.daq->zeroAll();
}

brovatools::SidecarDevice sidecarDevice(const Stream& st)
{
    brovatools::SidecarDevice d;
    d.port = local(st.target.path).toStdString();
    d.kind = st.kind->code;
    d.kindText = st.kind->text;
    d.identification = local(st.target.ident).toStdString();
    d.sixAxisFromFourChannels = st.wrench;
    d.rate = st.config.getSpeed();
    d.filter = st.config.getFilter();
    d.mode = st.config.getMode();
    d.samples = st.samples;
    d.statistics = st.statistics();
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
            "empty). time is the host's time in seconds since the start: the samples carry no device time, so "
            "the samples of one read are spread evenly over the time since the previous read, and the channels of "
            "one sample follow each other 1 microsecond apart; the column strictly increases. state is the "
            "device's state field (5 normal; others are conditions such as an overload). sample counts each "
            "port's samples from 0.\n\n"
            "With --output FILE the samples go to FILE.partial, renamed to FILE when the stream ends (Ctrl-C "
            "included); FILE.json beside it records the devices, their configuration, the tare, the start time and "
            "any gaps. On a terminal, a status line on standard error shows the elapsed time, the samples, the "
            "measured rate, checksum failures and bytes discarded; a one-line summary ends every run.\n\n") +
        exitCodesText());
    p.addHelpOption();
    addKindOption(p);
    addConfigOptions(p);
    p.addOption({QStringLiteral("format"), QStringLiteral("csv (the default) or jsonl (one JSON object per line)."),
                 QStringLiteral("csv|jsonl")});
    p.addOption({QStringLiteral("six-axis"), QStringLiteral("Read a four-channel device as one six-axis sensor "
                                                            "(force and torque computed on the host).")});
    p.addOption({QStringLiteral("tare"), QStringLiteral("Zero every channel (or the six-axis sensor) at the start.")});
    p.addOption({QStringLiteral("count"), QStringLiteral("Stop after N samples of every port."), QStringLiteral("N")});
    p.addOption({QStringLiteral("duration"), QStringLiteral("Stop after S seconds."), QStringLiteral("S")});
    p.addOption({QStringLiteral("output"), QStringLiteral("Write the samples to FILE instead of standard output."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("reconnect"), QStringLiteral("After an unplug, wait for the port to come back and "
                                                             "reopen it; the gap is reported (and kept in FILE.json).")});
    p.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("One or more ports: paths, names, links, or auto."),
                            QStringLiteral("PORT [PORT ...]"));
    parseOrExplain(p, args);

    // Every value is checked before anything is opened.
    const QStringList ports = p.positionalArguments();
    if (ports.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("%1 needs at least one PORT (see %1 --help)").arg(args.value(0)));
    const int kindOption = kindFromOption(p);
    const ConfigRequest want = configFromOptions(p);
    const QString format = p.isSet(QStringLiteral("format")) ? p.value(QStringLiteral("format")) : QStringLiteral("csv");
    if (format != QLatin1String("csv") && format != QLatin1String("jsonl"))
        throw Failure(ExitUsage, QStringLiteral("--format %1: the formats are csv and jsonl").arg(format));
    const int count = intOption(p, QStringLiteral("count"), 0);
    if (p.isSet(QStringLiteral("count")) && count <= 0)
        throw Failure(ExitUsage, QStringLiteral("--count needs a number above 0"));
    const double duration = secondsOption(p, QStringLiteral("duration"), 0.0);
    const bool tare = p.isSet(QStringLiteral("tare"));
    const bool reconnect = p.isSet(QStringLiteral("reconnect"));
    const QString output = p.value(QStringLiteral("output"));

    std::vector<std::unique_ptr<Stream>> streams;
    for (const QString& port : ports) {
        auto s = std::make_unique<Stream>();
        s->target = locate(port, kindOption);
        // A reconnection looks for the same port again: a link is resolved
        // afresh, but auto is not a search for any sensor.
        s->given = port == QLatin1String("auto") ? s->target.path : port;
        s->kind = kindOf(s->target.kind);
        s->wrench = p.isSet(QStringLiteral("six-axis"));
        if (s->wrench && !s->kind->fourChannel)
            throw Failure(ExitUsage, QStringLiteral("--six-axis reads a four-channel device (kind 34 or 94); %1 is kind %2")
                                         .arg(s->target.path)
                                         .arg(s->kind->code));
        for (const auto& other : streams)
            if (other->target.path == s->target.path)
                throw Failure(ExitUsage, QStringLiteral("%1 is named twice").arg(s->target.path));
        streams.push_back(std::move(s));
    }
    // The output is made before any device is opened or configured.
    std::FILE* out = stdout;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, &std::fclose);
    const QString partial = output + QStringLiteral(".partial");
    if (!output.isEmpty()) {
        file.reset(std::fopen(local(partial).constData(), "w"));
        if (!file)
            throw Failure(ExitFailure, QStringLiteral("%1: cannot write: %2").arg(partial, QString::fromLocal8Bit(std::strerror(errno))));
        out = file.get();
    }
    // The clock starts before the devices open: what they send while being
    // opened, configured and tared is in the first read.
    const QString started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    QElapsedTimer clock;
    clock.start();
    auto micros = [&] { return clock.nsecsElapsed() / 1000; };
    for (auto& s : streams) {
        s->lastRead = micros();
        try {
            start(*s, want, tare);
        } catch (const Failure&) {
            if (file) {  // nothing was written: no file is left behind
                file.reset();
                std::remove(local(partial).constData());
            }
            throw;
        }
    }

    std::signal(SIGPIPE, SIG_IGN);

    bool anyThree = false, anySix = false;
    std::vector<std::string> names;
    for (const auto& s : streams) {
        (s->kind->sixAxis || s->wrench ? anySix : anyThree) = true;
        names.push_back(local(s->target.path).toStdString());
    }
    brovatools::SampleSink sink(out, format == QLatin1String("csv") ? brovatools::RowFormat::Csv
                                                                    : brovatools::RowFormat::JsonLines,
                                names, anyThree, anySix);
    sink.writeHeader();

    const bool status = isatty(STDERR_FILENO);
    std::vector<brovatools::SidecarGap> gaps;
    brovatools::RateMeter rate;
    int64_t nextStatus = 0, nextFlush = 0;
    int result = ExitOk;
    QString failure;
    std::vector<SampleRow> rows;
    bool outputClosed = false;

    for (;;) {
        const int64_t now = micros();
        rows.clear();
        bool allDone = true;
        for (size_t i = 0; i < streams.size(); ++i) {
            Stream& s = *streams[i];
            if (s.lostAt >= 0) {
                // Waiting for the port to come back.
                if (now >= s.retryAt) {
                    s.retryAt = now + 250000;
                    try {
                        if (s.daq) {
                            s.before = s.statistics();
                            s.daq.reset();
                        }
                        s.target = locate(s.given, s.target.kind);
                        start(s, want, tare);
                        gaps.push_back({names[i], s.lostAt, now});
                        sink.writeEvent(now, static_cast<int>(i), "reconnected",
                                        "no samples from " + brovatools::formatSeconds(s.lostAt) + " s");
                        std::fprintf(stderr, "%sbrova: %s: reopened after a gap of %.2f s\n", status ? "\r\033[K" : "",
                                     names[i].c_str(), (now - s.lostAt) / 1e6);
                        s.lostAt = -1;
                        s.lastRead = micros();
                    } catch (const Failure&) {
                        s.daq.reset();  // not back yet: try again
                    }
                }
                allDone = allDone && s.done;
                continue;
            }
            if (!s.done && !readInto(s, static_cast<int>(i), now, static_cast<uint64_t>(count), rows)) {
                if (!reconnect) {
                    failure = QStringLiteral("%1: the device stopped: unplugged, or silent for 550 ms").arg(s.target.path);
                    result = ExitDevice;
                } else {
                    s.lostAt = now;
                    sink.writeEvent(now, static_cast<int>(i), "lost", "waiting for the port to come back");
                    std::fprintf(stderr, "%sbrova: %s: lost; waiting for it to come back\n", status ? "\r\033[K" : "",
                                 names[i].c_str());
                }
            }
            allDone = allDone && s.done;
        }
        sink.write(rows);
        if (result != ExitOk)
            break;
        if (now >= nextFlush || out == stdout) {
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

    // The end: every device closed, what was read written out.
    const double seconds = micros() / 1e6;
    for (auto& s : streams)
        if (s->daq)
            s->daq->close();
    const bool flushed = sink.flush() || outputClosed;
    if (status)
        std::fputs("\r\033[K", stderr);
    uint64_t total = 0;
    BrovaStatistics sum{};
    for (const auto& s : streams) {
        total += s->samples;
        const BrovaStatistics x = s->statistics();
        sum.checksumFailures += x.checksumFailures;
        sum.framesMalformed += x.framesMalformed;
        sum.bytesDiscarded += x.bytesDiscarded;
    }
    if (file) {
        const bool closed = std::fclose(file.release()) == 0;
        if (!flushed || !closed || std::rename(local(partial).constData(), local(output).constData()) != 0) {
            failure = QStringLiteral("%1: cannot finish the output file; what was written is in %2").arg(output, partial);
            result = ExitFailure;
        } else {
            brovatools::SidecarRun run;
            run.started = local(started).toStdString();
            run.seconds = seconds;
            run.format = format == QLatin1String("csv") ? "csv" : "jsonl";
            run.columns = sink.columns();
            run.tare = tare;
            run.interrupted = interruptedBy != 0;
            for (const auto& s : streams)
                run.devices.push_back(sidecarDevice(*s));
            run.gaps = gaps;
            std::string why;
            if (!brovatools::writeSidecar(local(output).toStdString() + ".json", run, why)) {
                failure = QStringLiteral("%1.json: cannot write: %2").arg(output, QString::fromLocal8Bit(why.c_str()));
                result = ExitFailure;
            }
        }
    }
    std::fprintf(stderr,
                 "brova: %llu samples from %zu port%s in %.2f s (%.0f per second per port); %llu checksum failures, "
                 "%llu malformed frames, %llu bytes discarded%s%s\n",
                 static_cast<unsigned long long>(total), streams.size(), streams.size() > 1 ? "s" : "", seconds,
                 total / std::max(seconds, 0.001) / streams.size(),
                 static_cast<unsigned long long>(sum.checksumFailures),
                 static_cast<unsigned long long>(sum.framesMalformed),
                 static_cast<unsigned long long>(sum.bytesDiscarded), output.isEmpty() ? "" : "; written to ",
                 local(output).constData());
    if (!failure.isEmpty())
        throw Failure(result, failure);
    return interruptedBy ? exitForSignal() : ExitOk;
}

} // namespace brovacli
