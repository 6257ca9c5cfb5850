// brova list: the sensors present, once or as they come and go.
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <string>
#include <vector>

#include "brovaports.h"
#include "cli.h"
#include "commands.h"
#include "portcheck.h"
#include "samplerows.h"

namespace brovacli {

namespace {

struct Found {
    std::string port, kind, id;
};

Found foundOf(const BPort& r)
{
    return {brovatools::portPath(r.portName), r.deviceName, r.deviceId};
}

void printTable(const std::vector<Found>& all, bool json)
{
    if (json) {
        std::string s = "[";
        for (const Found& f : all)
            s += std::string(s.size() > 1 ? ",\n " : "") + "{\"port\": " + brovatools::jsonString(f.port) +
                 ", \"kind\": " + brovatools::jsonString(f.kind) + ", \"id\": " + brovatools::jsonString(f.id) + "}";
        std::printf("%s]\n", s.c_str());
        return;
    }
    for (const Found& f : all)
        std::printf("%-24s  %-8s  %s\n", f.port.c_str(), f.kind.c_str(), f.id.c_str());
}

// ISO 8601 with milliseconds and the offset from UTC, always as +HH:MM
// (2026-12-08T11:37:52.123+00:00), so that a time stands on its own.
std::string isoWithOffset(const QDateTime& t)
{
    const int offset = t.offsetFromUtc() / 60;
    const int minutes = offset < 0 ? -offset : offset;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toStdString() +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? '-' : '+')
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'))
               .toStdString();
}

void printEvent(const char* event, const Found& f, bool json)
{
    const QDateTime now = QDateTime::currentDateTime();
    if (json)
        std::printf("{\"time\": %s, \"event\": \"%s\", \"port\": %s, \"kind\": %s, \"id\": %s}\n",
                    brovatools::jsonString(isoWithOffset(now)).c_str(), event,
                    brovatools::jsonString(f.port).c_str(), brovatools::jsonString(f.kind).c_str(),
                    brovatools::jsonString(f.id).c_str());
    else
        std::printf("%s  %-9s  %-24s  %-8s  %s\n", now.toString(QStringLiteral("HH:mm:ss.zzz")).toLocal8Bit().constData(),
                    event, f.port.c_str(), f.kind.c_str(), f.id.c_str());
    std::fflush(stdout);
}

} // namespace

int runList(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Lists the sensors present: port, kind and identification text. Discovery looks at the serial "
                       "ports of the USB bridges of Microchip, FTDI and Silicon Labs and identifies the device behind "
                       "each (about a second per new port).\n\n") +
        exitCodesText());
    p.addHelpOption();
    p.addOption({QStringLiteral("all"), QStringLiteral("Every serial port, unidentified (kind \"unknown\"), whatever "
                                                       "its vendor.")});
    p.addOption({QStringLiteral("watch"), QStringLiteral("Keep running and print a line, with its time, for each "
                                                         "sensor plugged and unplugged, until interrupted.")});
    p.addOption({QStringLiteral("json"), QStringLiteral("JSON: an array, or with --watch one object per line.")});
    p.addOption({QStringLiteral("port"),
                 QStringLiteral("Also look at PATH, a port the system does not list as a serial port (a "
                                "pseudo-terminal, a virtual port); may be given more than once."),
                 QStringLiteral("PATH")});
    parseOrExplain(p, args);
    if (!p.positionalArguments().isEmpty())
        throw Failure(ExitUsage, QStringLiteral("%1 takes no PORT; --port PATH adds one").arg(args.value(0)));
    const bool json = p.isSet(QStringLiteral("json"));
    const bool filter = !p.isSet(QStringLiteral("all"));
    const QStringList extra = p.values(QStringLiteral("port"));

    const bool watch = p.isSet(QStringLiteral("watch"));
    // A named port must be there to be listed (a watch waits for it to be
    // plugged in).
    if (!watch)
        for (const QString& path : extra) {
            std::string why;
            if (brovatools::checkPort(path.toLocal8Bit().toStdString(), why) != brovatools::PortProblem::None)
                throw Failure(ExitPort, QString::fromLocal8Bit(why.c_str()));
        }

    BrovaPorts ports(0, 1000000);
    ports.isNewPort(filter);
    for (const QString& path : extra)
        if (!ports.watchPort(path.toLocal8Bit().constData()))
            throw Failure(ExitUsage, QStringLiteral("--port %1: a port path has 1 to 24 bytes").arg(path));

    // The first listing waits for the first scan; one that follows a change
    // of the filter or named ports waits until they were looked at too.
    std::vector<Found> present;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        present.clear();
        const BPort* table = ports.listPorts(false);
        for (int i = 0; i < ports.getLastSize(); ++i)
            present.push_back(foundOf(table[i]));
        bool settled = filter || waited.elapsed() >= 250;
        for (const QString& path : extra) {
            bool listed = false;
            for (const Found& f : present)
                listed = listed || f.port == path.toStdString();
            if (!listed && QFileInfo::exists(path) && waited.elapsed() < 3000)
                settled = false;
        }
        if (settled || !pause(50))
            break;
    }
    if (interruptedBy)
        return exitForSignal();

    if (!watch) {
        printTable(present, json);
        // A port named with --port that nothing answered on is a failure.
        QStringList silent;
        for (const QString& path : extra) {
            bool listed = false;
            for (const Found& f : present)
                listed = listed || f.port == path.toStdString();
            if (!listed)
                silent << path;
        }
        if (!silent.isEmpty())
            throw Failure(ExitDevice, QStringLiteral("%1: nothing answered: no sensor frame and no reply to the "
                                                     "identification request")
                                          .arg(silent.join(QStringLiteral(", "))));
        // Said whether or not standard error is a terminal: a script that
        // reads an empty list learns why from its log.
        if (present.empty())
            std::fprintf(stderr, "brova: no sensor found%s\n", filter ? " (--all lists every serial port)" : "");
        return ExitOk;
    }

    // Watching: what is present first, then every change as it comes. The
    // queue of found sensors starts with the present ones: those are shown
    // once.
    QSet<QString> shown;
    for (const Found& f : present) {
        printEvent("present", f, json);
        shown.insert(QString::fromStdString(f.port));
    }
    while (!interruptedBy) {
        while (ports.isNewPort(filter)) {
            const Found f = foundOf(ports.getNewPort());
            if (f.port.empty())
                break;
            if (!shown.remove(QString::fromStdString(f.port)))
                printEvent("plugged", f, json);
        }
        while (ports.isLostPort(true)) {
            const Found f = foundOf(ports.getLostPort());
            if (f.port.empty())
                break;
            shown.remove(QString::fromStdString(f.port));
            printEvent("unplugged", f, json);
        }
        pause(100);
    }
    return exitForSignal();
}

} // namespace brovacli
