// brova-scope: a live view of force sensors. See scopewindow.h.
#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "calibrationlookup.h"
#include "kinds.h"
#include "lowpass.h"
#include "scopewindow.h"
#include "session.h"

namespace {

// SIGTERM and SIGINT end the program as closing its window does: the handler
// only writes a byte to a socket, which the event loop reads to quit, so that
// every destructor runs (the simulated sensor's link is removed, a recording
// is finished).
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
}

bool quitOnSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

// Qt's own options of a window program (taken by QApplication, which is made
// only after the program's options are read): the ones that take a value.
bool isQtOptionWithValue(const QString& a)
{
    static const QStringList withValue = {
        QStringLiteral("-platform"), QStringLiteral("-platformpluginpath"), QStringLiteral("-platformtheme"),
        QStringLiteral("-plugin"), QStringLiteral("-qwindowgeometry"), QStringLiteral("-qwindowicon"),
        QStringLiteral("-qwindowtitle"), QStringLiteral("-display"), QStringLiteral("-geometry"),
        QStringLiteral("-style"), QStringLiteral("-stylesheet"), QStringLiteral("-session"), QStringLiteral("-title")};
    return withValue.contains(a);
}

bool isQtFlag(const QString& a)
{
    static const QStringList flags = {QStringLiteral("-reverse"), QStringLiteral("-nograb"), QStringLiteral("-dograb"),
                                      QStringLiteral("-sync"), QStringLiteral("-widgetcount")};
    return flags.contains(a);
}

} // namespace

