// brova-scope's window driven as a user drives it, on Qt's offscreen
// platform, against simulated sensors started from the window.
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QValueAxis>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <map>
#include <memory>
#include <vector>

#include "brvsim.h"
#include "calibrationlookup.h"
#include "mcapreader.h"
#include "ros2types.h"
#include "plots.h"
#include "scopewindow.h"
#include "session.h"

using brovascope::ScopeWindow;

class ScopeTest : public QObject {
    Q_OBJECT

private:
    // The steady load the window's simulator gives channel c (a moving one
    // adds a wave): see setSimLoad.
    static int x(int c) { return 100 * (c + 1); }
    static int z(int c) { return 20000 + c; }

    static QString text(ScopeWindow& w, const char* name) { return w.findChild<QLabel*>(QLatin1String(name))->text(); }
    static void click(ScopeWindow& w, const char* name)
    {
        QTest::mouseClick(w.findChild<QPushButton*>(QLatin1String(name)), Qt::LeftButton);
    }
    static double newest(ScopeWindow& w, int trace) { return w.session().traces().at(static_cast<size_t>(trace)).newestValue(); }
    static bool listed(ScopeWindow& w, const QString& port)
    {
        return !w.findChild<QListWidget*>(QStringLiteral("sensors"))->findItems(port + ' ', Qt::MatchStartsWith).isEmpty();
    }
    static QByteArray contents(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // brova-scope itself, with env changed: name=value sets, name alone unsets.
    static void setUpProgram(QProcess& p, const QStringList& args, const QStringList& env)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString& v : env)
            v.contains('=') ? e.insert(v.section('=', 0, 0), v.section('=', 1)) : e.remove(v);
        p.setProcessEnvironment(e);
        p.setProgram(QStringLiteral(BRV_SCOPE_PROGRAM));
        p.setArguments(args);
    }

