#include "cli.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "brovaports.h"
#include "identify.h"
#include "portcheck.h"

namespace brovacli {

namespace {

void onSignal(int signal)
{
    interruptedBy = signal;
}

// Discovery has found none yet: how long it may take to identify a port
// (a first scan, then up to about 1.1 s of probing each new port).
constexpr int kDiscoveryMs = 5000;
constexpr int kConfirmMs = 2000;

QByteArray local(const QString& s)
{
    return s.toLocal8Bit();
}


// Can the port be opened? Says why not, as the system says it.
void checkOpenable(const QString& path)
{
    std::string why;
    if (brovatools::checkPort(local(path).toStdString(), why) != brovatools::PortProblem::None)
        throw Failure(ExitPort, QString::fromLocal8Bit(why.c_str()));
}

} // namespace

volatile std::sig_atomic_t interruptedBy = 0;

QString kindList()
{
    return QString::fromStdString(brovatools::kindCodes());
}

bool validRate(int hz)
{
    return hz == 1000 || hz == 333 || hz == 100 || hz == 30;
}

bool validFilter(int hz)
{
    return hz == 0 || hz == 150 || hz == 50 || hz == 15;
}

QString stateText(int state)
{
    return state == 5 ? QStringLiteral("5 (normal)") : QStringLiteral("%1 (a condition the device signals)").arg(state);
}

void catchSignals()
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    // A write to a blocked output (a pipe whose reader is slow) goes on after
    // the signal instead of failing with EINTR; the run then ends as the
    // signal asks.
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int exitForSignal()
{
    return interruptedBy == SIGTERM ? ExitTerminated : ExitInterrupted;
}

int commandMain(int argc, char** argv, const QString& command, int (*run)(const QStringList&))
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brova"));
    QStringList args = app.arguments().mid(1);
    if (args == QStringList{QStringLiteral("--version")}) {
        std::printf("%s %s\n", argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName().toLocal8Bit().constData() : "brova",
                    BRV_VERSION);
        return ExitOk;
    }
    args.prepend(command);
    std::signal(SIGPIPE, SIG_IGN);
    catchSignals();
    try {
        return run(args);
    } catch (const Failure& f) {
        std::fprintf(stderr, "brova: %s\n", f.what());
        return f.code;
    }
}

bool pause(int ms)
{
    for (int slept = 0; slept < ms; slept += 10) {
        if (interruptedBy)
            return false;
        QThread::msleep(static_cast<unsigned long>(std::min(10, ms - slept)));
    }
    return !interruptedBy;
}

