// brova record (and brova stream --output FILE.mcap): the sensors recorded
// in MCAP, as ros2 bag would record what brova publish publishes, with the
// raw samples beside (ros2recorder.h); and brova info FILE.mcap, which reads
// a recording back.
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "devicesession.h"
#include "mcapreader.h"
#include "record.h"
#include "ros2recorder.h"
#include "ros2run.h"
#include "samplerows.h"

namespace brovacli {

namespace {

std::string local(const QString& s)
{
    return s.toLocal8Bit().toStdString();
}

QString text(const std::string& s)
{
    return QString::fromLocal8Bit(s.c_str());
}

// One port being recorded.
struct Recorded : Ros2Session {
    int index = 0;  // the recorder's
};

// Reads what arrived and records it; false when the device is lost.
bool readAndRecord(Recorded& s, brovatools::Ros2Recorder& recorder, uint64_t countLimit, int64_t realtimeOffset,
                   brovarecording::Status& written)
{
    const bool six = s.kind->sixAxis;
    const int n = six ? s.daq->readAll6D(s.all6, false) : s.daq->readAll(s.all, false);
    if (n == -2)
        return false;
    if (n == -1) {
        ++s.readsLost;
        s.resetFilters();  // bytes were dropped: never smear across them
    }
    if (n <= 0)
        return true;
    const std::vector<int64_t> stamps = brovatools::stampsOf(*s.daq, n);
    const std::vector<uint32_t> flags = brovatools::flagsOf(*s.daq, n);
    const brovatools::RowCalibration* cal = s.calibration.file ? &s.rowCalibration : nullptr;
    // The samples past --count are not recorded.
    int keep = n;
    if (countLimit)
        keep = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(n), countLimit - std::min(countLimit, s.samples)));
    brovatools::RowFilter filter;
    if (!s.filters.empty())
        filter = [&s](std::vector<brovatools::SampleRow>& rows) { s.filterRows(rows, 0); };
    if (six)
        written = recorder.addRead(s.index, s.samples, stamps.data(), s.all6, n, keep, cal, realtimeOffset,
                                   flags.data(), filter);
    else
        written = recorder.addRead(s.index, s.samples, stamps.data(), s.all, n, keep,
                                   std::max(1, s.daq->getSensorSize()), s.wrench, cal, realtimeOffset, flags.data(),
                                   filter);
    s.samples += static_cast<uint64_t>(keep);
    if (recorder.overloaded(s.index) != s.overloaded) {
        s.overloaded = !s.overloaded;
        s.statusDue = true;  // flagged samples start or end: the diagnostics follow at once
    }
    if (s.announced != s.daq.get()) {
        s.announced = s.daq.get();
        s.statusDue = true;
    }
    if (countLimit && s.samples >= countLimit)
        s.done = true;
    return true;
}

// The statuses on /diagnostics, as brova publish sends them.
std::vector<brovaros2::DiagnosticStatus> statuses(std::vector<std::unique_ptr<Recorded>>& sessions,
                                                  brovatools::Ros2Recorder& recorder, const std::string& program,
                                                  int64_t nowNs)
{
    std::vector<brovaros2::DiagnosticStatus> out;
    for (auto& sp : sessions) {
        Recorded& s = *sp;
        s.ros.topics = recorder.topics(s.index);
        s.ros.state = s.daq ? recorder.state(s.index) : -1;
        brovatools::SensorReport report = reportOf(s, s.ros, nowNs);
        recorder.reportFlags(s.index, report);
        report.lowPass = !s.filterOff.empty() ? s.filterOff
                         : s.filters.empty()  ? std::string()
                                              : brovatools::lowPassDelayText(s.filters[0]);
        report.lowPassOff = !s.filterOff.empty();
        out.push_back(brovatools::diagnosticStatus(program, report));
    }
    return out;
}

// Moves the finished file to its name; without replace never over a file
// that appeared meanwhile.
bool moveIntoPlace(const std::string& from, const std::string& to, bool replace, std::string& why)
{
    if (replace) {
        if (std::rename(from.c_str(), to.c_str()) == 0)
            return true;
        why = std::strerror(errno);
        return false;
    }
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) {
        why = "it exists now (made while recording); give --force to replace it";
        return false;
    }
    // A file system without hard links: a plain rename, checked first.
    if (QFileInfo::exists(QString::fromLocal8Bit(to.c_str()))) {
        why = "it exists now (made while recording); give --force to replace it";
        return false;
    }
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    why = std::strerror(errno);
    return false;
}

} // namespace

