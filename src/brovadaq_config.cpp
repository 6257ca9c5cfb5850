// The configuration exchange of the acquisition engine: the one-byte command
// of the stream devices, the register requests of the framed devices and the
// framed devices' handshake at open.
#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <memory>

#include "brovadaq_p.h"

namespace {

// The frame's checksum: 16-bit wrap-around sum, appended high byte first.
void appendChecksum(unsigned char* frame, int length)
{
    uint16_t sum = 0;
    for (int i = 0; i < length; ++i)
        sum = static_cast<uint16_t>(sum + frame[i]);
    frame[length] = static_cast<unsigned char>(sum >> 8);
    frame[length + 1] = static_cast<unsigned char>(sum & 0xFF);
}

} // namespace

// ---------------------------------------------------------------- configuration exchange

SensorConfig BrovaDAQ_private::getConfig()
{
    // A request left for a reader that does not run would be written to
    // whatever device is opened next.
    if (!isOpen())
        return config;
    BrovaPackage sample;
    BrovaPackage6D sample6D;
    if (version == BROVA_STREAM_3AXIS || version == BROVA_STREAM_4CH)
        read(sample, 0, true);
    else if (version == BROVA_STREAM_6AXIS)
        read6D(sample6D, true);

    if (isFramedVersion(version)) {
        send171(50, 6);
        QThread::msleep(50);
        if (version == BROVA_FRAMED_6AXIS) {
            read6D(sample6D, true);
            QThread::msleep(50);
            read6D(sample6D, true);
        } else {
            read(sample, 0, true);
            QThread::msleep(50);
            read(sample, 0, true);
        }
    }
    return config;
}

bool BrovaDAQ_private::sendConfig(SensorConfig c)
{
    // Nothing can take a configuration: fail at once, queue nothing.
    if (!isOpen())
        return false;
    BrovaPackage sample;
    BrovaPackage6D sample6D;
    if (version == BROVA_STREAM_6AXIS || version == BROVA_FRAMED_6AXIS)
        read6D(sample6D, false);
    else if (version != BROVA_NONE)
        read(sample, 0, false);

    if (isFramedVersion(version)) {
        static const unsigned char speedCodes[4] = {1, 3, 10, 33};
        static const unsigned char filterCodes[4] = {0, 2, 3, 4};
        const unsigned char data[2] = {speedCodes[(c.value >> 3) & 3], filterCodes[(c.value >> 1) & 3]};
        send170(50, 2, data);
    } else {
        readerThread.writeByte(static_cast<char>(c.value));
        for (int poll = 0; poll < 200; ++poll) {
            if (readerThread.isConfWritten())
                break;
            QThread::msleep(10);
        }
    }
    QThread::msleep(50);
    const SensorConfig r = getConfig();
    return ((r.value ^ c.value) & 0x1E) == 0;
}

void BrovaDAQ_private::send170(int address, int n, const unsigned char* data)
{
    const int count = std::max(0, std::min(n, ReaderThread::pendingCapacity - 6));
    unsigned char frame[ReaderThread::pendingCapacity];
    frame[0] = 0xAA;
    frame[1] = static_cast<unsigned char>((address >> 8) & 0xFF);
    frame[2] = static_cast<unsigned char>(address & 0xFF);
    frame[3] = static_cast<unsigned char>(count & 0xFF);
    if (count > 0)
        std::memcpy(frame + 4, data, static_cast<size_t>(count));
    appendChecksum(frame, 4 + count);
    readerThread.writeByteArray(frame, count + 6);
}

void BrovaDAQ_private::send171(int address, int count)
{
    unsigned char frame[6] = {0xAB, static_cast<unsigned char>((address >> 8) & 0xFF),
                              static_cast<unsigned char>(address & 0xFF), static_cast<unsigned char>(count & 0xFF), 0, 0};
    appendChecksum(frame, 4);
    readerThread.writeByteArray(frame, 6);
    QThread::msleep(2);
}

