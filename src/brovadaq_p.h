// BrovaDAQ_private: the acquisition engine behind BrovaDAQ. Internal to the
// library (not installed).
//
// It embeds the reader thread, holds the frame state of both stream parsers
// (kept between parser runs, so a frame may be split across two read calls,
// and across close and open), the zero offsets and the device's configuration.
// Its members are not locked: one engine serves one calling thread at a time;
// the only state shared with the reader thread lives inside ReaderThread.
//
// The engine's code is split by subject:
//   brovadaq.cpp         the facade, open and close, status queries, offsets
//   brovadaq_parser.cpp  both stream parsers and their frame state
//   brovadaq_read.cpp    the read operations
//   brovadaq_config.cpp  the configuration exchange
//   brovadaq_clock.cpp   the sample instants
//   brovadaq_flags.cpp   the samples' status flags (fields at their rails)
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

#include "brovadaq.h"
#include "brovadaq_clock_p.h"
#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brovaports.h"
#include "brovasensor.h"
#include "readerthread.h"
#include "sensorconfig.h"

// Where the stream parsers stand within the frame being read: everything a
// parser run carries over to the next one, so that a frame may be split
// across two read calls, and across close and open. A peek run parses from
// here and puts it back, so that only a consuming run moves the frame on;
// what a peek learns from complete frames (version, channels, configuration,
// the first-frame flags) lives in the engine and is kept.
struct BrovaFramePosition {
    static constexpr int payloadCapacity = 121;
    // Register of the addressed frame now being parsed.
    enum class FrameRegister : uint8_t { Data, ConfigReply, Other };
    // The parsers' part of the statistics, since open: a consuming run
    // counts the frames that a peek saw.
    struct ParseCounts {
        uint64_t framesAccepted = 0;
        uint64_t checksumFailures = 0;
        uint64_t framesMalformed = 0;
        uint64_t bytesUnparsed = 0;
    };

    uint32_t parserState = 0;  // hunting for a frame header
    uint8_t currentByte = 0;
    int32_t payloadIndex = 0;
    int32_t payloadLength = 0;
    uint16_t payload[payloadCapacity] = {};
    uint16_t chksumSum = 0;
    uint16_t chksumRecv = 0;
    BrovaPackage frameSamples[4];
    BrovaPackage6D frameSample6D;
    FrameRegister frameRegister = FrameRegister::Data;
    ParseCounts parsed;
    // The sample instants: the clock model, and what broke the frame count
    // (failed and malformed frames, bytes dropped at the reader's cap) as of
    // the last frame stamped.
    BrovaClockModel clock;
    uint64_t failuresSeen = 0;
    uint64_t droppedSeen = 0;
};

class BrovaDAQ_private : private BrovaFramePosition {
public:
    static constexpr int maxChannels = 16;

    static bool isFramedVersion(brova_version v)
    {
        return v == BROVA_FRAMED_3AXIS || v == BROVA_FRAMED_4CH || v == BROVA_FRAMED_6AXIS;
    }

    // One queue per channel, oldest sample first; they live for one call.
    using ChannelQueues = std::vector<BrovaPackage>[maxChannels];
    using Queue6D = std::vector<BrovaPackage6D>;

    BrovaDAQ_private();
    ~BrovaDAQ_private();

    bool open(BPort port, bool flag, int baudRate);
    void close();
    bool isOpen();
    brova_version getVersion();
    int getSize();
    int getSensorSize();
    int getBytesPerRead();
    bool isChksumOK();
    char* getPortName();
    bool isVirtual();

    SensorConfig getConfig();
    bool sendConfig(SensorConfig c);

    int read(BrovaPackage& pkg, int channel, bool peek);
    int readAll(BrovaPackage*& arr, bool peek);
    int readArray(int (&values)[8], bool peek);
    int readVirtual(BrovaPackage (&pkgs)[maxChannels], bool peek);
    int readVirtualArray(int (&values)[128], bool peek);
    int read6D(BrovaPackage6D& pkg, bool peek);
    int readAll6D(BrovaPackage6D*& arr, bool peek);
    int read6Axis(int (&values)[6], bool peek);
    int readAll6Axis(int*& values, bool peek);

    bool zero(int channel);
    void zeroAll();
    bool unzero(int channel);
    void unzeroAll();
    BrovaPackage getOffset(int channel);
    BrovaStatistics getStatistics();

    int getStamps(int64_t* stamps, int capacity);
    int getFlags(uint32_t* flags, int capacity);
    double getEstimatedRate();

private:
    friend struct BrovaEngineAccess;  // white-box tests

    // How the frame now being read ends, for the addressed-frame states.
    // Dropped: its length byte announced more than the payload store holds;
    // hunting resumes with the byte after its 0xAA.
    enum class FrameEnd { None, Accepted, Rejected, Dropped };

