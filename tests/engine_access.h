// White-box access to the acquisition engine for the parser tests: bytes go
// in through the reader thread's own append step, samples come out of the
// parsers. Nothing here opens a port.
#pragma once

#include <QByteArray>

#include <vector>

#include "brovadaq_p.h"

struct BrovaEngineAccess {
    using Queues = BrovaDAQ_private::ChannelQueues;
    using Queue6D = BrovaDAQ_private::Queue6D;

    // The bytes arrive as one chunk, at stamp (ns; now when 0).
    static void deliver(BrovaDAQ_private& e, const std::vector<uint8_t>& bytes, int64_t stamp = 0)
    {
        e.readerThread.appendChunk(QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())),
                                   stamp);
    }
    // The stamps of the frames the last parser run made, in order.
    static const std::vector<int64_t>& stamps(BrovaDAQ_private& e) { return e.frameStamps; }
    // ... and the arrivals of their chunks.
    static const std::vector<int64_t>& arrivals(BrovaDAQ_private& e) { return e.frameArrivals; }
    // ... and their status flags.
    static const std::vector<uint32_t>& flags(BrovaDAQ_private& e) { return e.frameFlags; }
    // The rail flags of one six-axis stream frame's sample (for bench_filter).
    static uint32_t sixAxisRails(BrovaDAQ_private& e, const BrovaPackage6D& s)
    {
        e.frameSample6D = s;
        return e.sixAxisStreamRailFlags();
    }
    static void silent(BrovaDAQ_private& e) { e.readerThread.markSilent(); }
    // An empty byte list parses what the reader already holds.
    static int parse(BrovaDAQ_private& e, const std::vector<uint8_t>& bytes, Queues& q, bool keep = false)
    {
        if (!bytes.empty())
            deliver(e, bytes);
        return e.smProcess(q, keep);
    }
    static int parse6D(BrovaDAQ_private& e, const std::vector<uint8_t>& bytes, Queue6D& q, bool keep = false)
    {
        if (!bytes.empty())
            deliver(e, bytes);
        return e.smProcess6D(q, keep);
    }
    // Puts the engine where open leaves it: one channel entry, no frame seen.
    static void opened(BrovaDAQ_private& e, brova_version v = BROVA_NONE)
    {
        e.version = v;
        e.sensors.clear();
        e.sensors.append(BrovaSensor());
        e.firstFrameSeen = e.deviceResponded = false;
    }
    // What close and the next open do to the channels, and nothing else: the
    // frame state is kept.
    static void reopen(BrovaDAQ_private& e)
    {
        e.sensorSize = 0;
        e.sensors.clear();
        e.sensors.append(BrovaSensor());
        e.firstFrameSeen = e.deviceResponded = false;
    }
    static brova_version& version(BrovaDAQ_private& e) { return e.version; }
    static SensorConfig& config(BrovaDAQ_private& e) { return e.config; }
    static bool chksumOK(BrovaDAQ_private& e) { return e.chksumOK; }
    static int sensorSize(BrovaDAQ_private& e) { return e.sensorSize; }
    static bool virtualSensor(BrovaDAQ_private& e) { return e.virtualSensor; }
    static bool deviceResponded(BrovaDAQ_private& e) { return e.deviceResponded; }
    static int channels(BrovaDAQ_private& e) { return e.sensors.size(); }
    static uint32_t parserState(BrovaDAQ_private& e) { return e.parserState; }
    static bool setOffset(BrovaDAQ_private& e, const BrovaPackage& p, int c) { return e.setOffset(p, c); }
    static bool scanReply(const std::vector<uint8_t>& bytes, SensorConfig& c)
    {
        return BrovaDAQ_private::scanConfigurationReply(
            QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())), c);
    }
    static BrovaPackage force(BrovaDAQ_private&, BrovaPackage (&p)[4]) { return BrovaDAQ_private::calc6axisVector(p[0], p[1], p[2], p[3]); }
    static BrovaPackage torque(BrovaDAQ_private&, BrovaPackage (&p)[4]) { return BrovaDAQ_private::calc6axisTorque(p[0], p[1], p[2], p[3]); }
};