private slots:
    void everyFamilyReachesThePlotAndTheNumbers()
    {
        const struct {
            int kind;
            int traces;
            double first;  // the first trace's value: ch0 x, or Fx
        } cases[] = {{68, 3, 100}, {34, 12, 100}, {95, 6, -1000}, {64, 6, -1000}};
        for (const auto& c : cases) {
            ScopeWindow w;
            w.show();
            QVERIFY(!w.simulate(c.kind, false).isEmpty());
            QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
            QCOMPARE(static_cast<int>(w.session().traces().size()), c.traces);
            QCOMPARE(w.plots().seriesCount(), c.traces);
            QTRY_VERIFY(w.plots().pointsInSeries(c.traces - 1) > 10);
            QTRY_COMPARE(newest(w, 0), c.first);
            QTRY_VERIFY(text(w, "value0").contains(QString::number(c.first)));
            QCOMPARE(text(w, "state"), QStringLiteral("state 5: normal"));
            QVERIFY(text(w, "status").contains(QStringLiteral("raw counts")));
        }
    }

    void tareRateRecordingAndUnplug()
    {
        QTemporaryDir dir;
        ScopeWindow w;
        w.show();
        w.simulate(94, false);
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
        QTRY_COMPARE(newest(w, 3 * 3 + 2), double(z(3)));
        // The status bar shows the device's rate as the library estimates it.
        const QRegularExpression deviceRate(QStringLiteral("device rate ([0-9.]+) per second"));
        QTRY_VERIFY_WITH_TIMEOUT(deviceRate.match(text(w, "status")).hasMatch(), 5000);
        QVERIFY2(std::fabs(deviceRate.match(text(w, "status")).captured(1).toDouble() - 1000) < 1,
                 qPrintable(text(w, "status")));

        // Recording: every sample to a CSV that reads back as the load, at
        // the samples' instants: the four channels of a sample at its time,
        // the samples a period apart.
        const QString csv = dir.filePath(QStringLiteral("run.csv"));
        w.findChild<QLineEdit*>(QStringLiteral("recordPath"))->setText(csv);
        click(w, "record");
        QVERIFY(w.session().recording());
        QTRY_VERIFY(w.session().recordedSamples() > 200);
        click(w, "record");
        QVERIFY(!w.session().recording());
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.first(), QStringLiteral("time,sample,channel,state,x,y,z,s1,s2,s3,s4,s5,s6,s7,s8,aux,flags"));
        QCOMPARE(static_cast<uint64_t>(lines.size() - 1), 4 * w.session().recordedSamples());
        QCOMPARE(lines.at(1).section(',', 0, 0), QStringLiteral("0.000000"));
        double last = -1;
        std::vector<double> steps;
        for (const QString& line : lines.mid(1)) {
            const QStringList v = line.split(',');
            const int c = v[2].toInt();
            const double t = v[0].toDouble();
            if (c == 0) {
                QVERIFY(t > last);
                if (last >= 0)
                    steps.push_back(t - last);
            } else {
                QCOMPARE(t, last);
            }
            last = t;
            QCOMPARE(v[4].toInt(), x(c));
            QCOMPARE(v[6].toInt(), z(c));
        }
        std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
        QVERIFY2(std::fabs(steps[steps.size() / 2] - 0.001) < 0.00005, qPrintable(QString::number(steps[steps.size() / 2])));
        const QJsonObject sidecar = QJsonDocument::fromJson(contents(csv + ".json")).object();
        QCOMPARE(sidecar.value("clock").toString(), QStringLiteral("relative"));
        QVERIFY(std::fabs(sidecar.value("realtimeOffsetNs").toDouble() / 1e9 -
                          (QDateTime::currentMSecsSinceEpoch() / 1e3 - QDeadlineTimer::current().deadlineNSecs() / 1e9)) < 0.05);
        QVERIFY(std::fabs(sidecar.value("devices").toArray().at(0).toObject().value("estimatedRate").toDouble() - 1000) < 1);

        // MCAP beside CSV: the path follows the choice; the recording holds
        // a topic per channel with every sample, the raw records and the
        // device, and no sidecar.
        auto* format = w.findChild<QComboBox*>(QStringLiteral("recordFormat"));
        format->setCurrentIndex(format->findData(QStringLiteral("mcap")));
        auto* recordPath = w.findChild<QLineEdit*>(QStringLiteral("recordPath"));
        QCOMPARE(QFileInfo(recordPath->text()).suffix(), QStringLiteral("mcap"));
        const QString mcap = dir.filePath(QStringLiteral("run.mcap"));
        recordPath->setText(mcap);
        click(w, "record");
        QTRY_VERIFY(w.session().recordedSamples() > 200);
        QVERIFY(QFileInfo::exists(mcap + QStringLiteral(".partial")));
        click(w, "record");
        QVERIFY(!w.session().recording() && !QFileInfo::exists(mcap + QStringLiteral(".json")));
        brovarecording::McapReader reader;
        QVERIFY(reader.open(mcap.toStdString()) && reader.indexed() && reader.verify());
        std::map<std::string, uint64_t> messages;
        for (const auto& c : reader.channels())
            messages[c.topic] = reader.statistics().channelMessageCounts.at(c.id);
        const std::string name = brovaros2::nameFromPort(w.session().port().toStdString());
        for (int c = 0; c < 4; ++c)
            QCOMPARE(messages.at("/brova/" + name + "/ch" + std::to_string(c) + "/wrench"), w.session().recordedSamples());
        QVERIFY(messages.at("/brova/" + name + "/counts") > 0 && messages.at("/diagnostics") > 0);
        QCOMPARE(reader.metadata().at(0).name, "brova.device." + name);
        QCOMPARE(QFileInfo(recordPath->text()).suffix(), QStringLiteral("mcap"));  // the next one too
        format->setCurrentIndex(format->findData(QStringLiteral("csv")));

        // Tare: every value goes to zero; untare brings the load back.
        click(w, "tare");
        QTRY_COMPARE(newest(w, 0), 0.0);
        QTRY_COMPARE(newest(w, 3 * 3 + 2), 0.0);
        click(w, "untare");
        QTRY_COMPARE(newest(w, 0), double(x(0)));

        // A rate the device confirms, and the measured rate follows it.
        auto* rate = w.findChild<QComboBox*>(QStringLiteral("rate"));
        rate->setCurrentIndex(rate->findData(100));
        click(w, "apply");
        QTRY_VERIFY_WITH_TIMEOUT(text(w, "configResult").startsWith(QStringLiteral("confirmed: rate 100")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(std::fabs(w.session().measuredRate() - 100) < 25, 5000);

        // Unplugged: a clear message, no crash, shown as lost (no state, no
        // rate, not listed); plugged back in: reopened.
        const QString port = w.session().port();
        QVERIFY(listed(w, port));
        click(w, "simUnplug");
        QTRY_VERIFY_WITH_TIMEOUT(text(w, "message").contains(QStringLiteral("stopped sending")), 5000);
        QVERIFY(!w.session().isOpen());
        QVERIFY(text(w, "state").contains(QStringLiteral("lost")));
        QVERIFY(!text(w, "status").contains(QStringLiteral("measured rate 1")));
        QVERIFY(!listed(w, port));
        click(w, "simUnplug");
        auto* reopen = w.findChild<QPushButton*>(QStringLiteral("reopen"));
        QTRY_VERIFY_WITH_TIMEOUT(reopen->isVisible(), 5000);
        click(w, "reopen");
        QTRY_VERIFY2_WITH_TIMEOUT(w.session().isOpen(), qPrintable(text(w, "message")), 5000);
    }

    void recordingsNeverReplaceAFile()
    {
        QTemporaryDir dir;
        ScopeWindow w;
        w.show();
        const QString port = w.simulate(68, false);
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
        auto* path = w.findChild<QLineEdit*>(QStringLiteral("recordPath"));
        auto* record = w.findChild<QPushButton*>(QStringLiteral("record"));
        const QString first = dir.filePath(QStringLiteral("run.csv"));
        path->setText(first);
        const QRect place = record->geometry();
        click(w, "record");
        QTRY_VERIFY(w.session().recordedSamples() > 50 && !text(w, "recording").isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCOMPARE(record->geometry(), place);  // the second click lands on it
        QCOMPARE(record->text(), QStringLiteral("Stop"));
        click(w, "record");
        QVERIFY(!w.session().recording());

        // Samples numbered from 0; the sidecar as brova stream writes it.
        const QByteArray recorded = contents(first);
        const QList<QByteArray> lines = recorded.split('\n');
        QVERIFY(lines.size() > 3);
        QCOMPARE(lines[1].split(',').at(1), QByteArray("0"));
        QCOMPARE(lines[2].split(',').at(1), QByteArray("1"));
        const QJsonObject sidecar = QJsonDocument::fromJson(contents(first + ".json")).object();
        QVERIFY(!sidecar.value("started").toString().isEmpty());
        const QJsonObject device = sidecar.value("devices").toArray().at(0).toObject();
        QCOMPARE(device.value("port").toString(), port);
        QCOMPARE(device.value("kind").toInt(), 68);
        QCOMPARE(device.value("samples").toInt(), int(w.session().recordedSamples()));

        // The next recording goes to a new file; the first one is kept.
        const QString second = path->text();
        QVERIFY(second != first && !QFile::exists(second));
        click(w, "record");
        QTRY_VERIFY(w.session().recordedSamples() > 10);
        click(w, "record");
        QCOMPARE(contents(first), recorded);
        QVERIFY(contents(second).startsWith("time,sample,channel"));

        // An existing file named again: replaced only when the user says so.
        path->setText(first);
        bool asked = false;
        QTimer answer;
        connect(&answer, &QTimer::timeout, [&] {
            if (auto* box = w.findChild<QMessageBox*>(QStringLiteral("replaceQuestion"))) {
                asked = true;
                box->button(QMessageBox::No)->click();
            }
        });
        answer.start(20);
        click(w, "record");
        QVERIFY(asked);
        QVERIFY(!w.session().recording());
        QCOMPARE(contents(first), recorded);
    }

    void plotsShowRoundTimesAndZOnItsOwnAxis()
    {
        ScopeWindow w;
        w.show();
        w.simulate(68, false);  // steady: x 100, y -50, z 20000
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
        QTRY_VERIFY(w.plots().pointsInSeries(2) > 10);
        QtCharts::QChart* chart = w.findChild<QtCharts::QChartView*>()->chart();
        const auto valueAxis = [&](int series, Qt::Orientation o) {
            return qobject_cast<QtCharts::QValueAxis*>(chart->series().at(series)->attachedAxes().at(o == Qt::Horizontal ? 0 : 1));
        };
        // Every time tick on a round value.
        QtCharts::QValueAxis* t = valueAxis(0, Qt::Horizontal);
        QCOMPARE(t->orientation(), Qt::Horizontal);
        const bool dynamic = t->tickType() == QtCharts::QValueAxis::TicksDynamic;
        const double step = dynamic ? t->tickInterval() : (t->max() - t->min()) / (t->tickCount() - 1);
        QVERIFY(step > 0);
        const double first = dynamic ? t->tickAnchor() + std::ceil((t->min() - t->tickAnchor()) / step) * step : t->min();
        for (double tick = first; tick <= t->max(); tick = first + std::round((tick - first) / step + 1) * step)
            QVERIFY2(std::fabs(tick * 10 - std::round(tick * 10)) < 1e-6, qPrintable(QString::number(tick)));

        // z on an axis of its own: x and y readable beside it.
        QTRY_VERIFY(valueAxis(2, Qt::Vertical)->min() <= 20000 && valueAxis(2, Qt::Vertical)->max() >= 20000);
        QVERIFY(valueAxis(0, Qt::Vertical)->max() - valueAxis(0, Qt::Vertical)->min() < 2000);
    }

    void calibratedValuesInNewtonsWithACountsSwitch()
    {
        // 0.01 N per count on channel 0, with a bias: x 100 counts is 1.5 N.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cal.json"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"({"format": "brova-calibration", "version": 1,
                    "identity": {"kind": 68, "serial": "S-9", "date": "2024-05-01"}, "units": {"force": "N"},
                    "channels": [{"channel": 0, "inputs": ["x", "y", "z"],
                                  "matrix": [[0.01, 0, 0], [0, 0.01, 0], [0, 0, 0.01]], "bias": [0.5, -0.25, 1]}]})");
        f.close();
        auto file = std::make_shared<brovatools::CalibrationFile>();
        std::string error;
        QVERIFY2(brovatools::readCalibration(path.toStdString(), *file, error), error.c_str());

        ScopeWindow w;
        w.setCalibrationOptions(file, false, false);
        w.show();
        w.simulate(68, false);
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
        const auto axisTitles = [&] {
            QStringList titles;
            for (QtCharts::QAbstractAxis* a : w.findChild<QtCharts::QChartView*>()->chart()->axes(Qt::Vertical))
                titles << a->titleText();
            return titles;
        };
        QCOMPARE(axisTitles(), QStringList({"N", "N"}));
        QVERIFY(text(w, "calibration").contains(path + " (serial S-9"));
        QTRY_VERIFY(std::fabs(newest(w, 0) - 1.5) < 1e-9 && std::fabs(newest(w, 2) - 201) < 1e-9);
        QTRY_VERIFY(text(w, "value0").contains(QStringLiteral("1.5 N")));
        QVERIFY(text(w, "status").contains(QStringLiteral("values in N")) && !text(w, "status").contains("N·m"));

        // A recording has the calibrated columns beside the counts.
        const QString csv = dir.filePath(QStringLiteral("run.csv"));
        w.findChild<QLineEdit*>(QStringLiteral("recordPath"))->setText(csv);
        click(w, "record");
        QTRY_VERIFY(w.session().recordedSamples() > 5);
        click(w, "record");
        const QList<QByteArray> lines = contents(csv).split('\n');
        QVERIFY(lines[0].endsWith(",aux,x_N,y_N,z_N,flags"));
        QVERIFY2(lines[1].endsWith(",1.5,-0.75,201,0"), lines[1].constData());
        const QJsonObject cal = QJsonDocument::fromJson(contents(csv + ".json"))
                                    .object().value("devices").toArray().at(0).toObject().value("calibration").toObject();
        QCOMPARE(cal.value("sha256").toString().toStdString(), file->sha256);

        // Counts: the same samples, the axes say so.
        w.findChild<QCheckBox*>(QStringLiteral("counts"))->setChecked(true);
        QCOMPARE(axisTitles(), QStringList({"counts", "counts"}));
        QCOMPARE(newest(w, 0), 100.0);
        QTRY_VERIFY(text(w, "status").contains(QStringLiteral("raw counts")));
    }

    void framedKindsAreConfirmedAndAPortNeedsNoKind()
    {
        brvsim::Device dev(31);
        QVERIFY(dev.start());
        const QString port = QString::fromStdString(dev.portName());
        ScopeWindow w;
        w.show();
        // Told 34, a kind-31 device is refused, and nothing is shown from it.
        w.openSensor(port, 34);
        QTRY_VERIFY_WITH_TIMEOUT(text(w, "message").contains(QStringLiteral("another kind answered")), 10000);
        QVERIFY(!w.session().isOpen());
        QVERIFY(w.session().traces().empty());
        // Without a kind, it opens as what it is, and is listed.
        w.openSensor(port, 0);
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 15000);
        QCOMPARE(w.session().kind(), 31);
        QTRY_VERIFY(listed(w, port));
    }

    void lowPassTracesAndTheFilterOffAboveNyquist()
    {
        ScopeWindow w;
        w.session().setLowPass(40, 2);
        w.show();
        QVERIFY(!w.simulate(68, false).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
        QVERIFY(w.session().lowPassOn());
        // A steady load: the filter starts at it and stays there.
        QTRY_VERIFY(w.plots().pointsInSeries(2) > 10);
        QVERIFY(std::fabs(newest(w, 0) - x(0)) < 1e-6 && std::fabs(newest(w, 2) - z(0)) < 1e-6);
        QTRY_VERIFY(text(w, "status").contains(QStringLiteral("low-pass 40 Hz, order 2: group delay")));
        // A tare is a step from the load to 0: the trace passes between them.
        click(w, "tare");
        QTRY_VERIFY(std::fabs(newest(w, 0)) < 1);
        double low = 0, high = 0;
        const QVector<QPointF> points = w.session().traces()[0].decimated(0, w.session().now(), 1000000, low, high);
        QVERIFY(std::any_of(points.begin(), points.end(), [](const QPointF& p) { return p.y() > 1 && p.y() < x(0) - 1; }));
        // 30 per second puts 40 Hz above Nyquist: off, and said.
        auto* rate = w.findChild<QComboBox*>(QStringLiteral("rate"));
        rate->setCurrentIndex(rate->findData(30));
        click(w, "apply");
        QTRY_VERIFY_WITH_TIMEOUT(text(w, "configResult").startsWith(QStringLiteral("confirmed: rate 30")), 5000);
        QVERIFY(!w.session().lowPassOn());
        QTRY_VERIFY(text(w, "status").contains(QStringLiteral("low-pass off: 40 Hz is not below half the rate of 30")));
    }

    void runsWithoutADisplayAndCleansUpOnSignals()
    {
        const QStringList noDisplay = {QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY"),
                                       QStringLiteral("QT_QPA_PLATFORM")};
        const struct {
            QStringList args;
            int exit;
            QString says;
        } cases[] = {{{"--help"}, 0, "--simulate"},
                     {{"--version"}, 0, "brova-scope "},
                     {{"--bogus"}, 2, "bogus"},
                     {{"--port", "/dev/null", "--kind", "35"}, 2, "a kind is one of"},
                     {{"--calibration", "/nonexistent/cal.json"}, 1, "/nonexistent/cal.json: cannot be read"},
                     {{"--lowpass", "500"}, 2, "not below half the sample rate"},
                     {{"--lowpass", "nan"}, 2, "above 0 Hz expected"},
                     {{"--lowpass", "20", "--lowpass-order", "9"}, 2, "the order is 1 ... 8"},
                     {{"--lowpass-order", "3"}, 2, "needs --lowpass"}};
        for (const auto& c : cases) {
            QProcess p;
            setUpProgram(p, c.args, noDisplay);
            p.start();
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), c.exit);
            QVERIFY2((p.readAllStandardOutput() + p.readAllStandardError()).contains(c.says.toUtf8()), qPrintable(c.args.join(' ')));
        }
        // Ended by a signal, it ends as when its window closes: the simulated
        // sensor's link is removed.
        for (int sig : {SIGTERM, SIGINT}) {
            QProcess p;
            setUpProgram(p, {QStringLiteral("--simulate"), QStringLiteral("68")}, {QStringLiteral("QT_QPA_PLATFORM=offscreen")});
            p.start();
            QVERIFY(p.waitForStarted());
            const QString link = QStringLiteral("/tmp/brv-%1-1").arg(p.processId());
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), 10000);
            ::kill(static_cast<pid_t>(p.processId()), sig);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);
            QVERIFY(!QFileInfo(link).isSymLink());
        }
    }

    void screenshot()
    {
        // A moving four-channel sensor at 1000 samples per second, kept as a
        // test artifact (and for the README).
        ScopeWindow w;
        w.show();
        w.simulate(94, true);
        QTRY_VERIFY_WITH_TIMEOUT(w.session().isOpen(), 5000);
        QTest::qWait(5500);
        QVERIFY(w.plots().frames() > 0);
        const QString path = QStringLiteral(BRV_SCREENSHOT);
        QVERIFY(w.grab().save(path));
        qInfo("screenshot: %s", qPrintable(path));
    }
};

QTEST_MAIN(ScopeTest)
#include "test_scope.moc"