    SensorConfig configure170(const char* portName, bool& answered, bool flag);
    // Reads the configuration out of one handshake reply into result; true
    // when the reply held a configuration reply.
    static bool scanConfigurationReply(const QByteArray& reply, SensorConfig& result);
    void send170(int address, int n, const unsigned char* data);
    void send171(int address, int count);
    int smProcess(ChannelQueues& queues, bool keep);
    int smProcess6D(Queue6D& queue, bool keep);
    bool setOffset(BrovaPackage offset, int channel);
    static BrovaPackage calc6axisVector(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4);
    static BrovaPackage calc6axisTorque(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4);
    // Fx, Fy, Fz, Tx, Ty, Tz of one instant of four channels into out[0..5].
    static void writeWrench(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4, int* out);
    friend class BrovaDAQ;  // wrenchOf

    ChannelQueues& freshQueues();
    Queue6D& freshQueue6D();

    // Puts the frame position back when a peek run ends.
    class PeekGuard;

    // The bytes (and their arrivals) for one parser run; forgets the last
    // run's frames.
    void takeBytes(bool keep, int& status);
    // A frame was completed by the byte at parseIndex: noted for its stamp,
    // with the status flags of its sample instant.
    void markFrame(uint32_t flags);
    // Gives the frames of the run their stamps, in order (frameStamps).
    void stampFrames();
    // The stamps (and flags) the read call hands out: count of them from
    // frameStamps[first] (frameFlags[first]).
    void handOutStamps(int first, int count);
    void handOutNewestStamp() { handOutStamps(static_cast<int>(frameStamps.size()) - 1, frameStamps.empty() ? 0 : 1); }

    // Rail flags (brovaflags.h) of a frame's sample instant, from the fields
    // as received: of the stream frames in frameSamples (channels 0 ..
    // channels-1; vector mode: the four-channel frame's vector blocks) and
    // frameSample6D; of a data frame's payload, from the engine's version,
    // configuration and payload length.
    uint32_t streamRailFlags(int channels, bool vectorMode) const;
    uint32_t sixAxisStreamRailFlags() const;
    uint32_t dataFrameRailFlags() const;
    // The rail flag of the word at payload offset at, when the frame carried
    // it: vector (signed or not) or element; channel -1 for none.
    uint32_t payloadRail(int at, bool isSigned, bool vector, int channel) const;

    // Parser helpers shared by both state machines.
    void setChannels(int count);
    void ensureEntries(int count);
    void raiseFirstFrame();
    // State 0: a byte 0xAA starts an addressed frame; 0x37 starts a stream
    // frame, except under the framed versions, whose kind is never learnt
    // from the stream.
    void huntByte();
    FrameEnd addressedByte();
    // A dropped frame's register and length bytes, for hunting again.
    void droppedHeader(uint8_t (&bytes)[3]) const;
    // Flags and configuration at the end of an addressed frame; true when it
    // was an accepted data frame, which the caller's parser decodes.
    bool endAddressedFrame(FrameEnd end);
    // The payload length of a data frame of the kind opened (0: not framed).
    int dataPayloadLength() const;
    // Stores one payload byte; true when it was the last one.
    bool payloadByte(uint8_t b);
    void applyConfigReply();
    void applyStatusWord();
    // Payload byte at, or 0 beyond the frame's length: a short frame never
    // shows another frame's bytes.
    uint16_t payloadAt(int at) const;
    int32_t word(int at, bool isSigned) const;
    void decodeDataFrame(ChannelQueues& queues);
    void decodeDataFrame6D(Queue6D& queue);
    bool otherStateByte(ChannelQueues& queues);
    void sixAxisByte(Queue6D& queue);
    // Configuration and checksum bytes of the stream frames.
    void streamFrameEdge(ChannelQueues& queues);
    void streamFrameEdge6Axis(Queue6D& queue);

    ReaderThread readerThread;
    QList<BrovaSensor> sensors;
    BrovaSensor6D sensor6D;
    int32_t baudRate;
    char portName[BPort::textSize];
    brova_version version;
    SensorConfig config;
    bool chksumOK;
    int32_t size;
    int32_t sensorSize;
    QByteArray rxBytes;
    bool firstFrameSeen;
    bool deviceResponded;
    bool virtualSensor;
    ChannelQueues channelQueues;
    Queue6D queue6D;

    // One parser run's frames and their stamps; storage kept between runs.
    struct FrameMark {
        int32_t at;          // index in rxBytes of the byte that completed it
        uint64_t failures;   // failed and malformed frames so far
        int32_t rate;        // the configured rate, per second
    };
    ReaderThread::Arrivals rxArrivals;
    std::vector<FrameMark> frameMarks;
    std::vector<int64_t> frameStamps;
    std::vector<uint32_t> frameFlags;    // each frame's status flags (brovaflags.h)
    std::vector<int64_t> frameArrivals;  // each frame's arrival, for measuring the model
    int32_t parseIndex = 0;
    int32_t stampsFirst = 0;
    int32_t stampsCount = 0;
};