void addRecordingOptions(QCommandLineParser& p)
{
    p.addOption({QStringLiteral("compression"),
                 QStringLiteral("How a recording's chunks are compressed: zstd (the default), lz4 or none."),
                 QStringLiteral("none|zstd|lz4")});
    p.addOption({QStringLiteral("force"), QStringLiteral("Replace the recording FILE (and FILE.partial) if it "
                                                         "exists.")});
}

RecordingOutput recordingOutputFrom(const QCommandLineParser& p, const QString& output)
{
    RecordingOutput o;
    o.path = output;
    o.force = p.isSet(QStringLiteral("force"));
    if (p.isSet(QStringLiteral("compression")) &&
        !brovarecording::parseCompression(local(p.value(QStringLiteral("compression"))), o.compression))
        throw Failure(ExitUsage, QStringLiteral("--compression %1: the compressions are zstd, lz4 and none")
                                     .arg(p.value(QStringLiteral("compression"))));
    if (output.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("a recording needs --output FILE (MCAP is not written to standard "
                                                "output)"));
    // The output is checked before any port is looked at.
    const QFileInfo target(output);
    if (target.isDir())
        throw Failure(ExitFailure, QStringLiteral("%1: is a directory; --output names the file to write").arg(output));
    if (!target.absoluteDir().exists())
        throw Failure(ExitFailure, QStringLiteral("%1: the folder %2 does not exist").arg(output, target.absolutePath()));
    if (target.exists() && !target.isFile())
        throw Failure(ExitFailure, QStringLiteral("%1: is not a regular file; --output names the file to write").arg(output));
    if (target.exists() && !o.force)
        throw Failure(ExitFailure, QStringLiteral("%1: exists; give --force to replace it").arg(output));
    const QFileInfo partial(output + QStringLiteral(".partial"));
    if (partial.exists() && !o.force)
        throw Failure(ExitFailure, QStringLiteral("%1: exists (a recording that was not finished? any MCAP reader "
                                                  "reads it; brova info shows what it holds): move it away, or give "
                                                  "--force to replace it")
                                       .arg(partial.filePath()));
    if (partial.exists() && !partial.isFile())
        throw Failure(ExitFailure, QStringLiteral("%1: is not a regular file").arg(partial.filePath()));
    return o;
}

bool isRecordingPath(const QString& output)
{
    return output.endsWith(QStringLiteral(".mcap"), Qt::CaseInsensitive);
}

