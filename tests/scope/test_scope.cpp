// brova-scope's window driven as a user drives it, on Qt's offscreen
// platform, against simulated sensors started from the window.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

#include "brvsim.h"
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

        // Recording: every sample to a CSV that reads back as the load.
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
        QCOMPARE(lines.first(), QStringLiteral("time,sample,channel,state,x,y,z,s1,s2,s3,s4,s5,s6,s7,s8,aux"));
        QCOMPARE(static_cast<uint64_t>(lines.size() - 1), 4 * w.session().recordedSamples());
        double last = -1;
        for (const QString& line : lines.mid(1)) {
            const QStringList v = line.split(',');
            const int c = v[2].toInt();
            QVERIFY(v[0].toDouble() > last);
            last = v[0].toDouble();
            QCOMPARE(v[4].toInt(), x(c));
            QCOMPARE(v[6].toInt(), z(c));
        }

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

        // Unplugged: a clear message, no crash; plugged back in: reopened.
        click(w, "simUnplug");
        QTRY_VERIFY_WITH_TIMEOUT(text(w, "message").contains(QStringLiteral("stopped sending")), 5000);
        QVERIFY(!w.session().isOpen());
        click(w, "simUnplug");
        auto* reopen = w.findChild<QPushButton*>(QStringLiteral("reopen"));
        QTRY_VERIFY_WITH_TIMEOUT(reopen->isVisible(), 5000);
        click(w, "reopen");
        QTRY_VERIFY2_WITH_TIMEOUT(w.session().isOpen(), qPrintable(text(w, "message")), 5000);
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
