// brova calibrate: the guided calibration with known loads. For each step the
// user applies a known load; the reading is taken once it is steady; at the
// end a least-squares fit gives each channel's (or the six-axis sensor's)
// matrix and bias, written as a calibration file.
#include <QCommandLineParser>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brovacalibration.h"
#include "calibrationfit.h"
#include "cli.h"
#include "commands.h"
#include "samplerows.h"

namespace brovacli {

namespace {

using brovatools::CalibrationFit;

QByteArray local(const QString& s)
{
    return s.toLocal8Bit();
}

// What one fit calibrates: a three-axis channel, or the six-axis sensor
// (channel -1), over `inputs` (the values read for each sample).
struct Unit {
    int channel = -1;
    int outputs = 3;
    std::vector<std::string> inputs;
    size_t offset = 0;  // where its inputs start in a sample's values
};

// One sample instant: the inputs of every unit, one after the other.
struct Instant {
    int64_t stamp;
    std::vector<double> values;
};

// One step: the load as given, for which channel (-1: every unit), and the
// averaged values of every unit.
struct Step {
    std::string text;
    std::vector<double> load;
    int channel = -1;
    std::vector<double> reading;
    std::vector<double> noise;  // the uncertainty of each averaged value (counts)
};

bool inStep(const Step& s, const Unit& u)
{
    return s.channel < 0 || s.channel == u.channel;
}

double inputOf(const BrovaPackage& p, const std::string& name)
{
    if (name == "x")
        return p.x;
    if (name == "y")
        return p.y;
    if (name == "z")
        return p.z;
    const int32_t s[4] = {p.s1, p.s2, p.s3, p.s4};
    return s[name[1] - '1'];
}

// The host's force and torque of a four-channel device (BrovaDAQ::wrenchOf)
// is linear in the channels' x, y, z: its 6 x 12 matrix, found by probing it
// with one count of 2^20 at a time (exact through its scalings).
std::vector<double> wrenchMap()
{
    std::vector<double> m(72);
    for (int column = 0; column < 12; ++column) {
        BrovaPackage c[4];
        int32_t* field[3] = {&c[column / 3].x, &c[column / 3].y, &c[column / 3].z};
        *field[column % 3] = 1 << 20;
        int w[6];
        BrovaDAQ::wrenchOf(c[0], c[1], c[2], c[3], w);
        for (int r = 0; r < 6; ++r)
            m[static_cast<size_t>(r * 12 + column)] = w[r] / double(1 << 20);
    }
    return m;
}

// The samples of the device, as the values of its units.
class Source {
public:
    Source(BrovaDAQ& daq, const Target& target, bool sixAxis, bool wrench, const std::vector<Unit>& units)
        : daq(daq), target(target), sixAxis(sixAxis), wrench(wrench), units(units), map(wrenchMap())
    {
    }
    ~Source()
    {
        delete[] all;
        delete[] all6;
    }
    // What arrived since the last call; throws when the device is lost.
    void read(std::vector<Instant>& out)
    {
        const int n = sixAxis ? daq.readAll6D(all6, false) : daq.readAll(all, false);
        if (n == -2)
            throw Failure(ExitDevice, QStringLiteral("%1: the device was lost; nothing written").arg(target.path));
        if (n <= 0)
            return;
        const std::vector<int64_t> stamps = brovatools::stampsOf(daq, n);
        const int channels = std::max(1, daq.getSensorSize());
        for (int k = 0; k < n; ++k) {
            Instant i{stamps[static_cast<size_t>(k)], {}};
            if (sixAxis) {
                const BrovaPackage6D& p = all6[k];
                i.values = {double(p.Fx), double(p.Fy), double(p.Fz), double(p.Tx), double(p.Ty), double(p.Tz)};
            } else if (wrench) {
                if (channels < 4)
                    continue;
                i.values.assign(6, 0.0);
                for (int c = 0; c < 4; ++c) {
                    const BrovaPackage& p = all[c * n + k];
                    const double xyz[3] = {double(p.x), double(p.y), double(p.z)};
                    for (int r = 0; r < 6; ++r)
                        for (int j = 0; j < 3; ++j)
                            i.values[static_cast<size_t>(r)] += map[static_cast<size_t>(r * 12 + c * 3 + j)] * xyz[j];
                }
            } else {
                for (const Unit& u : units) {
                    if (u.channel >= channels)
                        throw Failure(ExitDevice, QStringLiteral("%1: the device sends %2 channel(s), not channel %3")
                                                      .arg(target.path)
                                                      .arg(channels)
                                                      .arg(u.channel));
                    for (const std::string& name : u.inputs)
                        i.values.push_back(inputOf(all[u.channel * n + k], name));
                }
            }
            out.push_back(std::move(i));
        }
    }
    void drop()
    {
        std::vector<Instant> ignored;
        read(ignored);
    }
    const std::vector<double>& wrenchMatrix() const { return map; }

private:
    BrovaDAQ& daq;
    const Target& target;
    bool sixAxis, wrench;
    const std::vector<Unit>& units;
    std::vector<double> map;
    BrovaPackage* all = nullptr;
    BrovaPackage6D* all6 = nullptr;
};

// Lines of standard input, read without blocking the device: idle runs about
// every 100 ms while no line is complete; a signal ends the wait.
class Lines {
public:
    bool next(std::string& line, const std::function<void()>& idle)
    {
        for (;;) {
            const size_t end = buffer.find('\n');
            if (end != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return true;
            }
            if (eof) {
                line = buffer;
                buffer.clear();
                return !line.empty();
            }
            if (interruptedBy)
                throw Failure(exitForSignal(), QStringLiteral("interrupted; nothing written"));
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (::poll(&in, 1, 100) > 0) {
                char chunk[4096];
                const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
                if (got > 0)
                    buffer.append(chunk, static_cast<size_t>(got));
                else if (got == 0 || errno != EINTR)
                    eof = true;
            }
            idle();
        }
    }

private:
    std::string buffer;
    bool eof = false;
};

QString numbers(const std::vector<double>& v, size_t from, size_t count, const char* format = "%.6g")
{
    QStringList out;
    for (size_t i = from; i < from + count && i < v.size(); ++i)
        out << QString::asprintf(format, v[i]);
    return out.join(' ');
}

QString loadText(const std::vector<double>& load)
{
    if (load.size() == 6)
        return numbers(load, 0, 3, "%.4f") + QStringLiteral(" N ") + numbers(load, 3, 3, "%.4f") +
               QStringLiteral(" N*m");
    return numbers(load, 0, 3, "%.4f") + QStringLiteral(" N");
}

QString unitName(const Unit& u)
{
    return u.channel < 0 ? QStringLiteral("six-axis") : QStringLiteral("channel %1").arg(u.channel);
}

QJsonArray jsonArray(const std::vector<double>& v)
{
    QJsonArray a;
    for (double x : v)
        a.append(std::isfinite(x) ? QJsonValue(x) : QJsonValue());
    return a;
}

QJsonArray jsonArray(const std::vector<std::string>& v)
{
    QJsonArray a;
    for (const std::string& s : v)
        a.append(QString::fromStdString(s));
    return a;
}

QString times(double ratio)
{
    return ratio >= 10 ? QStringLiteral("%1 x").arg(ratio, 0, 'f', 0) : QStringLiteral("%1 x").arg(ratio, 0, 'g', 2);
}

// "step 3 (40 0 0)": a step as the user numbered and typed it.
QString stepName(size_t number, const std::vector<Step>& steps)
{
    return QStringLiteral("step %1 (%2)").arg(number).arg(QString::fromLocal8Bit(steps[number - 1].text.c_str()));
}

QString stepList(const std::vector<int>& which, const std::vector<size_t>& numbers, const std::vector<Step>& steps)
{
    QStringList names;
    for (int i : which)
        names << stepName(numbers[static_cast<size_t>(i)], steps);
    return names.join(QStringLiteral(" and "));
}

// Why the steps of a fit are refused, or empty when they agree.
QString disagreementText(const brovatools::StepConsistency& c, const std::vector<std::vector<double>>& loads,
                         const std::vector<size_t>& numbers, const std::vector<std::string>& axes,
                         const std::vector<Step>& steps)
{
    if (c.agree())
        return QString();
    auto axisName = [&](int axis) { return QString::fromStdString(axes[static_cast<size_t>(axis)]); };
    auto unitOf = [](int axis) { return axis < 3 ? QStringLiteral("N") : QStringLiteral("N*m"); };
    const QString explain = QStringLiteral("what the reading noise and a %1 % load precision explain")
                                .arg(100 * brovatools::kLoadPrecision);
    if (c.noiseAxis >= 0)
        return QStringLiteral("the readings barely follow the loads along %1: the fit turns the reading noise alone "
                              "into %2 % of the largest load there (more than %3 %): were the loads along %1 applied?")
            .arg(axisName(c.noiseAxis))
            .arg(100 * c.noiseShare, 0, 'f', 0)
            .arg(100 * brovatools::kNoiseShare, 0, 'f', 0);
    if (!c.disagreeing.empty()) {
        QStringList parts;
        for (size_t k = 0; k < c.disagreeing.size(); ++k) {
            const size_t i = static_cast<size_t>(c.disagreeing[k]);
            const std::vector<double>& read = c.othersRead[k];
            size_t worst = 0;
            for (size_t j = 0; j < read.size(); ++j)
                if (std::abs(read[j] - loads[i][j]) > std::abs(read[worst] - loads[i][worst]))
                    worst = j;
            parts << QStringLiteral("%1 disagrees with the other steps: they read it as %2, %3 %4 from the load given "
                                    "on %5, its residual %6 %7")
                         .arg(stepName(numbers[i], steps), loadText(read))
                         .arg(std::abs(read[worst] - loads[i][worst]), 0, 'g', 4)
                         .arg(unitOf(static_cast<int>(worst)), axisName(static_cast<int>(worst)),
                              times(c.steps[i].ratio), explain);
        }
        return parts.join(QStringLiteral("; ")) +
               QStringLiteral(" (a load typed with the wrong sign or size, or not applied?)");
    }
    if (!c.alternatives.empty()) {
        QStringList each;
        for (const std::vector<int>& a : c.alternatives)
            each << stepList(a, numbers, steps);
        return QStringLiteral("the steps disagree, and %1 could each be the one at fault (each, taken out, "
                              "leaves the rest agreeing), which the steps cannot tell apart: check their loads, or add "
                              "a step that loads the same axis again")
            .arg(each.join(QStringLiteral(" or ")));
    }
    QStringList by;
    for (int i : c.unlocated) {
        const brovatools::StepCheck& s = c.steps[static_cast<size_t>(i)];
        by << QStringLiteral("step %1 by %2 %3 on %4, %5")
                  .arg(numbers[static_cast<size_t>(i)])
                  .arg(std::abs(s.residual[static_cast<size_t>(s.axis)]), 0, 'g', 3)
                  .arg(unitOf(s.axis), axisName(s.axis), times(s.ratio));
    }
    return QStringLiteral("the steps disagree (%1 %2), but with %3 step%4 to spare it cannot be told which load is "
                          "wrong: check the loads of %5, or add steps")
        .arg(by.join(QStringLiteral("; ")), explain)
        .arg(c.spare)
        .arg(c.spare == 1 ? QString() : QStringLiteral("s"))
        .arg(stepList(c.unlocated, numbers, steps));
}

const char kDescription[] =
    "Calibrates the sensor on PORT with known loads: for each step you apply a known load, the tool waits until the "
    "reading is steady, averages it and shows it; at the end a least-squares fit gives the matrix and bias that "
    "map the readings (counts) to newtons (and newton-metres), and they are written to FILE as a calibration file "
    "that brova stream --calibration, brova info and brova-scope apply.\n\n"
    "What is fitted: a three-axis channel (kinds 68, 31, and each channel of 94 and 34) gets a 3 x k matrix and a "
    "bias over its x, y, z (k = 3; --inputs elements: s1 ... s4, k = 4, in raw mode only); a six-axis sensor "
    "(kinds 95, 64) a 6 x 6 matrix and bias over its Fx ... Tz; a four-channel device with --six-axis a 6 x 6 fit "
    "over the wrench the host computes from its channels, written over the channels' x, y, z (sensor1 ... "
    "sensor4). The samples are not tared: the bias is the zero load's reading, which the tools leave out after a "
    "tare.\n\n"
    "A load is written as three numbers, FX FY FZ in N, or followed by lbf in pounds-force (a six-axis sensor also "
    "takes six: FX FY FZ TX TY TZ in N and N*m), or as a mass and a direction: \"2.5 kg -z\" (or \"500 g x\", "
    "\"5 lb -z\") is the weight m * 9.80665 N along that axis of the sensor, or as a force and a direction: \"20 N "
    "-z\", \"4.5 lbf x\". The unit may be written against the number (\"2kg -z\"); 1 lb = 0.45359237 kg, 1 lbf = "
    "4.4482216152605 N. On a six-axis sensor \"2.5 kg -z at 0.1,0,0.05\" hangs it at that point (m, in the sensor's "
    "frame), adding the torque r x F. On a four-channel device without --six-axis a load applies to every calibrated "
    "channel, or, written \"C: LOAD\", to channel C alone (one of those --channel names).\n\n"
    "Steps: at least k + 1 (4 for x, y, z; 7 for six axes), and the loads must vary along every axis "
    "independently: a set that leaves a direction out is refused, saying which (\"no load along y\"), and "
    "nothing is written. Recommended: no load, then each axis in both directions at a good fraction of full scale, "
    "then a few combinations. The report gives each axis's residual (RMS, in N or N*m: how far the fitted "
    "calibration is from the loads you gave) and the condition number of the readings (each input centred and "
    "scaled: near 1 when the loads exercise every input alike; large when some direction was barely loaded).\n\n"
    "Every step is checked against the others: the report gives its residual, and how many times larger that is "
    "than what the noise of its reading (measured while it settled) and a 1 % precision of the loads explain. A "
    "step more than 10 times beyond that, or a fit that turns the reading noise alone into more than 10 % of the "
    "loads (loads along an axis never applied), is refused with exit code 4 and nothing is written: the message "
    "names the step that disagrees and what the other steps read it as (a load typed with the wrong sign or size, "
    "or not applied), or, when the steps cannot tell which is wrong, the steps that could be. --force writes the "
    "fit all the same. With exactly as many steps as unknowns nothing can be checked (the fit meets every load), "
    "and the report says so.\n\n"
    "A reading is steady when, over the last --window seconds (0.5), the spread of every input is at most "
    "--stable-counts counts (20); it is averaged over that window. A step that does not settle within --timeout "
    "seconds (10) ends the run (on a terminal you may repeat the step).\n\n"
    "On a terminal you are prompted for each step, and shown the wait until the reading is steady; undo takes back "
    "the last step, help or ? shows the load syntax, an empty line or \"done\" ends the steps and fits. Otherwise "
    "standard input holds one load per line (blank lines and lines starting with # are skipped, undo takes back "
    "the last step); each is taken as it comes, with one line per step on standard output (\"step K: load ... "
    "reading ...\"), and the fit follows the end of input.\n\n"
    "For example, a three-axis sensor with masses of 2 kg hung along each axis in turn (the sensor turned for "
    "each), after a step without load:\n\n"
    "  brova calibrate ttyUSB0 --output sensor.json --serial A1234\n"
    "  step 1 load: 0 0 0\n"
    "  step 1: load 0.0000 0.0000 0.0000 N; reading x 2.9 y -1.2 z 30011.6\n"
    "  step 2 load: 2 kg -z\n"
    "  ... 2 kg +z, 2 kg -x, 2 kg +x, 2 kg -y, 2 kg +y, then an empty line: the fit, its report, the file.\n\n"
    "FILE is never replaced unless --force is given; it is written only after a successful fit. It holds the "
    "sensor's kind, its identification (the sensor's identification text, or else its port's name under "
    "/dev/serial/by-id, which is what lookup matches; when there is neither, the end of the report says that "
    "lookup cannot pick the file and that --calibration FILE names it), --serial and today's date, the matrices, and "
    "how they were made: the loads, the averaged readings, each step's residual, the condition number and this "
    "tool's version.\n\n";

} // namespace

int runCalibrate(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QString::fromLatin1(kDescription) + exitCodesText());
    p.addHelpOption();
    addKindOption(p);
    addConfigOptions(p);
    p.addOption({QStringLiteral("output"), QStringLiteral("The calibration file to write (required)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("force"),
                 QStringLiteral("Replace FILE if it exists, and write the fit even when its steps disagree.")});
    p.addOption({QStringLiteral("six-axis"), QStringLiteral("Calibrate a four-channel device as one six-axis sensor.")});
    p.addOption({QStringLiteral("range"),
                 QStringLiteral("The sensor's rated range, written to FILE as \"range\": X,Y,Z in N for three-axis "
                                "channels (each channel calibrated), FX,FY,FZ,TX,TY,TZ in N and N*m for a six-axis "
                                "fit. A sample over it by more than 2 % is flagged \"over range\"."),
                 QStringLiteral("VALUES")});
    p.addOption({QStringLiteral("inputs"),
                 QStringLiteral("What a three-axis channel's matrix takes: vector (x, y, z; the default) or "
                                "elements (s1 ... s4)."),
                 QStringLiteral("vector|elements")});
    p.addOption({QStringLiteral("channel"),
                 QStringLiteral("Four-channel devices: calibrate these channels only (e.g. 0,2; default all four)."),
                 QStringLiteral("LIST")});
    p.addOption({QStringLiteral("serial"), QStringLiteral("The sensor's serial number, kept in FILE."),
                 QStringLiteral("TEXT")});
    p.addOption({QStringLiteral("window"), QStringLiteral("Seconds over which a reading must be steady and is "
                                                          "averaged (0.5)."),
                 QStringLiteral("S")});
    p.addOption({QStringLiteral("stable-counts"),
                 QStringLiteral("The largest spread of an input, in counts, that counts as steady (20)."),
                 QStringLiteral("N")});
    p.addOption({QStringLiteral("timeout"), QStringLiteral("Seconds a step may take to settle (10)."),
                 QStringLiteral("S")});
    p.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("A path, a name, a link, or auto."));
    parseOrExplain(p, args);