namespace {

// Speed and filter codes of a configuration reply, as the handshake maps them.
int handshakeSpeedHz(int code)
{
    switch (code) {
    case 1: return 1000;
    case 3: return 333;
    case 33: return 30;
    default: return 100;
    }
}

// 500, 5 and 1 Hz have no place in the configuration byte: setFilter leaves
// the filter field as it was for them.
int handshakeFilterHz(int code)
{
    static const int hz[7] = {0, 500, 150, 50, 15, 5, 1};
    return code >= 0 && code <= 6 ? hz[code] : 15;
}

const char kConfigReadRequest[6] = {'\xAB', '\x00', '\x32', '\x06', '\x00', '\xE3'};
const char kRegister55On[7] = {'\xAA', '\x00', '\x37', '\x01', '\x0A', '\x00', '\xEC'};
const char kRegister55Off[7] = {'\xAA', '\x00', '\x37', '\x01', '\x00', '\x00', '\xE2'};
const char kSpeedCode10[7] = {'\xAA', '\x00', '\x32', '\x01', '\x0A', '\x00', '\xE7'};

// Runs fn on a short-lived QThread and waits for it. Qt SerialPort's socket
// notifiers must live on a thread that Qt started; a host's own thread (or a
// plain std::thread) has none, and Qt would print a warning for it.
template <class Fn>
void runOnQtThread(Fn fn)
{
    std::unique_ptr<QThread> worker(QThread::create(std::move(fn)));
    worker->start();
    worker->wait();
}

} // namespace

bool BrovaDAQ_private::scanConfigurationReply(const QByteArray& reply, SensorConfig& result)
{
    // Every AA 00 32 with at least nine bytes from it counts; the last one
    // decides. Its length byte and checksum are not examined.
    bool found = false;
    const auto* b = reinterpret_cast<const uint8_t*>(reply.constData());
    for (int p = 0; p + 8 < reply.size(); ++p) {
        if (b[p] == 0xAA && b[p + 1] == 0x00 && b[p + 2] == 0x32) {
            result.setMode(b[p + 8]);
            result.setFilter(handshakeFilterHz(b[p + 5]));
            result.setSpeed(handshakeSpeedHz(b[p + 4]));
            found = true;
        }
    }
    return found;
}

SensorConfig BrovaDAQ_private::configure170(const char* name, bool& answered, bool flag)
{
    answered = false;
    SensorConfig result;
    const QString portPath = QString::fromLocal8Bit(name);
    const int rate = baudRate;
    bool found = false;

    runOnQtThread([&]() {
        QSerialPort port;
        port.setPortName(portPath);
        if (!port.open(QIODevice::ReadWrite) || !ReaderThread::claimPort(port))
            return;
        port.setDataBits(QSerialPort::Data8);
        port.setStopBits(QSerialPort::OneStop);
        port.setParity(QSerialPort::NoParity);
        port.setFlowControl(QSerialPort::NoFlowControl);
        port.setBaudRate(rate, QSerialPort::AllDirections);

        port.waitForReadyRead(33);
        QElapsedTimer timer;
        timer.start();
        do {
            port.write(kConfigReadRequest, sizeof kConfigReadRequest);
            port.waitForBytesWritten(100);
            // A reply may already sit in Qt's buffer, pulled in while the
            // request was being written: take what is there.
            if (port.bytesAvailable() == 0)
                port.waitForReadyRead(100);
            const QByteArray reply = port.readAll();
            QThread::msleep(50);
            found = scanConfigurationReply(reply, result);
        } while (!found && timer.elapsed() < 500);

        port.write(flag ? kRegister55On : kRegister55Off, 7);
        port.waitForBytesWritten(100);
        port.write(kSpeedCode10, sizeof kSpeedCode10);
        port.waitForBytesWritten(100);
        port.waitForReadyRead(250);
        if (port.bytesAvailable() == 0)
            found = false;
        port.close();
    });

    answered = found;
    return result;
}