Target locate(const QString& port, int kindOption)
{
    Target t;
    t.kind = kindOption;
    if (port == QLatin1String("auto")) {
        BrovaPorts ports(0, 1000000);
        const BPort* table = ports.listPorts(false);
        if (ports.getLastSize() == 0)
            throw Failure(ExitPort, QStringLiteral("auto: discovery found no sensor (brova list shows what it sees)"));
        t.path = QString::fromLocal8Bit(brovatools::portPath(table[0].portName).c_str());
        if (!kindOption)
            t.kind = std::atoi(table[0].deviceName);
        t.ident = QString::fromLocal8Bit(table[0].deviceId);
        checkOpenable(t.path);
        return t;
    }

    QString path = port.contains('/') ? port : QStringLiteral("/dev/") + port;
    const QFileInfo info(path);
    if (!info.exists())
        throw Failure(ExitPort, QStringLiteral("%1: no such port").arg(path));
    if (info.isSymLink())
        path = info.canonicalFilePath();  // e.g. /dev/serial/by-id/... to /dev/ttyUSB0
    if (local(path).size() >= static_cast<int>(BPort::textSize))
        throw Failure(ExitPort, QStringLiteral("%1: the library names ports in at most 24 bytes; give the device node "
                                               "itself or a shorter link to it")
                                    .arg(path));
    checkOpenable(path);
    t.path = path;
    // A stream kind names itself in every frame (the open checks it); a
    // framed kind does not, so a given framed kind is confirmed by the
    // device's identification first.
    if (kindOption && !brovatools::needsIdentification(kindOption))
        return t;

    // Confirming a kind asks one port that is there: its probe takes about
    // one second at most; finding a kind may wait for discovery's first scan.
    const brovatools::Identity id = brovatools::identifyPort(local(path).toStdString(),
                                                             kindOption ? kConfirmMs : kDiscoveryMs,
                                                             [] { return interruptedBy != 0; });
    if (interruptedBy)
        throw Failure(exitForSignal(), QStringLiteral("interrupted"));
    if (kindOption) {
        if (id.kind && id.kind != kindOption) {
            const Kind* other = kindOf(id.kind);
            throw Failure(ExitDevice, QStringLiteral("%1: another kind answered: the device identifies itself as kind "
                                                     "%2%3, not as kind %4")
                                          .arg(path)
                                          .arg(id.kind)
                                          .arg(other ? QStringLiteral(" (%1)").arg(QString::fromLatin1(other->what))
                                                     : QString())
                                          .arg(kindOption));
        }
        t.ident = QString::fromLocal8Bit(id.text.c_str());
        return t;  // nothing identified: the open's handshake tells
    }
    if (kindOf(id.kind)) {
        t.kind = id.kind;
        t.ident = QString::fromLocal8Bit(id.text.c_str());
        return t;
    }
    throw Failure(ExitDevice, QStringLiteral("%1: no sensor identified there: it neither streamed frames nor answered "
                                             "the identification request. Give --kind K (%2) to open it as kind K")
                                  .arg(path, kindList()));
}

std::unique_ptr<BrovaDAQ> openTarget(const Target& t)
{
    const Kind* kind = kindOf(t.kind);
    if (!kind)
        throw Failure(ExitUsage, QStringLiteral("unknown kind %1 (kinds: %2)").arg(t.kind).arg(kindList()));
    BPort port;
    BPort::setText(port.portName, local(t.path).constData());
    BPort::setText(port.deviceName, kind->text);
    auto daq = std::make_unique<BrovaDAQ>();
    if (!daq->open(port, true, 1000000)) {
        if (kind->version >= BROVA_FRAMED_3AXIS)
            throw Failure(ExitDevice, QStringLiteral("%1: the device did not answer the configuration handshake of a "
                                                     "kind-%2 sensor (%3)")
                                          .arg(t.path)
                                          .arg(kind->code)
                                          .arg(QString::fromLatin1(kind->what)));
        throw Failure(ExitDevice, QStringLiteral("%1: nothing answered: no frame with a good checksum within 1 s "
                                                 "(is a kind-%2 sensor there?)")
                                      .arg(t.path)
                                      .arg(kind->code));
    }
    const brova_version v = daq->getVersion();
    if (v != kind->version) {
        daq->close();
        const Kind* other = kindOfVersion(v);
        if (other)
            throw Failure(ExitDevice, QStringLiteral("%1: the device answered as kind %2 (%3), not as kind %4")
                                          .arg(t.path)
                                          .arg(other->code)
                                          .arg(QString::fromLatin1(other->what))
                                          .arg(kind->code));
        throw Failure(ExitDevice, QStringLiteral("%1: the device answered with framed-protocol frames, not as a kind-%2 "
                                                 "stream sensor (its kind is one of 31, 34, 64)")
                                      .arg(t.path)
                                      .arg(kind->code));
    }
    return daq;
}

int intOption(const QCommandLineParser& p, const QString& name, int fallback)
{
    if (!p.isSet(name))
        return fallback;
    bool ok = false;
    const int v = p.value(name).toInt(&ok, 10);
    if (!ok)
        throw Failure(ExitUsage, QStringLiteral("--%1 needs a whole number, not \"%2\"").arg(name, p.value(name)));
    return v;
}

