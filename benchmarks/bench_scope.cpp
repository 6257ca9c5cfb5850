// brova-scope keeping up: the window on a simulated four-channel device at
// 1000 samples per second (twelve traces), recording every sample, for a
// fixed time. Reports the window's processor time (the process's, less the
// simulator's serving thread), the plot frames drawn per second, and whether
// every sample the device sent reached the record file.
//
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise: the
// charts are painted as on a screen, into a buffer that is not shown.
#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "brvsim.h"
#include "plots.h"
#include "scopewindow.h"
#include "session.h"

namespace {

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for ms, as the program's own loop would.
void wait(QApplication&, int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    QTemporaryDir dir;
    brovascope::ScopeWindow w;
    w.show();
    w.simulate(94, true);
    for (int i = 0; i < 500 && !w.session().isOpen(); ++i)
        wait(app, 10);
    if (!w.session().isOpen()) {
        std::fprintf(stderr, "bench_scope: the simulated sensor did not open\n");
        return 1;
    }
    w.simulator()->setAuxSequence(true);  // numbered frames: a lost one shows
    wait(app, 1000);                      // a full window of samples first
    QString why;
    const QString csv = dir.filePath(QStringLiteral("bench.csv"));
    if (!w.session().startRecording(csv, true, why)) {
        std::fprintf(stderr, "bench_scope: cannot record: %s\n", why.toLocal8Bit().constData());
        return 1;
    }
    const double cpu0 = processCpuSeconds(), sim0 = w.simulator()->cpuSeconds();
    const int frames0 = w.plots().frames();
    const uint64_t samples0 = w.session().samples();
    QElapsedTimer clock;
    clock.start();
    wait(app, seconds * 1000);
    const double elapsed = clock.elapsed() / 1000.0;
    const double cpu = processCpuSeconds() - cpu0 - (w.simulator()->cpuSeconds() - sim0);
    const int frames = w.plots().frames() - frames0;
    const bool recorded = w.session().stopRecording();
    // Every frame the device sent while recording is in the file: the frame
    // numbers (aux) of channel 0 follow each other without a gap.
    QFile f(csv);
    if (!recorded || !f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_scope: the recording was not written\n");
        return 1;
    }
    f.readLine();
    long rows = 0, gaps = 0, last = -1;
    while (!f.atEnd()) {
        const QList<QByteArray> v = f.readLine().trimmed().split(',');
        if (v.size() < 16 || v[2] != "0")
            continue;
        const long aux = v[15].toLong();
        if (last >= 0 && ((aux - last) & 0xFFFF) != 1)
            ++gaps;
        last = aux;
        ++rows;
    }
    std::printf("seconds %.1f\nsamples per second %.0f\nwindow CPU %.1f %% of one core\n"
                "chart frames per second %.1f (%d charts)\nsamples recorded %ld, gaps in the frame numbers %ld\n",
                elapsed, (w.session().samples() - samples0) / elapsed, 100.0 * cpu / elapsed, frames / elapsed / 4.0, 4,
                rows, gaps);
    return rows > 0 && gaps == 0 ? 0 : 1;
}
