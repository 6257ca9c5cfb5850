#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "brvsim.h"
#include "readerthread.h"

namespace {

// Qt messages written while one lives.
QStringList g_messages;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    g_messages << text;
}
struct CaptureQtMessages {
    CaptureQtMessages() { g_messages.clear(); previous = qInstallMessageHandler(captureMessage); }
    ~CaptureQtMessages() { qInstallMessageHandler(previous); }
    bool empty() const { return g_messages.isEmpty(); }
    QtMessageHandler previous;
};

QByteArray bytes(int n, char fill)
{
    return QByteArray(n, fill);
}

} // namespace

TEST(ReaderThread, BufferCapDropsTheOldestBytes)
{
    ReaderThread t;
    int status = 99;
    EXPECT_TRUE(t.getBuffer(true, status).isEmpty());
    EXPECT_EQ(status, ReaderThread::StatusStarted);

    t.appendChunk(bytes(ReaderThread::bufferCap - 10, 'a'));
    t.appendChunk(bytes(10, 'b'));  // exactly at the cap: still appended normally
    QByteArray kept = t.getBuffer(true, status);
    EXPECT_EQ(status, ReaderThread::StatusData);
    EXPECT_EQ(kept.size(), ReaderThread::bufferCap);

    t.appendChunk(QByteArray("c", 1));  // one more byte: the oldest one goes
    kept = t.getBuffer(true, status);
    EXPECT_EQ(status, ReaderThread::StatusOverflow);
    EXPECT_EQ(kept.size(), ReaderThread::bufferCap);
    EXPECT_EQ(kept.count('a'), ReaderThread::bufferCap - 11);
    EXPECT_EQ(kept.back(), 'c');

    // keep = true hands out copies; keep = false hands the bytes over once.
    EXPECT_EQ(t.getBuffer(true, status), kept);
    EXPECT_EQ(t.getBuffer(false, status), kept);
    EXPECT_TRUE(t.getBuffer(false, status).isEmpty());

    // A chunk that fits again clears the overflow status.
    t.appendChunk(bytes(5, 'd'));
    EXPECT_EQ(t.getBuffer(false, status).size(), 5);
    EXPECT_EQ(status, ReaderThread::StatusData);

    // A single oversized chunk keeps only its newest bytes.
    QByteArray huge = bytes(ReaderThread::bufferCap + 5, 'e');
    huge[huge.size() - 1] = 'z';
    t.appendChunk(huge);
    kept = t.getBuffer(false, status);
    EXPECT_EQ(kept.size(), ReaderThread::bufferCap);
    EXPECT_EQ(kept.back(), 'z');
}

TEST(ReaderThread, CommandSlots)
{
    ReaderThread t;
    unsigned char frame[ReaderThread::pendingCapacity + 1] = {};
    EXPECT_FALSE(t.writeByteArray(frame, ReaderThread::pendingCapacity + 1));
    EXPECT_TRUE(t.writeByteArray(frame, ReaderThread::pendingCapacity));
    EXPECT_TRUE(t.writeByteArray(frame, 0));
    EXPECT_FALSE(t.isConfWritten());  // nothing written, nothing arrived
}

TEST(ReaderThread, PortThatWillNotOpenEndsTheThread)
{
    ReaderThread t;
    EXPECT_FALSE(t.isOpened());
    EXPECT_TRUE(t.getPortName().isEmpty());
    ASSERT_TRUE(t.startRun("/dev/brv-no-such-port", 1000000));
    EXPECT_TRUE(t.isOpened());  // true during the open attempts
    EXPECT_FALSE(t.startRun("/dev/other", 9600));
    EXPECT_EQ(t.getPortName(), QString("/dev/brv-no-such-port"));

    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(t.wait(5000));
    EXPECT_FALSE(t.isOpened());
    int status = 99;
    EXPECT_TRUE(t.getBuffer(false, status).isEmpty());
    EXPECT_EQ(status, ReaderThread::StatusStarted);
    EXPECT_EQ(t.getPortName(), QString("/dev/brv-no-such-port"));

    // It can be started again once it has ended.
    EXPECT_TRUE(t.startRun("/dev/brv-no-such-port-2", 1000000));
    t.close();
    t.wait();
}

TEST(ReaderThread, AThreadTheSystemRefusesLeavesNothingOpen)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime needs the address space this test takes away";
#else
    // In a child: an address space too small for the thread's stack, so the
    // system refuses the thread. Exit 0: refused and not open.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CaptureQtMessages quiet;  // Qt's warning about the thread
        ReaderThread t;
        t.setStackSize(1u << 30);
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const rlimit limit{static_cast<rlim_t>(pages) * 4096 + (64u << 20), RLIM_INFINITY};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(3);
        const bool started = t.startRun("/dev/brv-no-such-port", 1000000);
        ::_exit(started ? 1 : t.isOpened() ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: started anyway, 2: open after the refusal, 3: no limit set";
#endif
}

TEST(ReaderThread, DestroyedWhileRunningStopsAndJoins)
{
    // Destroying a running QThread would abort the process; the reader thread
    // stops and waits for itself first.
    auto* t = new ReaderThread;
    ASSERT_TRUE(t->startRun("/dev/brv-no-such-port", 1000000));
    delete t;
    SUCCEED();
}

TEST(ReaderThread, AsksForLowLatencyAndTakesNoForAnAnswerSilently)
{
    // A pseudo-terminal has no low-latency setting: the request is made when
    // the port opens, refused, and nothing is said.
    brvsim::Device dev(68);
    ASSERT_TRUE(dev.start());
    CaptureQtMessages capture;
    ReaderThread t;
    EXPECT_EQ(t.lowLatency(), ReaderThread::LowLatency::NotAsked);
    ASSERT_TRUE(t.startRun(QString::fromStdString(dev.portName()), 1000000));
    QElapsedTimer waited;
    waited.start();
    while (t.lowLatency() == ReaderThread::LowLatency::NotAsked && waited.elapsed() < 5000)
        QThread::msleep(5);
    EXPECT_EQ(t.lowLatency(), ReaderThread::LowLatency::Unsupported);
    int status = 0;
    for (int i = 0; i < 200 && t.getBuffer(true, status).isEmpty(); ++i)
        QThread::msleep(5);
    EXPECT_FALSE(t.getBuffer(false, status).isEmpty());  // and reads as before
    t.close();
    t.wait();
    EXPECT_TRUE(capture.empty());
    const int fd = ::open("/dev/null", O_RDWR);
    EXPECT_FALSE(ReaderThread::requestLowLatency(fd));
    ::close(fd);
}
