// ReaderThread: the one thread that talks to an open device. Internal to the
// library (not installed).
//
// It owns the device's QSerialPort (created inside run(), so it lives and is
// used on this thread alone), appends every incoming chunk to a shared buffer
// capped at 100000 bytes, and writes the command byte or frame the engine
// leaves in its pending slots. It ends by itself after 550 ms without data.
// Everything shared with the engine is guarded by one non-recursive mutex.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <vector>

class QSerialPort;

class ReaderThread : public QThread {
    Q_OBJECT

public:
    static constexpr int bufferCap = 100000;      // bytes kept for the engine
    static constexpr int pendingCapacity = 256;   // bytes of one command frame
    static constexpr int dataTimeoutMs = 550;     // silence that ends the thread

    // Buffer status handed out with every getBuffer.
    enum Status : int32_t {
        StatusStarted = 0,    // started, no chunk yet
        StatusData = 1,       // the last chunk was appended
        StatusOverflow = -1,  // the last chunk pushed the oldest bytes out
        StatusSilent = -4     // 550 ms without data: the thread is ending
    };

    explicit ReaderThread(QObject* parent = nullptr);
    // A thread that still runs is stopped and waited for before the object
    // goes, so a running QThread is never destroyed.
    ~ReaderThread() override;

    // Starts the thread on portName at baudRate, with empty pending slots.
    // False, with nothing changed, while the thread runs; false, and not
    // running, when the system cannot start a thread.
    bool startRun(const QString& portName, int baudRate);
    // Asks the thread to end at the top of its next turn; does not wait.
    void close();

    // Where each received chunk ends in the buffer and when it arrived: the
    // bytes from the previous entry's end (or the buffer's start) up to end
    // arrived at stamp, in nanoseconds of CLOCK_MONOTONIC. Stamps strictly
    // increase, by at least the chunk's byte count: two chunks never share
    // an instant even on a clock coarser than the link.
    struct Arrival {
        int32_t end;
        int64_t stamp;
    };
    using Arrivals = std::vector<Arrival>;
    // CLOCK_MONOTONIC now, in nanoseconds.
    static int64_t monotonicNow();

    // The received bytes and the buffer status. keep = true returns a copy and
    // leaves the bytes; keep = false hands them over and empties the buffer.
    QByteArray getBuffer(bool keep, int& status);
    // The same into storage of the caller's, which keeps its capacity from
    // call to call: the mutex is held for the copy only, and nothing is
    // allocated once into has grown to what arrives between two calls.
    void getBuffer(bool keep, int& status, QByteArray& into);
    // The same with the arrivals of the bytes handed over (into's storage is
    // kept likewise), and the count of bytes dropped at the cap since startRun.
    void getBuffer(bool keep, int& status, QByteArray& into, Arrivals& arrivalsInto, uint64_t& dropped);
    // The last port name given to startRun (kept after the thread ends).
    QString getPortName();
    // True from startRun until the thread has ended (its run has returned).
    bool isOpened();
    // True once after a command was written and data arrived after it.
    bool isConfWritten();

    // Pending commands, written on the thread's next turn; a newer command
    // replaces one not yet written.
    void writeByte(char byte);
    // Copies count bytes (nothing when count <= 0). A frame longer than
    // pendingCapacity is refused: false, nothing queued.
    bool writeByteArray(const unsigned char* data, int count);

    // Bytes received from the port, and the oldest bytes dropped at the cap,
    // since startRun.
    struct Counts {
        uint64_t received = 0;
        uint64_t dropped = 0;
    };
    Counts counts();

    // What the serial driver said to the request for low-latency operation,
    // made when the port opens: on an FTDI bridge it stops the driver from
    // holding received bytes back; a pseudo-terminal has no such setting.
    enum class LowLatency { NotAsked, Granted, Unsupported };
    LowLatency lowLatency();
    // Takes the exclusive claim on an opened port that every open of the
    // library holds (flock on the device, released when the port closes).
    // False, with the port closed again, when another open holds it.
    static bool claimPort(QSerialPort& port);
    // Asks the serial driver behind fd for low-latency operation; false when
    // it has no such setting. Says nothing either way.
    static bool requestLowLatency(int fd);

    // Appends one received chunk, arrived at stamp (now when 0), under the
    // 100000-byte cap and sets the status: the reader's step for every chunk
    // it reads.
    void appendChunk(const QByteArray& chunk, int64_t stamp = 0);
    // The same for what port has received: read straight into the buffer,
    // whose storage is kept for the thread's life.
    void appendFrom(QSerialPort& port);
    // No data within 550 ms: status -4, and the thread ends on its next turn.
    void markSilent();

protected:
    void run() override;

private:
    int32_t status;
    std::atomic<bool> byteToWrite;
    std::atomic<bool> arrayToWrite;
    char pendingByte;
    unsigned char pendingArray[pendingCapacity];
    int pendingCount;
    QString portName;
    QMutex mutex;
    QByteArray buffer;
    std::atomic<bool> stopRequested;
    std::atomic<bool> running{false};  // from startRun until run returns
    bool confWritten;
    bool writeDone;
    int32_t baudRate;
    Counts counted;
    LowLatency lowLatency_ = LowLatency::NotAsked;
    Arrivals arrivals;         // of the bytes in buffer, oldest first
    int64_t lastStamp = 0;     // the newest arrival's stamp

    // With mutex held: the bookkeeping of n bytes just appended below the cap.
    void appended(int n);
    // With mutex held: the arrival of the n bytes now at the buffer's end.
    void arrived(int n, int64_t stamp);
};
