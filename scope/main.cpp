// brova-scope: a live view of force sensors. See scopewindow.h.
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

#include "kinds.h"
#include "scopewindow.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brova-scope"));
    QApplication::setApplicationVersion(QStringLiteral(BRV_VERSION));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "A live view of force sensors: the sensors present, live plots of their forces (in raw counts), tare, rate, "
        "filter and mode, recording to CSV as brova stream writes it."));
    p.addHelpOption();
    p.addVersionOption();
    p.addOption({QStringLiteral("port"), QStringLiteral("Open the sensor on PORT at start (with --kind)."),
                 QStringLiteral("PORT")});
    p.addOption({QStringLiteral("kind"), QStringLiteral("The kind of --port's sensor: 31, 34, 64, 68, 94 or 95."),
                 QStringLiteral("K")});
    p.addOption({QStringLiteral("six-axis"), QStringLiteral("Show a four-channel device as one six-axis sensor.")});
    p.addOption({QStringLiteral("simulate"),
                 QStringLiteral("Start a simulated sensor of kind K (31, 34, 64, 68, 94, 95) and open it."),
                 QStringLiteral("K")});
    p.process(app);
    const int kind = p.value(QStringLiteral("kind")).toInt();
    const int simulate = p.value(QStringLiteral("simulate")).toInt();
    const auto valid = [](int k) { return brovatools::kindOf(k) != nullptr; };
    if ((p.isSet(QStringLiteral("port")) && !valid(kind)) || (p.isSet(QStringLiteral("simulate")) && !valid(simulate))) {
        std::fprintf(stderr, "brova-scope: a kind is one of %s (--port needs --kind)\n", brovatools::kindCodes().c_str());
        return 2;
    }
    brovascope::ScopeWindow window;
    window.show();
    window.setSixAxisView(p.isSet(QStringLiteral("six-axis")));
    if (p.isSet(QStringLiteral("port")))
        window.openSensor(p.value(QStringLiteral("port")), kind, p.isSet(QStringLiteral("six-axis")));
    else if (simulate)
        window.simulate(simulate);
    return app.exec();
}