double secondsOption(const QCommandLineParser& p, const QString& name, double fallback)
{
    if (!p.isSet(name))
        return fallback;
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    // NaN compares false with everything and would pass "<= 0"; an infinite
    // time is no limit, which leaving the option out already says.
    if (!ok || !std::isfinite(v) || v <= 0)
        throw Failure(ExitUsage, QStringLiteral("--%1 needs a number of seconds above 0, not \"%2\"").arg(name, p.value(name)));
    return v;
}

QString wrapped(const QString& text)
{
    QStringList out;
    for (const QString& paragraph : text.split('\n')) {
        QString line;
        for (const QString& word : paragraph.split(' ', Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > 79) {
                out << line;
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        out << line;
    }
    return out.join('\n');
}

void parseOrExplain(QCommandLineParser& p, const QStringList& args)
{
    p.setApplicationDescription(wrapped(p.applicationDescription()));
    if (!p.parse(args))
        throw Failure(ExitUsage, p.errorText() + QStringLiteral(" (see %1 --help)").arg(args.value(0)));
    if (p.isSet(QStringLiteral("help"))) {
        // Qt names the program by its path; name it as the user typed it.
        QString text = p.helpText();
        const int end = text.indexOf(QLatin1String(" [options]"));
        if (text.startsWith(QLatin1String("Usage: ")) && end > 0)
            text.replace(7, end - 7, args.value(0));
        std::fputs(local(text).constData(), stdout);
        std::exit(ExitOk);
    }
}

void addKindOption(QCommandLineParser& p, bool severalPorts)
{
    p.addOption({QStringLiteral("kind"),
                 QStringLiteral("The sensor's kind code (%1), when discovery cannot tell it: a port without USB "
                                "identity such as the simulator's. A stream kind is checked by its frames, a framed "
                                "kind (31, 34, 64) by the device's identification: another kind answering is "
                                "refused.%2")
                     .arg(kindList(), severalPorts ? QStringLiteral(" With several ports, give it once for every port "
                                                                    "or once per PORT, in the ports' order.")
                                                   : QString()),
                 QStringLiteral("K")});
}

namespace {

int kindValue(const QString& text)
{
    bool ok = false;
    const int k = text.toInt(&ok, 10);
    if (!ok)
        throw Failure(ExitUsage, QStringLiteral("--kind needs a whole number, not \"%1\"").arg(text));
    if (!kindOf(k))
        throw Failure(ExitUsage, QStringLiteral("--kind %1 is not a sensor kind (kinds: %2)").arg(k).arg(kindList()));
    return k;
}

} // namespace

int kindFromOption(const QCommandLineParser& p)
{
    const QStringList given = p.values(QStringLiteral("kind"));
    if (given.size() > 1)
        throw Failure(ExitUsage, QStringLiteral("--kind is given %1 times for one port").arg(given.size()));
    return given.isEmpty() ? 0 : kindValue(given.first());
}

std::vector<int> kindsFromOption(const QCommandLineParser& p, int ports)
{
    const QStringList given = p.values(QStringLiteral("kind"));
    if (given.size() > 1 && given.size() != ports)
        throw Failure(ExitUsage, QStringLiteral("--kind is given %1 times for %2 port%3: give it once for every port, "
                                                "or once per PORT in the ports' order")
                                     .arg(given.size())
                                     .arg(ports)
                                     .arg(ports > 1 ? QStringLiteral("s") : QString()));
    std::vector<int> kinds;
    for (int i = 0; i < ports; ++i)
        kinds.push_back(given.isEmpty() ? 0 : kindValue(given.at(given.size() == 1 ? 0 : i)));
    return kinds;
}

void addCalibrationOptions(QCommandLineParser& p, bool severalPorts)
{
    p.addOption({QStringLiteral("calibration"),
                 QStringLiteral("Apply the calibration in FILE (values in N and N*m beside the counts)%1. Without "
                                "it, the sensor's file is looked up by its kind and identification in "
                                "$XDG_CONFIG_HOME/brova/calibration, then /etc/brova/calibration.")
                     .arg(severalPorts ? QStringLiteral("; with several ports, give it once per PORT, in the "
                                                        "ports' order")
                                       : QString()),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("no-calibration"), QStringLiteral("Values in counts only: no calibration is applied "
                                                                  "or looked up.")});
    p.addOption({QStringLiteral("force-calibration"),
                 QStringLiteral("Apply --calibration's file even when it was made for another kind or "
                                "identification.")});
}

CalibrationOptions calibrationFromOptions(const QCommandLineParser& p, int ports)
{
    CalibrationOptions o;
    o.none = p.isSet(QStringLiteral("no-calibration"));
    o.force = p.isSet(QStringLiteral("force-calibration"));
    const QStringList files = p.values(QStringLiteral("calibration"));
    if (o.none && !files.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("--calibration and --no-calibration exclude each other"));
    if (o.force && files.isEmpty())
        throw Failure(ExitUsage, QStringLiteral("--force-calibration applies the file --calibration names: give "
                                                "--calibration FILE"));
    if (!files.isEmpty() && files.size() != 1 && files.size() != ports)
        throw Failure(ExitUsage, QStringLiteral("--calibration is given %1 times for %2 ports: give it once per PORT, "
                                                "in the ports' order")
                                     .arg(files.size())
                                     .arg(ports));
    if (files.size() == 1 && ports > 1)
        throw Failure(ExitUsage, QStringLiteral("--calibration names one sensor's file: with %1 ports give it once per "
                                                "PORT, in the ports' order")
                                     .arg(ports));
    for (const QString& f : files) {
        if (f.isEmpty())
            throw Failure(ExitUsage, QStringLiteral("--calibration needs a file name"));
        auto file = std::make_shared<brovatools::CalibrationFile>();
        std::string error;
        if (!brovatools::readCalibration(local(f).toStdString(), *file, error))
            throw Failure(ExitFailure, QString::fromLocal8Bit(error.c_str()));
        o.named.push_back(file);
    }
    return o;
}

brovatools::CalibrationChoice calibrationFor(const CalibrationOptions& o, int index, const Target& t,
                                             bool sixAxisRead, bool eitherView)
{
    const Kind* kind = kindOf(t.kind);
    brovatools::SensorIdentity id;
    id.kind = t.kind;
    id.identification = local(t.ident).toStdString();
    id.byId = brovatools::byIdName(local(t.path).toStdString());
    id.sixAxisRead = sixAxisRead || (kind && kind->sixAxis);
    id.channels = kind && kind->fourChannel ? 4 : 1;
    id.eitherView = eitherView;
    const std::shared_ptr<const brovatools::CalibrationFile> named =
        index >= 0 && index < static_cast<int>(o.named.size()) ? o.named[static_cast<size_t>(index)] : nullptr;
    brovatools::CalibrationChoice c = brovatools::chooseCalibration(named, o.none, o.force, id);
    for (const std::string& skipped : c.skipped)
        std::fprintf(stderr, "brova: calibration skipped: %s\n", skipped.c_str());
    for (const std::string& unmatched : c.unmatched)
        std::fprintf(stderr, "brova: calibration not picked: %s\n", unmatched.c_str());
    if (!c.refused.empty())
        throw Failure(ExitDevice, QStringLiteral("%1: %2").arg(t.path, QString::fromLocal8Bit(c.refused.c_str())));
    return c;
}

QString exitCodesText()
{
    return QStringLiteral("Exit codes: 0 success; 1 any other failure (such as an output file that cannot be "
                          "written, or a calibration file that cannot be read or is not valid); 2 a bad option or "
                          "value; 3 a port error (no such port, permission denied, port busy); 4 a device error "
                          "(nothing answered, another kind answered, a configuration not confirmed, the device lost, "
                          "a calibration file made for another sensor); 130 interrupted by Ctrl-C; 143 ended by "
                          "SIGTERM.");
}

} // namespace brovacli