    // Every value is checked before anything is opened.
    const QStringList ports = p.positionalArguments();
    if (ports.size() != 1)
        throw Failure(ExitUsage, QStringLiteral("%1 takes one PORT (see %1 --help)").arg(args.value(0)));
    const int kindOption = kindFromOption(p);
    const ConfigRequest want = configFromOptions(p);
    const QString output = p.value(QStringLiteral("output"));
    if (output.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("%1 needs --output FILE, the calibration file to write").arg(args.value(0)));
    const QString inputsOption = p.isSet(QStringLiteral("inputs")) ? p.value(QStringLiteral("inputs")) : QStringLiteral("vector");
    if (inputsOption != QLatin1String("vector") && inputsOption != QLatin1String("elements"))
        throw Failure(ExitUsage, QStringLiteral("--inputs %1: the inputs are vector and elements").arg(inputsOption));
    const bool elements = inputsOption == QLatin1String("elements");
    const double window = secondsOption(p, QStringLiteral("window"), 0.5);
    const double timeout = secondsOption(p, QStringLiteral("timeout"), 10.0);
    const int stableCounts = intOption(p, QStringLiteral("stable-counts"), 20);
    if (stableCounts < 0)
        throw Failure(ExitUsage, QStringLiteral("--stable-counts needs a number of counts of 0 or more"));
    const bool wrench = p.isSet(QStringLiteral("six-axis"));
    std::vector<int> channelList;
    if (p.isSet(QStringLiteral("channel"))) {
        for (const QString& c : p.value(QStringLiteral("channel")).split(',')) {
            bool ok = false;
            const int v = c.trimmed().toInt(&ok);
            if (!ok || v < 0 || v > 3)
                throw Failure(ExitUsage, QStringLiteral("--channel %1: channels are 0 ... 3").arg(p.value(QStringLiteral("channel"))));
            if (std::find(channelList.begin(), channelList.end(), v) == channelList.end())
                channelList.push_back(v);
        }
    }
    std::vector<double> range;
    if (p.isSet(QStringLiteral("range"))) {
        for (const QString& v : p.value(QStringLiteral("range")).split(',')) {
            bool ok = false;
            const double x = v.trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(x) || x <= 0)
                throw Failure(ExitUsage, QStringLiteral("--range %1: rated ranges are numbers above 0 (N, N*m)")
                                             .arg(p.value(QStringLiteral("range"))));
            range.push_back(x);
        }
    }
    const bool force = p.isSet(QStringLiteral("force"));
    const QFileInfo file(output);
    if (file.isDir())
        throw Failure(ExitFailure, QStringLiteral("%1: is a directory; --output names the file to write").arg(output));
    if (file.exists() && !force)
        throw Failure(ExitFailure, QStringLiteral("%1: exists; give --force to replace it").arg(output));
    if (!file.absoluteDir().exists())
        throw Failure(ExitFailure, QStringLiteral("%1: no such directory").arg(file.absolutePath()));

    // The kind decides what is fitted: refused before the device is opened
    // when the kind is given, after it is identified otherwise.
    const Target target = locate(ports.first(), kindOption);
    const Kind* kind = kindOf(target.kind);
    if (!kind)
        throw Failure(ExitUsage, QStringLiteral("unknown kind %1 (kinds: %2)").arg(target.kind).arg(kindList()));
    if (wrench && !kind->fourChannel)
        throw Failure(ExitUsage, QStringLiteral("--six-axis reads a four-channel device (kind 34 or 94); %1 is kind %2")
                                     .arg(target.path)
                                     .arg(kind->code));
    if (!range.empty() && range.size() != ((kind->sixAxis || wrench) ? 6u : 3u))
        throw Failure(ExitUsage, QStringLiteral("--range %1: %2 numbers expected for this fit (%3)")
                                     .arg(p.value(QStringLiteral("range")))
                                     .arg((kind->sixAxis || wrench) ? 6 : 3)
                                     .arg((kind->sixAxis || wrench) ? QStringLiteral("FX,FY,FZ in N, TX,TY,TZ in N*m")
                                                                    : QStringLiteral("X,Y,Z in N")));
    if (elements && (kind->sixAxis || wrench))
        throw Failure(ExitUsage, QStringLiteral("--inputs elements is for three-axis channels; a six-axis fit takes Fx ... Tz"));
    if (!channelList.empty() && (!kind->fourChannel || wrench))
        throw Failure(ExitUsage, QStringLiteral("--channel picks channels of a four-channel device calibrated channel by "
                                                "channel (kind 34 or 94, without --six-axis)"));

    std::vector<Unit> units;
    if (kind->sixAxis || wrench) {
        Unit u;
        u.outputs = 6;
        u.inputs = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
        units.push_back(u);
    } else {
        if (channelList.empty())
            channelList = kind->fourChannel ? std::vector<int>{0, 1, 2, 3} : std::vector<int>{0};
        size_t offset = 0;
        for (int c : channelList) {
            Unit u;
            u.channel = c;
            u.inputs = elements ? std::vector<std::string>{"s1", "s2", "s3", "s4"} : std::vector<std::string>{"x", "y", "z"};
            u.offset = offset;
            offset += u.inputs.size();
            units.push_back(u);
        }
    }
    const int outputs = units.front().outputs;
    const size_t values = units.back().offset + units.back().inputs.size();

    std::unique_ptr<BrovaDAQ> daq = openTarget(target);
    struct Closer {
        BrovaDAQ& d;
        ~Closer() { d.close(); }
    } closer{*daq};
    const SensorConfig config = applyConfig(*daq, target.path, want);
    if (elements && config.getMode() != 0)
        throw Failure(ExitDevice, QStringLiteral("%1: the device is in vector mode, which does not send its elements: "
                                                 "give --mode raw (or calibrate its x, y, z)")
                                      .arg(target.path));
    Source source(*daq, target, kind->sixAxis, wrench, units);

    const bool terminal = ::isatty(STDIN_FILENO);
    const int64_t windowNs = static_cast<int64_t>(window * 1e9);
    std::vector<Step> steps;

    // The name of a value of a sample: "z", or "channel 2 z".
    auto inputName = [&](size_t value) {
        for (const Unit& u : units)
            if (value >= u.offset && value < u.offset + u.inputs.size())
                return (u.channel < 0 ? QString() : QStringLiteral("channel %1 ").arg(u.channel)) +
                       QString::fromStdString(u.inputs[value - u.offset]);
        return QString();
    };

    // Takes step's reading: the average over the first window in which every
    // input it concerns is steady, and the uncertainty of each average. False
    // (with why) when it does not settle.
    auto capture = [&](Step& step, QString& why) {
        source.drop();  // what came before the load was applied
        std::vector<size_t> watched;
        for (const Unit& u : units)
            if (inStep(step, u))
                for (size_t i = 0; i < u.inputs.size(); ++i)
                    watched.push_back(u.offset + i);
        std::deque<Instant> recent;
        int64_t first = INT64_MIN;
        const int64_t deadline = brovatools::monotonicNow() + static_cast<int64_t>(timeout * 1e9);
        std::vector<Instant> got;
        double worst = 0;
        size_t worstInput = 0;
        // On a terminal the wait is shown, and how far the reading is from
        // steady once a window has come.
        int64_t shown = INT64_MIN;
        struct EndLine {
            bool on;
            ~EndLine()
            {
                if (on) {
                    std::printf("\r\033[K");
                    std::fflush(stdout);
                }
            }
        } endLine{terminal};
        auto showWait = [&](bool spread) {
            const int64_t now = brovatools::monotonicNow();
            if (!terminal || (shown != INT64_MIN && now - shown < 250000000))
                return;
            shown = now;
            if (spread)
                std::printf("\r\033[K  waiting for a steady reading: %s spreads %.0f counts over %g s (steady at %d "
                            "or less)",
                            local(inputName(worstInput)).constData(), worst, window, stableCounts);
            else
                std::printf("\r\033[K  waiting for a steady reading (%g s without a change of more than %d "
                            "counts) ...",
                            window, stableCounts);
            std::fflush(stdout);
        };
        showWait(false);
        for (;;) {
            if (!pause(10))
                throw Failure(exitForSignal(), QStringLiteral("interrupted; nothing written"));
            got.clear();
            source.read(got);
            for (Instant& i : got) {
                if (first == INT64_MIN)
                    first = i.stamp;
                recent.push_back(std::move(i));
            }
            while (!recent.empty() && recent.back().stamp - recent.front().stamp > windowNs)
                recent.pop_front();
            if (!recent.empty() && recent.back().stamp - first >= windowNs && recent.size() >= 2) {
                worst = 0;
                for (size_t i : watched) {
                    double lo = recent.front().values[i], hi = lo;
                    for (const Instant& r : recent) {
                        lo = std::min(lo, r.values[i]);
                        hi = std::max(hi, r.values[i]);
                    }
                    if (hi - lo >= worst) {
                        worst = hi - lo;
                        worstInput = i;
                    }
                }
                if (worst <= stableCounts) {
                    step.reading.assign(values, 0.0);
                    step.noise.assign(values, 0.0);
                    std::vector<double> samples(recent.size());
                    for (size_t i = 0; i < values; ++i) {
                        for (size_t r = 0; r < recent.size(); ++r) {
                            samples[r] = recent[r].values[i];
                            step.reading[i] += samples[r] / static_cast<double>(recent.size());
                        }
                        step.noise[i] = brovatools::averageUncertainty(samples);
                    }
                    return true;
                }
                showWait(true);
            }
            if (brovatools::monotonicNow() > deadline) {
                if (first == INT64_MIN) {
                    why = QStringLiteral("no samples came in %1 s").arg(timeout);
                } else {
                    why = QStringLiteral("the reading did not settle within %1 s: %2 spread over %3 counts in %4 s "
                                         "(--stable-counts %5)")
                              .arg(timeout)
                              .arg(inputName(worstInput))
                              .arg(worst, 0, 'f', 0)
                              .arg(window)
                              .arg(stableCounts);
                }
                return false;
            }
        }
    };

    auto stepLine = [&](size_t k, const Step& s) {
        QStringList parts;
        for (const Unit& u : units) {
            if (!inStep(s, u))
                continue;
            QStringList v;
            for (size_t i = 0; i < u.inputs.size(); ++i)
                v << QStringLiteral("%1 %2").arg(QString::fromStdString(u.inputs[i])).arg(s.reading[u.offset + i], 0, 'f', 1);
            parts << (units.size() > 1 ? QStringLiteral("ch%1 ").arg(u.channel) : QString()) + v.join(' ');
        }
        std::printf("step %zu: load %s%s reading %s\n", k, local(loadText(s.load)).constData(),
                    s.channel >= 0 ? local(QStringLiteral(" on channel %1;").arg(s.channel)).constData() : ";",
                    local(parts.join(QStringLiteral("; "))).constData());
        std::fflush(stdout);
    };

    Lines lines;
    std::string line;
    int lineNumber = 0;
    const bool channelSteps = kind->fourChannel && !wrench;
    const QString syntax =
        QStringLiteral("A load is FX FY FZ in N (or FX FY FZ lbf)%1, a mass and the axis it pulls along (2.5 kg -z; "
                       "also g and lb), or a force along an axis (20 N -z, 4.5 lbf x)%2%3. undo takes back the last "
                       "step; an empty line or done ends the steps and fits.")
            .arg(outputs == 6 ? QStringLiteral(", FX FY FZ TX TY TZ in N and N*m") : QString(),
                 outputs == 6 ? QStringLiteral("; on a six-axis sensor \"2.5 kg -z at X,Y,Z\" hangs it at that point "
                                               "(m)")
                              : QString(),
                 channelSteps ? QStringLiteral("; C: LOAD loads channel C alone") : QString());
    if (terminal)
        std::printf("For each step apply a known load, then type it. %s Type help or ? to see this again.\n",
                    local(syntax).constData());
    for (;;) {
        if (terminal) {
            std::printf("step %zu load: ", steps.size() + 1);
            std::fflush(stdout);
        }
        if (!lines.next(line, [&] { source.drop(); }))
            break;
        ++lineNumber;
        const QString text = QString::fromLocal8Bit(line.c_str()).trimmed();
        if (text == QLatin1String("done") || (terminal && text.isEmpty()))
            break;
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        if (text == QLatin1String("help") || text == QLatin1String("?")) {
            std::printf("  %s\n", local(syntax).constData());
            std::fflush(stdout);
            continue;
        }
        if (text == QLatin1String("undo")) {
            if (steps.empty()) {
                std::printf("  nothing to take back\n");
            } else {
                std::printf("step %zu taken back (%s)\n", steps.size(), steps.back().text.c_str());
                steps.pop_back();
            }
            std::fflush(stdout);
            continue;
        }
        Step step;
        step.text = local(text).toStdString();
        std::string body = step.text, error;
        const int colon = text.indexOf(':');
        bool ok = true;
        if (colon > 0) {
            const QString named = text.left(colon).trimmed();
            step.channel = named.toInt(&ok);
            body = local(text.mid(colon + 1)).toStdString();
            if (!channelSteps) {
                ok = false;
                error = "\"C: LOAD\" loads one channel of a four-channel device calibrated channel by channel (kind 34 "
                        "or 94, without --six-axis)";
            } else if (!ok || std::none_of(units.begin(), units.end(),
                                           [&](const Unit& u) { return u.channel == step.channel; })) {
                ok = false;
                QStringList calibrated;
                for (const Unit& u : units)
                    calibrated << QString::number(u.channel);
                error = "\"" + local(named).toStdString() + "\" is not a channel being calibrated (" +
                        (units.size() == 1 ? "only channel " : "channels ") +
                        local(calibrated.join(QStringLiteral(", "))).toStdString() + ")";
            }
        }
        if (ok)
            ok = brovatools::parseLoad(body, outputs, step.load, error);
        if (!ok) {
            if (!terminal)
                throw Failure(ExitUsage, QStringLiteral("line %1: %2: %3; nothing written")
                                             .arg(lineNumber)
                                             .arg(text, QString::fromLocal8Bit(error.c_str())));
            std::printf("  %s (help shows the syntax)\n", error.c_str());
            continue;
        }
        QString why;
        if (!capture(step, why)) {
            if (!terminal)
                throw Failure(ExitDevice, QStringLiteral("step %1 (%2): %3; nothing written")
                                              .arg(steps.size() + 1)
                                              .arg(text, why));
            std::printf("  %s; apply the load again and repeat the step\n", local(why).constData());
            continue;
        }
        steps.push_back(step);
        stepLine(steps.size(), steps.back());
    }

    // The fits, each over the steps that concern it.
    BrovaCalibration cal;
    const std::string date = local(QDate::currentDate().toString(Qt::ISODate)).toStdString();
    // What lookup matches: the sensor's identification text, or else its
    // port's name under /dev/serial/by-id.
    std::string identification = local(target.ident).trimmed().toStdString();
    if (identification.empty())
        identification = brovatools::byIdName(local(target.path).toStdString());
    if (!cal.setIdentity(kind->code, identification, local(p.value(QStringLiteral("serial"))).toStdString(), date))
        throw Failure(ExitFailure, QString::fromStdString(cal.error()));
    QJsonArray fitsJson;
    QStringList disagreements;
    // Per step, per unit: the residual and its ratio to what was expected.
    std::vector<QJsonObject> stepResiduals(steps.size()), stepRatios(steps.size());
    for (const Unit& u : units) {
        std::vector<std::vector<double>> readings, loads, noise;
        std::vector<size_t> stepNumbers;  // the unit's steps, as the user counts them (from 1)
        for (size_t k = 0; k < steps.size(); ++k) {
            const Step& s = steps[k];
            if (inStep(s, u)) {
                readings.emplace_back(s.reading.begin() + static_cast<std::ptrdiff_t>(u.offset),
                                      s.reading.begin() + static_cast<std::ptrdiff_t>(u.offset + u.inputs.size()));
                noise.emplace_back(s.noise.begin() + static_cast<std::ptrdiff_t>(u.offset),
                                   s.noise.begin() + static_cast<std::ptrdiff_t>(u.offset + u.inputs.size()));
                loads.push_back(s.load);
                stepNumbers.push_back(k + 1);
            }
        }
        const CalibrationFit f = brovatools::fitCalibration(readings, loads, u.inputs);
        if (!f.ok)
            throw Failure(ExitDevice, QStringLiteral("%1: the loads cannot determine the calibration: %2; nothing written")
                                          .arg(unitName(u), readings.empty() ? QStringLiteral("no steps")
                                                                               : QString::fromStdString(f.reason)));
        const std::vector<std::string> axes = brovatools::loadAxisNames(f.outputs);
        std::printf("%s: %d steps, inputs %s\n", local(unitName(u)).constData(), f.steps,
                    local(QString::fromStdString([&] {
                              std::string s;
                              for (const std::string& n : u.inputs)
                                  s += (s.empty() ? "" : " ") + n;
                              return s;
                          }()))
                        .constData());
        for (int r = 0; r < f.outputs; ++r)
            std::printf("  %-2s = %s . s %+.6g %s\n", axes[static_cast<size_t>(r)].c_str(),
                        local("[" + numbers(f.matrix, static_cast<size_t>(r * f.inputs), static_cast<size_t>(f.inputs)) + "]").constData(),
                        f.bias[static_cast<size_t>(r)], r < 3 ? "N" : "N*m");
        QStringList res;
        for (int r = 0; r < f.outputs; ++r)
            res << QStringLiteral("%1 %2").arg(QString::fromStdString(axes[static_cast<size_t>(r)]))
                       .arg(f.residualRms[static_cast<size_t>(r)], 0, 'g', 3);
        std::printf("  residual RMS (%s): %s\n", f.outputs == 6 ? "N, N*m" : "N",
                    local(res.join(QStringLiteral(", "))).constData());
        std::printf("  condition number: %s (readings centred and scaled)%s\n",
                    std::isfinite(f.condition) ? local(QString::number(f.condition, 'g', 4)).constData() : "infinite",
                    f.condition > 1000 && std::isfinite(f.condition) ? "; some direction was barely loaded" : "");
        if (!f.note.empty())
            std::printf("  note: %s\n", f.note.c_str());

        // Every step against the others.
        const brovatools::StepConsistency check = brovatools::checkSteps(readings, loads, noise);
        const QString unitsText = f.outputs == 6 ? QStringLiteral("N, N*m") : QStringLiteral("N");
        std::printf("  residual of each step (fit - load, %s), and its size against what the reading noise and a "
                    "%g %% load precision explain:\n",
                    local(unitsText).constData(), 100 * brovatools::kLoadPrecision);
        const QString unitKey = u.channel < 0 ? QStringLiteral("sixAxis") : QString::number(u.channel);
        for (size_t i = 0; i < check.steps.size(); ++i) {
            const brovatools::StepCheck& c = check.steps[i];
            std::printf("    step %zu: %s (%s)\n", stepNumbers[i],
                        local(numbers(c.residual, 0, c.residual.size(), "%.4g")).constData(),
                        c.checkable ? local(times(c.ratio)).constData()
                                    : "it alone sets a direction of the fit: a mistake in its load cannot be seen");
            stepResiduals[stepNumbers[i] - 1][unitKey] = jsonArray(c.residual);
            stepRatios[stepNumbers[i] - 1][unitKey] = c.checkable ? QJsonValue(c.ratio) : QJsonValue();
        }
        if (check.checked && check.spare == 0)
            std::printf("  note: no step to spare: as many steps as the fit has unknowns, so it meets every load "
                        "exactly and a mistake in a load cannot be seen; add steps (each axis both ways, then "
                        "combinations)\n");
        const QString disagreement = disagreementText(check, loads, stepNumbers, axes, steps);
        if (!disagreement.isEmpty()) {
            disagreements << unitName(u) + QStringLiteral(": ") + disagreement;
            std::printf("  %s\n", local(disagreement).constData());
        }

        bool set;
        if (u.channel >= 0) {
            set = cal.setChannel(u.channel, u.inputs, f.matrix, f.bias);
        } else if (wrench) {
            // The fit is over the host's wrench W = M s (s: the channels' x,
            // y, z); the file takes the channels: C M.
            const std::vector<double>& M = source.wrenchMatrix();
            std::vector<double> cm(72, 0.0);
            for (int r = 0; r < 6; ++r)
                for (int c = 0; c < 12; ++c)
                    for (int j = 0; j < 6; ++j)
                        cm[static_cast<size_t>(r * 12 + c)] += f.matrix[static_cast<size_t>(r * 6 + j)] * M[static_cast<size_t>(j * 12 + c)];
            std::vector<std::string> names;
            for (int n = 1; n <= 4; ++n)
                for (const char* axis : {"x", "y", "z"})
                    names.push_back("sensor" + std::to_string(n) + "." + axis);
            set = cal.setSixAxis(names, cm, f.bias);
        } else {
            set = cal.setSixAxis(u.inputs, f.matrix, f.bias);
        }
        if (set && !range.empty())
            set = cal.setRange(u.channel >= 0 ? u.channel : -1, range);
        if (!set)
            throw Failure(ExitFailure, QString::fromStdString(cal.error()));

        QJsonObject fj;
        fj[QStringLiteral("fit")] = u.channel < 0 ? QJsonValue(QStringLiteral("sixAxis")) : QJsonValue(u.channel);
        fj[QStringLiteral("inputs")] = jsonArray(u.inputs);
        fj[QStringLiteral("steps")] = f.steps;
        fj[QStringLiteral("residualRms")] = jsonArray(f.residualRms);
        fj[QStringLiteral("residualMax")] = jsonArray(f.residualMax);
        fj[QStringLiteral("conditionNumber")] = std::isfinite(f.condition) ? QJsonValue(f.condition) : QJsonValue();
        fj[QStringLiteral("rank")] = f.rank;
        if (check.checked)
            fj[QStringLiteral("spareSteps")] = check.spare;
        if (!disagreement.isEmpty())
            fj[QStringLiteral("disagreement")] = disagreement;
        fitsJson.append(fj);
    }
    if (!disagreements.isEmpty() && !force)
        throw Failure(ExitDevice, disagreements.join(QStringLiteral("; ")) +
                                      QStringLiteral("; nothing written (--force writes the fit all the same)"));

    QJsonArray stepsJson;
    for (const Step& s : steps) {
        QJsonObject sj;
        sj[QStringLiteral("given")] = QString::fromLocal8Bit(s.text.c_str());
        sj[QStringLiteral("load")] = jsonArray(s.load);
        if (s.channel >= 0)
            sj[QStringLiteral("channel")] = s.channel;
        QJsonObject readings;
        for (const Unit& u : units)
            if (inStep(s, u))
                readings[u.channel < 0 ? QStringLiteral("sixAxis") : QString::number(u.channel)] =
                    jsonArray(std::vector<double>(s.reading.begin() + static_cast<std::ptrdiff_t>(u.offset),
                                                  s.reading.begin() + static_cast<std::ptrdiff_t>(u.offset + u.inputs.size())));
        sj[QStringLiteral("readings")] = readings;
        sj[QStringLiteral("residuals")] = stepResiduals[static_cast<size_t>(stepsJson.size())];
        sj[QStringLiteral("residualRatio")] = stepRatios[static_cast<size_t>(stepsJson.size())];
        stepsJson.append(sj);
    }
    QJsonObject provenance;
    provenance[QStringLiteral("tool")] = QStringLiteral("brova calibrate %1").arg(QStringLiteral(BRV_VERSION));
    provenance[QStringLiteral("made")] = QDateTime::currentDateTime().toString(Qt::ISODate);
    provenance[QStringLiteral("port")] = target.path;
    provenance[QStringLiteral("loadUnits")] = QStringLiteral("N, N*m");
    provenance[QStringLiteral("readingUnits")] = QStringLiteral("counts, untared, averaged over the window");
    provenance[QStringLiteral("windowSeconds")] = window;
    provenance[QStringLiteral("stableCounts")] = stableCounts;
    provenance[QStringLiteral("rate")] = config.getSpeed();
    provenance[QStringLiteral("steps")] = stepsJson;
    provenance[QStringLiteral("fits")] = fitsJson;
    if (wrench)
        provenance[QStringLiteral("readingsAre")] = QStringLiteral("the host's wrench of the four channels (Fx ... Tz counts)");
    if (!cal.setProvenance(QJsonDocument(provenance).toJson(QJsonDocument::Compact).toStdString()))
        throw Failure(ExitFailure, QString::fromStdString(cal.error()));

    if (!force && QFileInfo::exists(output))
        throw Failure(ExitFailure, QStringLiteral("%1: appeared while calibrating; give --force to replace it; nothing "
                                                  "written")
                                       .arg(output));
    if (!cal.save(local(output).toStdString()))
        throw Failure(ExitFailure, QString::fromLocal8Bit(cal.error().c_str()));
    std::printf("written to %s\n", local(output).constData());
    if (!disagreements.isEmpty())
        std::printf("note: written with steps that disagree (--force)\n");
    if (identification.empty())
        std::printf("note: lookup cannot pick this file: the sensor reports no identification and %s has no name "
                    "under /dev/serial/by-id, so the file is for any sensor of kind %d; give it with "
                    "--calibration %s\n",
                    local(target.path).constData(), kind->code, local(output).constData());
    return ExitOk;
}

} // namespace brovacli