int main(int argc, char** argv)
{
    QString port;
    int kind = 0, simulate = 0;
    bool sixAxis = false, platformGiven = false;
    std::shared_ptr<const brovatools::CalibrationFile> calibration;
    bool noCalibration = false, forceCalibration = false;
    double lowPass = 0;
    int lowPassOrder = brovatools::LowPass::kDefaultOrder;
    {
        // The options are read (and --help, --version answered) without a
        // display: a window program's QApplication cannot be made without one.
        QCoreApplication reader(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("brova-scope"));
        QCoreApplication::setApplicationVersion(QStringLiteral(BRV_VERSION));
        QCommandLineParser p;
        p.setApplicationDescription(QStringLiteral(
            "A live view of force sensors: the sensors present, live plots of their forces (in N and N·m with a "
            "calibration file, with a switch to raw counts; in counts without one), tare, rate, filter and mode, "
            "recording to CSV as brova stream writes it. A sensor's calibration file is looked up by its kind and "
            "identification in $XDG_CONFIG_HOME/brova/calibration, then /etc/brova/calibration."));
        const QCommandLineOption help = p.addHelpOption();
        const QCommandLineOption version = p.addVersionOption();
        p.addOption({QStringLiteral("port"),
                     QStringLiteral("Open the sensor on PORT at start (as --kind, or as what it identifies as)."),
                     QStringLiteral("PORT")});
        p.addOption({QStringLiteral("kind"), QStringLiteral("The kind of --port's sensor: 31, 34, 64, 68, 94 or 95."),
                     QStringLiteral("K")});
        p.addOption({QStringLiteral("six-axis"), QStringLiteral("Show a four-channel device as one six-axis sensor.")});
        p.addOption({QStringLiteral("calibration"),
                     QStringLiteral("Apply the calibration in FILE to the sensors it was made for (instead of "
                                    "looking one up)."),
                     QStringLiteral("FILE")});
        p.addOption({QStringLiteral("no-calibration"), QStringLiteral("Values in counts only: no calibration.")});
        p.addOption({QStringLiteral("force-calibration"),
                     QStringLiteral("Apply --calibration's file to any sensor, even one of another kind or "
                                    "identification.")});
        p.addOption({QStringLiteral("simulate"),
                     QStringLiteral("Start a simulated sensor of kind K (31, 34, 64, 68, 94, 95) and open it."),
                     QStringLiteral("K")});
        p.addOption({QStringLiteral("lowpass"),
                     QStringLiteral("Plot the values low-pass filtered instead of raw: a Butterworth filter with its "
                                    "cut-off at HZ (below half the sample rate), per trace, designed for the device's "
                                    "configured rate, started afresh after a gap or a reopen; the status bar gives its "
                                    "group delay. Recordings keep the raw samples."),
                     QStringLiteral("HZ")});
        p.addOption({QStringLiteral("lowpass-order"),
                     QStringLiteral("The low-pass filter's order, 1 ... 8 (default 2)."), QStringLiteral("N")});
        QStringList args;
        const QStringList all = QCoreApplication::arguments();
        for (int i = 0; i < all.size(); ++i) {
            if (i > 0 && isQtOptionWithValue(all[i])) {
                platformGiven = platformGiven || all[i] == QLatin1String("-platform");
                ++i;
            }
            else if (i == 0 || !isQtFlag(all[i]))
                args << all[i];
        }
        if (!p.parse(args)) {
            std::fprintf(stderr, "brova-scope: %s (see brova-scope --help)\n", qPrintable(p.errorText()));
            return 2;
        }
        if (p.isSet(help)) {
            std::fputs(qPrintable(p.helpText()), stdout);
            return 0;
        }
        if (p.isSet(version)) {
            std::printf("brova-scope %s\n", BRV_VERSION);
            return 0;
        }
        if (!p.positionalArguments().isEmpty()) {
            std::fprintf(stderr, "brova-scope: %s: unexpected argument (see brova-scope --help)\n",
                         qPrintable(p.positionalArguments().first()));
            return 2;
        }
        bool number = true;
        const auto kindOption = [&](const char* name) {
            bool ok = true;
            const int k = p.isSet(QLatin1String(name)) ? p.value(QLatin1String(name)).toInt(&ok) : 0;
            if (p.isSet(QLatin1String(name)) && (!ok || !brovatools::kindOf(k)))
                number = false;
            return k;
        };
        kind = kindOption("kind");
        simulate = kindOption("simulate");
        if (!number) {
            std::fprintf(stderr, "brova-scope: a kind is one of %s\n", brovatools::kindCodes().c_str());
            return 2;
        }
        if (kind && !p.isSet(QStringLiteral("port"))) {
            std::fputs("brova-scope: --kind is the kind of --port's sensor: give --port too\n", stderr);
            return 2;
        }
        if (p.isSet(QStringLiteral("lowpass-order")) && !p.isSet(QStringLiteral("lowpass"))) {
            std::fputs("brova-scope: --lowpass-order needs --lowpass HZ\n", stderr);
            return 2;
        }
        if (p.isSet(QStringLiteral("lowpass"))) {
            // Refused before any window or sensor: a cut-off that is not a
            // number above 0 Hz and below half the highest rate (1000 per
            // second), or an order outside 1 ... 8.
            bool ok = false;
            lowPass = p.value(QStringLiteral("lowpass")).toDouble(&ok);
            if (!ok)
                lowPass = std::nan("");
            if (p.isSet(QStringLiteral("lowpass-order"))) {
                lowPassOrder = p.value(QStringLiteral("lowpass-order")).toInt(&ok);
                if (!ok)
                    lowPassOrder = 0;
            }
            const std::string why = brovatools::LowPass::check(lowPass, lowPassOrder, 1000);
            if (!why.empty()) {
                std::fprintf(stderr, "brova-scope: --lowpass %s: %s\n", qPrintable(p.value(QStringLiteral("lowpass"))),
                             why.c_str());
                return 2;
            }
        }
        port = p.value(QStringLiteral("port"));
        sixAxis = p.isSet(QStringLiteral("six-axis"));
        noCalibration = p.isSet(QStringLiteral("no-calibration"));
        forceCalibration = p.isSet(QStringLiteral("force-calibration"));
        if (noCalibration && p.isSet(QStringLiteral("calibration"))) {
            std::fputs("brova-scope: --calibration and --no-calibration exclude each other\n", stderr);
            return 2;
        }
        if (forceCalibration && !p.isSet(QStringLiteral("calibration"))) {
            std::fputs("brova-scope: --force-calibration applies the file --calibration names: give --calibration "
                       "FILE\n",
                       stderr);
            return 2;
        }
        if (p.isSet(QStringLiteral("calibration"))) {
            // Read and checked before any window or sensor.
            auto file = std::make_shared<brovatools::CalibrationFile>();
            std::string error;
            if (!brovatools::readCalibration(p.value(QStringLiteral("calibration")).toLocal8Bit().toStdString(), *file,
                                             error)) {
                std::fprintf(stderr, "brova-scope: %s\n", error.c_str());
                return 1;
            }
            calibration = file;
        }
    }

    if (!platformGiven && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("brova-scope: no display to show the window on (DISPLAY is not set)\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brova-scope"));
    QApplication::setApplicationVersion(QStringLiteral(BRV_VERSION));
    const bool quitsOnSignals = quitOnSignals();
    brovascope::ScopeWindow window;
    std::unique_ptr<QSocketNotifier> quitter;
    if (quitsOnSignals) {
        quitter = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
        QObject::connect(quitter.get(), &QSocketNotifier::activated, &app, [&window] {
            char byte;
            [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &byte, 1);
            window.session().markInterrupted();
            QApplication::quit();
        });
    }
    window.setCalibrationOptions(calibration, noCalibration, forceCalibration);
    window.session().setLowPass(lowPass, lowPassOrder);
    window.show();
    window.setSixAxisView(sixAxis);
    if (!port.isEmpty())
        window.openSensor(port, kind, sixAxis);
    else if (simulate)
        window.simulate(simulate);
    return app.exec();
}