int record(const RunOptions& run, const TopicOptions& topics, const RecordingOutput& out, const QString& program,
           const LowPassOptions& lowPass)
{
    const QStringList& ports = run.ports;
    const std::string partial = local(out.path) + ".partial";
    const std::string output = local(out.path);
    const std::string programName = local(program);

    std::vector<std::unique_ptr<Recorded>> sessions;
    std::vector<const DeviceSession*> earlier;
    std::vector<const Ros2Sensor*> named;
    for (int i = 0; i < ports.size(); ++i) {
        auto s = std::make_unique<Recorded>();
        s->setUp(run, i, earlier);
        earlier.push_back(s.get());
        s->ros = ros2Sensor(topics, i, *s, named);
        named.push_back(&s->ros);
        sessions.push_back(std::move(s));
    }

    brovatools::Ros2Recorder recorder;
    brovatools::RecorderOptions options;
    options.compression = out.compression;
    options.program = programName;
    options.version = BRV_VERSION;
    options.replace = out.force;
    options.fileName = QFileInfo(out.path).fileName().toStdString();
    if (out.force)
        std::remove(partial.c_str());
    if (brovarecording::Status s = recorder.open(partial, options); !s)
        throw Failure(ExitFailure, text(s.message));
    // Until every device has opened, a failure leaves no file behind.
    bool keep = false;
    struct PartialGuard {
        const std::string& path;
        const bool& keep;
        brovatools::Ros2Recorder& recorder;
        ~PartialGuard()
        {
            if (!keep) {
                recorder.finish({}, {});
                std::remove(path.c_str());
            }
        }
    } guard{partial, keep, recorder};

    for (auto& s : sessions) {
        brovatools::RecordedSensor r;
        r.name = s->ros.name;
        r.topics = s->ros.topics;
        if (lowPass.cutoff > 0)
            for (const auto& t : s->ros.topics)
                r.filteredTopics.push_back(t.ros + "_filtered");
        // Filtered in the values' own unit: N and N*m when calibrated.
        s->filterNewtons = s->calibration.file != nullptr;
        r.countsTopic = brovaros2::rosTopic(topics.ns, s->ros.name + "/counts");
        r.frameId = s->ros.frameId;
        r.calibration = s->calibration.file;
        if (brovarecording::Status st = recorder.addSensor(r, s->index); !st)
            throw Failure(ExitFailure, text(st.message));
        std::string list;
        for (const auto& t : s->ros.topics)
            list += (list.empty() ? "" : ", ") + t.ros;
        for (const auto& t : r.filteredTopics)
            list += ", " + t;
        std::fprintf(stderr, "brova: %s: %s on %s and %s; %s\n", local(s->target.path).c_str(),
                     s->calibration.file ? "N and N*m" : "counts", list.c_str(), r.countsTopic.c_str(),
                     s->calibration.line.c_str());
    }
    std::fprintf(stderr, "brova: recording to %s (named %s until it is finished), %s\n", output.c_str(),
                 partial.c_str(), brovarecording::compressionName(out.compression));

    const QString started = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const int64_t startNs = brovatools::monotonicNow();
    for (auto& s : sessions)
        s->beginOpen(run.want, run.tare);

    int result = ExitOk;
    QString failure;
    brovarecording::Status written;
    brovatools::RealtimeClock realtime;
    int64_t nextDiagnostics = startNs;
    for (;;) {
        const int64_t nowNs = brovatools::monotonicNow();
        const int64_t realtimeOffset = realtime.offset(nowNs);
        bool allDone = true;
        for (auto& sp : sessions) {
            Recorded& s = *sp;
            const Turn turn = s.ros2Turn(nowNs, run.want, run.tare, lowPass, "recorded", result, failure);
            if (turn != Turn::Waiting && !s.done &&
                !readAndRecord(s, recorder, static_cast<uint64_t>(run.count), realtimeOffset, written)) {
                if (!run.reconnect) {
                    failure = QStringLiteral("%1: the device stopped: unplugged, or silent for 550 ms").arg(s.target.path);
                    result = ExitDevice;
                } else {
                    s.lose(nowNs);
                    std::fprintf(stderr, "brova: %s: lost; waiting for it to come back\n", s.ros.name.c_str());
                }
            }
            if (!written)
                break;
            allDone = allDone && s.done;
        }
        if (!keep && result == ExitOk &&
            std::all_of(sessions.begin(), sessions.end(), [](const auto& s) { return s->opened; }))
            keep = true;
        if (!written || result != ExitOk)
            break;
        bool due = nowNs >= nextDiagnostics;
        for (auto& s : sessions) {
            due = due || s->statusDue;
            s->statusDue = false;
        }
        if (due) {
            written = recorder.addDiagnostics(statuses(sessions, recorder, programName, nowNs), nowNs + realtimeOffset);
            nextDiagnostics = nowNs + 1000000000;
        }
        if (written)
            written = recorder.tick(nowNs);
        if (!written)
            break;
        if (interruptedBy || (run.count && allDone) || (run.duration > 0 && nowNs - startNs >= run.duration * 1e9))
            break;
        // A read every 10 ms: a counts message holds about ten samples (at
        // 1000 per second), and the reader's buffer holds far more.
        pause(10);
    }

    uint64_t total = 0;
    for (auto& s : sessions) {
        if (s->opening.valid())
            s->opening.wait();
        s->keepRate();
        if (s->daq)
            s->daq->close();
        total += s->samples;
    }
    const double seconds = (brovatools::monotonicNow() - startNs) / 1e9;
    if (!keep && result != ExitOk)
        throw Failure(result, failure);  // a device could not be opened: nothing was recorded, no file is left
    keep = true;
    if (!written) {
        // A full disk or another write error: what was written is kept, in
        // whole chunks, under the .partial name (it has no summary).
        recorder.finish({}, {});
        throw Failure(ExitFailure,
                      QStringLiteral("%1%2; the recording stopped after %3 s. Every complete chunk written is kept in "
                                     "%4 (any MCAP reader recovers them; brova info shows what it holds)")
                          .arg(text(written.message),
                               written.error == ENOSPC ? QStringLiteral(" (the disk is full)") : QString())
                          .arg(seconds, 0, 'f', 2)
                          .arg(text(partial)));
    }
    if (result == ExitOk) {
        const std::vector<brovaros2::DiagnosticStatus> last =
            statuses(sessions, recorder, programName, brovatools::monotonicNow());
        written = recorder.addDiagnostics(last, brovatools::monotonicNow() + BrovaDAQ::getRealtimeOffset());
    }
    std::vector<brovatools::SidecarDevice> devices;
    for (const auto& s : sessions)
        devices.push_back(s->sidecarDevice());
    brovarecording::StringMap runInfo{
        {"started", local(started)},
        {"seconds", QString::number(seconds, 'f', 3).toStdString()},
        {"namespace", topics.ns},
        {"tare", run.tare ? "yes" : "no"},
        {"ended by", interruptedBy == SIGINT    ? "Ctrl-C (SIGINT)"
                     : interruptedBy == SIGTERM ? "SIGTERM"
                     : result != ExitOk         ? local(failure)
                                                : "its end (--count or --duration)"},
    };
    const brovarecording::Status finished = recorder.finish(devices, runInfo);
    if (!written || !finished) {
        const brovarecording::Status& why = !written ? written : finished;
        throw Failure(ExitFailure, QStringLiteral("%1%2; what was written is kept in %3")
                                       .arg(text(why.message),
                                            why.error == ENOSPC ? QStringLiteral(" (the disk is full)") : QString(),
                                            text(partial)));
    }
    std::string why;
    if (!moveIntoPlace(partial, output, out.force, why))
        throw Failure(ExitFailure, QStringLiteral("%1: cannot be named so: %2; the recording is in %3")
                                       .arg(out.path, text(why), text(partial)));
    std::fprintf(stderr, "brova: %llu samples from %zu port%s in %.2f s recorded to %s (%llu messages, %llu bytes)\n",
                 static_cast<unsigned long long>(total), sessions.size(), sessions.size() > 1 ? "s" : "", seconds,
                 output.c_str(), static_cast<unsigned long long>(recorder.messages()),
                 static_cast<unsigned long long>(QFileInfo(out.path).size()));
    if (!failure.isEmpty())
        throw Failure(result, failure);
    return interruptedBy ? exitForSignal() : ExitOk;
}

