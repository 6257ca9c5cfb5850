// brova: the sensors on the desk, from the command line: list them, look at
// one, configure it, stream or record its samples, capture its raw traffic.
#include <QCoreApplication>
#include <QStringList>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "brovaports.h"
#include "cli.h"
#include "commands.h"
#include "record.h"

namespace {

const char kHelp[] =
    "Usage: brova <command> [options] [PORT ...]\n"
    "Finds, checks, configures, streams and records force sensors (three-axis sensors, four-channel\n"
    "boxes, six-axis force/torque sensors) on USB serial ports.\n"
    "\n"
    "Commands:\n"
    "  list [--all] [--watch] [--json]   the sensors present; --watch follows plugs and unplugs\n"
    "  info PORT                         kind, protocol version, channels, rate, filter, mode,\n"
    "                                    state and identification of one sensor, and its rate\n"
    "                                    as estimated from its samples (said when 1 % off)\n"
    "  info FILE.mcap                    the topics, messages, time span, devices and\n"
    "                                    calibrations of a recording, checked\n"
    "  config PORT --rate HZ --filter HZ --mode raw|vector\n"
    "                                    send a configuration and report what the device confirms\n"
    "  stream PORT [PORT ...]            samples as they arrive, as CSV or JSON lines, or into\n"
    "                                    a recording (--output FILE.mcap)\n"
    "  record PORT [PORT ...] -o FILE.mcap\n"
    "                                    a recording in MCAP (ros2 bag's format): the topics\n"
    "                                    brova publish would publish, and the raw samples\n"
    "  capture PORT FILE --duration S    record the raw bytes a sensor sends, for a bug report\n"
    "                                    or for brova-sim --replay\n"
    "  publish PORT [PORT ...]           samples as ROS 2 topics over DDS (package brova-dds)\n"
    "  listen [--namespace NS]           print the wrench topics under NS (package brova-dds)\n"
    "  calibrate PORT --output FILE      guided calibration with known loads: fits the matrix and\n"
    "                                    bias from counts to N (N*m) and writes a calibration file\n"
    "\n"
    "PORT is a path (/dev/ttyUSB0), a name (ttyUSB0), a link such as /dev/serial/by-id/... or auto\n"
    "(the first sensor discovery finds). The kind comes from discovery; --kind K gives it for a port\n"
    "that discovery cannot see (one without USB identity, such as the simulator's).\n"
    "`brova <command> --help` describes each command and its options.\n"
    "\n";

// The whole help: the commands, then the exit codes that every command uses.
void printHelp(std::FILE* to)
{
    std::fputs(kHelp, to);
    std::fprintf(to, "%s\n", brovacli::wrapped(brovacli::exitCodesText()).toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brova"));
    const QStringList args = app.arguments();
    const QString command = args.value(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
        printHelp(stdout);
        return brovacli::ExitOk;
    }
    if (command == QLatin1String("--version")) {
        std::printf("brova %s\n", BRV_VERSION);
        return brovacli::ExitOk;
    }
    // publish and listen are programs of their own (brova-publish,
    // brova-listen, in the package brova-dds), run from beside brova.
    if (command == QLatin1String("publish") || command == QLatin1String("listen")) {
        const QByteArray program =
            (QCoreApplication::applicationDirPath() + QStringLiteral("/brova-") + command).toLocal8Bit();
        argv[1] = const_cast<char*>(program.constData());
        execv(program.constData(), argv + 1);
        std::fprintf(stderr, "brova: %s: cannot run %s: %s (it comes with the package brova-dds)\n",
                     command.toLocal8Bit().constData(), program.constData(), std::strerror(errno));
        return brovacli::ExitFailure;
    }
    using Run = int (*)(const QStringList&);
    const struct {
        const char* name;
        Run run;
    } commands[] = {{"list", brovacli::runList},     {"info", brovacli::runInfo},
                    {"config", brovacli::runConfig}, {"stream", brovacli::runStream},
                    {"capture", brovacli::runCapture}, {"calibrate", brovacli::runCalibrate},
                    {"record", brovacli::runRecord}};
    for (const auto& c : commands) {
        if (command != QLatin1String(c.name))
            continue;
        brovacli::catchSignals();
        QStringList sub = args.mid(2);
        sub.prepend(QStringLiteral("brova ") + command);
        try {
            return c.run(sub);
        } catch (const brovacli::Failure& f) {
            std::fprintf(stderr, "brova: %s\n", f.what());
            return f.code;
        }
    }
    std::fprintf(stderr, "%s%s\n", command.isEmpty() ? "brova: a command is needed" : "brova: unknown command ",
                 command.toLocal8Bit().constData());
    printHelp(stderr);
    return brovacli::ExitUsage;
}
