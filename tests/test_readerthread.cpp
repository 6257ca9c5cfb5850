#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <fcntl.h>
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