int runRecord(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral(
            "Records the sensors on PORT ... into FILE, an MCAP file (the format of ros2 bag, which Foxglove and "
            "PlotJuggler open), until --count, --duration, Ctrl-C or SIGTERM. The file holds what brova publish "
            "would publish, as ros2 bag would record it: per sensor NS/NAME/wrench (a six-axis sensor) or "
            "NS/NAME/chN/wrench (each channel of a three-axis device), geometry_msgs/msg/WrenchStamped, one message "
            "per sample, in N and N*m with a calibration, counts without; /diagnostics once a second; and beside "
            "them NS/NAME/counts (brova_msgs/msg/Counts, its definition in the file), the device's raw records of "
            "every read, every field, so that nothing the wire gave is lost. header.stamp, log_time and "
            "publish_time are the instant the device took the sample (the library's sample stamps) on the "
            "real-time clock. The devices, the run and rosbag2's metadata (ros2 bag info) are written into the "
            "file as it ends, and the calibration files are attached to it: no sidecar file is needed.\n\n"
            "FILE is named FILE.partial while it is written and renamed when it is finished. It is closed in "
            "chunks at least twice a second, so if the recorder is killed, FILE.partial keeps everything but the "
            "last half second, and any MCAP reader recovers it (brova info shows what it holds). A full disk or "
            "another write error ends the recording with exit status 1, every complete chunk kept in "
            "FILE.partial. Ctrl-C and SIGTERM finish the file before brova exits. An existing FILE is not "
            "replaced unless --force is given.\n\n"
            "Ports, kinds, configuration, tare, calibration and reconnection are brova stream's; --namespace, "
            "--name and --frame-id name the topics as brova publish does. With --lowpass each wrench topic has a "
            ".../wrench_filtered beside it, as brova publish has: the same samples, with the same stamps, low-pass "
            "filtered (delayed by the filter's group delay, told at the start). Each sample's status flags (a field "
            "at its converter's rail, a calibrated value over its rated range) are in its counts record; the "
            "diagnostics go to WARN while samples are flagged.\n\n") +
        exitCodesText());
    p.addHelpOption();
    addRunOptions(p, QStringLiteral("After an unplug, keep recording the other ports, wait for the port to come back "
                                    "and reopen it (an attempt every 250 ms); the gap is in the diagnostics."));
    addTopicOptions(p);
    p.addOption({{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("The recording to write (FILE.mcap)."),
                 QStringLiteral("FILE")});
    addRecordingOptions(p);
    addLowPassOptions(p);
    parseOrExplain(p, args);
    const RunOptions run = runOptionsFrom(p, args);
    const LowPassOptions lowPass = lowPassFromOptions(p, run.want);
    const TopicOptions topics = topicOptionsFrom(p, static_cast<int>(run.ports.size()));
    if (!p.isSet(QStringLiteral("output")))
        throw Failure(ExitUsage, QStringLiteral("brova record needs -o FILE.mcap, the recording to write"));
    const RecordingOutput out = recordingOutputFrom(p, p.value(QStringLiteral("output")));
    return record(run, topics, out, QStringLiteral("brova record"), lowPass);
}

bool isRecordingFile(const QString& path)
{
    // Ports are character devices; a regular file named here is a recording.
    return QFileInfo(path).isFile();
}

namespace {

QString timeText(uint64_t ns)
{
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ns / 1000000), Qt::UTC).toString(Qt::ISODateWithMs);
}

} // namespace

int runRecordingInfo(const QString& path)
{
    brovarecording::McapReader reader;
    const brovarecording::Status opened = reader.open(local(path));
    if (!opened)
        throw Failure(ExitFailure, QStringLiteral("%1: not a recording that can be read: %2").arg(path, text(opened.message)));
    const brovarecording::Statistics& st = reader.statistics();
    std::string compression;
    for (const auto& c : reader.chunks())
        if (compression.find(c.compression.empty() ? "none" : c.compression) == std::string::npos)
            compression += (compression.empty() ? "" : ", ") + (c.compression.empty() ? std::string("none") : c.compression);
    std::printf("recording: %s\n", local(path).c_str());
    if (reader.indexed())
        std::printf("finished: yes\n");
    else
        std::printf("finished: no (%s); what its complete chunks hold:\n", reader.scanNote().c_str());
    std::printf("written by: %s (profile %s)\n", reader.header().library.c_str(),
                reader.header().profile.empty() ? "none" : reader.header().profile.c_str());
    if (st.messageCount)
        std::printf("time span: %s to %s UTC (%.3f s)\n", local(timeText(st.messageStartTime)).c_str(),
                    local(timeText(st.messageEndTime)).c_str(), (st.messageEndTime - st.messageStartTime) / 1e9);
    else
        std::printf("time span: none (no message)\n");
    std::printf("messages: %llu in %u chunk%s (%s)\n", static_cast<unsigned long long>(st.messageCount),
                st.chunkCount, st.chunkCount == 1 ? "" : "s", compression.empty() ? "-" : compression.c_str());
    std::printf("topics:\n");
    for (const auto& ch : reader.channels()) {
        const brovarecording::Schema* schema = reader.schema(ch.schemaId);
        const auto n = st.channelMessageCounts.find(ch.id);
        std::printf("  %s  %s  %llu messages\n", ch.topic.c_str(), schema ? schema->name.c_str() : "(no schema)",
                    static_cast<unsigned long long>(n == st.channelMessageCounts.end() ? 0 : n->second));
    }
    std::printf("devices:\n");
    bool anyDevice = false;
    for (const auto& m : reader.metadata()) {
        if (m.name.rfind("brova.device.", 0) != 0)
            continue;
        anyDevice = true;
        const auto get = [&](const char* key) {
            const auto it = m.entries.find(key);
            return it == m.entries.end() ? std::string("-") : it->second;
        };
        std::printf("  %s: %s, kind %s (%s), identification %s, %s; configured %s per second, estimated %s per "
                    "second; %s samples; calibration %s\n",
                    get("name").c_str(), get("port").c_str(), get("kind").c_str(), get("read as").c_str(),
                    get("identification").empty() ? "none" : get("identification").c_str(), get("units").c_str(),
                    get("configured rate").c_str(), get("estimated rate").c_str(), get("samples").c_str(),
                    get("calibration").c_str());
    }
    if (!anyDevice)
        std::printf("  not described: a recording's devices are written when it is finished (its /diagnostics "
                    "name them once a second)\n");
    std::printf("calibrations:\n");
    if (reader.attachments().empty())
        std::printf("  none\n");
    for (const auto& a : reader.attachments())
        std::printf("  %s (%llu bytes, %s)\n", a.name.c_str(), static_cast<unsigned long long>(a.dataSize),
                    a.mediaType.c_str());
    const brovarecording::Status checked = reader.verify();
    if (!checked) {
        std::fflush(stdout);
        throw Failure(ExitFailure, QStringLiteral("%1: damaged: %2").arg(path, text(checked.message)));
    }
    std::printf("check: every CRC, index and count agrees with the messages\n");
    return ExitOk;
}

} // namespace brovacli
