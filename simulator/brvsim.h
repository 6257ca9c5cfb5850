// brvsim: simulated force sensors behind a real pseudo-terminal.
//
// A Device opens a pty pair in raw mode; the slave path (portName(), e.g.
// /dev/pts/7) is the port name a host opens with QSerialPort. One serving
// thread per device reads what the host writes and sends what the device
// sends. Frames flow only while a host has the slave open; the device keeps
// serving, with its configuration and registers, across any number of host
// close/reopen cycles, and drops what it had not delivered when the host
// closes, so a host that reopens never reads frames from before.
//
// Kinds (constructor argument):
//   68  three-axis stream frames (37 44, 29 bytes)
//   94  four-channel stream frames (37 5E, 45 bytes raw / 37 bytes vector)
//   95  six-axis stream frames (37 5F, 57 bytes)
//   31  framed, one three-axis channel: data frames AA 07 08 1C .. (payload v6, 28 bytes)
//   34  framed, four channels: data frames AA 07 08 6C .. (payload v7, 108 bytes)
//   64  framed, six-axis: data frames AA 07 08 60 .. (payload v8, 96 bytes)
//
// Streaming kinds take every byte received as the new configuration byte
// (default 0xB0) and report it in every following frame; the frame rate
// follows its speed field (1000/333/100/30 per second) unless setRate() gives
// one. Framed kinds answer read requests (AB reg reg count sum sum) with an
// addressed frame of the same register whose payload byte k is register
// reg + k (the identification block 10..25 holds the kind code at 10 and the
// identification text at 18..24), and take write requests (AA reg reg n data
// sum sum) to the configuration block 50..55: register 50 takes the speed
// codes 1, 3, 10, 33 (default 10), register 51 the filter codes 0..6
// (default 0); a code outside these leaves the register as it was; registers
// 52..55 take any value (54 is the mode, 0 raw, else vector). Requests with a
// bad checksum are ignored. Write requests are not acknowledged. Replies are
// sent at once, between two data frames, never inside one.
//
// Value mapping, per frame, from the programmed load (noise off):
//   elementReadings(load) gives s1..s4 of a channel (see brvsim_wire.h):
//     x = s1 - s3 = fx, y = s4 - s2 = fy, z = (s1+s2+s3+s4)/4 = fz exactly.
//   Where a frame carries s5..s8 (three-axis stream frame, data payloads
//   v6/v7/v8) they repeat s1..s4, so a host's second vector equals the first.
//   Vector fields: X = fx, Y = fy, Z = fz (the low 16 bits; a host reading Z
//   as signed, i.e. framed vector mode, sees fz - 65536 for fz > 32767).
//   68: X Y Z = fx fy fz of channel 0, aux, s1..s8.
//   94: raw mode: per channel s1..s4 and aux; vector mode: X Y Z and aux.
//   95: Fx..Tz = the six-axis load; aux and s1..s4 of unit u from channel u.
//   31: v6 payload of channel 0; 34: v7 payload of channels 0..3;
//   64: v8 payload: Fx..Tz = the six-axis load, units' s1..s8 and aux from
//       channels 0..3.
//   Payload bytes 0..1 of data frames: a 16-bit data frame counter; 2..3: the
//   status word (setStatusWord, default 0); the word after s4: 0.
//   Default load: all zero, aux 0.
//   Noise (setNoise): each frame, every load component (fx, fy, fz of each
//   channel, each of Fx..Tz) gets an integer in [-a, a] from a std::mt19937
//   seeded with the given seed, then values are clamped to their fields
//   (x, y and Fx..Tz to -32768..32767, readings and z to 0..65535).
//
// Physical loads (setForce, setWrench): a channel given a force in N (the
// six-axis sensor a wrench in N and N*m) sends, from the next frame on, the
// counts its true calibration makes of it, G F + b, rounded, with noise
// added, clamped to the fields (brvsim_calibration.h); the element readings
// follow from (x, y, z) as above. setLoad / setLoad6 take the channel (the
// six-axis load) back to loads in counts. The calibration is
// makeCalibration(1) until set otherwise.
#pragma once

#include "brvsim_calibration.h"
#include "brvsim_capture.h"
#include "brvsim_wire.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brvsim {

class Device {
public:
    // Throws std::invalid_argument for a kind code other than 68, 94, 95, 31, 34, 64.
    explicit Device(int kind);
    ~Device();  // stops the serving thread and closes the pty
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens a new pty and starts serving; false if the pty could not be made
    // or the device is already serving. After stop() or hangUp() a new start()
    // is a replug: a new port name, the device state kept.
    bool start();
    // Stops serving and closes the pty: on the wire the same as hangUp().
    void stop();
    bool running() const;
    std::string portName() const;  // the slave path; empty before start()
    int kind() const { return kind_; }

    // ---- content (thread-safe, any time) ----
    void setRate(double framesPerSecond);  // 0: by the configuration (the default)
    // Channel 0..3 (units of a six-axis device). False, and nothing changed,
    // when the channel does not exist, fx or fy lies outside -32768..32767, or
    // a reading would fall outside 0..65535 (see loadFitsReadings).
    bool setLoad(int channel, const Load3& load);
    void setLoadAll(const Load3& load);  // every channel; ignored unless it fits
    // False, and nothing changed, when a component lies outside -32768..32767.
    bool setLoad6(const Load6& load);
    void setAux(int channel, std::uint16_t aux);
    // Physical loads, through the calibration. False, and nothing changed,
    // when the channel does not exist (setWrench: the kind is not six-axis)
    // or a value is not finite. Any size is taken: the counts are clamped.
    bool setForce(int channel, const Force3& newtons);
    bool setForceAll(const Force3& newtons);  // every channel
    bool setWrench(const Wrench& load);       // Fx, Fy, Fz in N, Tx, Ty, Tz in N*m
    // The true calibration. setCalibration takes every block as it is;
    // setChannelGain and setSixAxisGain refuse (false) a channel the device
    // does not have, a kind without a six-axis sensor, a singular gain
    // matrix or a bias that is not finite.
    void setCalibration(const Calibration& cal);
    bool setChannelGain(int channel, const Gain3& gain);
    bool setSixAxisGain(const Gain6& gain);
    Calibration calibration() const;
    void setNoise(int amplitude, std::uint32_t seed = 1);  // amplitude 0: off
    // Saturation above a load (0: off): every element reading above
    // threshold counts reads 65535, its converter's rail; a channel (unit)
    // with an element at the rail sends its vector at the rails too (x, y
    // at 32767 or -32768 by their sign, z at 65535, or 32767 where it is
    // signed); a six-axis component beyond +-threshold reads its rail.
    void setSaturation(int threshold);
    void setStatusWord(std::uint16_t status);              // framed kinds
    void setConfigByte(std::uint8_t config);               // streaming kinds, as if the command byte came
    // Framed kinds: set a register 0..255 directly (no code check); e.g.
    // setRegister(kRegMode, 1) for vector mode.
    void setRegister(std::uint16_t reg, std::uint8_t value);
    void setIdentText(const std::string& text);  // seven characters; default "SIM0001"
    // true: every channel's aux reading carries the number of the data frame
    // (16 bits, counting every frame built, one more per frame), so a host
    // can tell a lost sample from the numbers it reads. false (the default):
    // the aux readings of setAux.
    void setAuxSequence(bool on);

    // ---- faults (thread-safe, any time) ----
    // The next n frames (data frames, stream frames and replies alike) go out
    // with the low checksum byte inverted.
    void corruptNextFrames(int n);
    // Sends the bytes as they are, at the next frame boundary (at once when
    // the host has the port open; dropped when it has not).
    void sendRaw(const Bytes& bytes);
    // The next `frames` frames (of any sort) are written in pieces cut at the
    // given offsets (ascending, inside the frame), with `pause` between the
    // pieces, so a host reads each piece separately. frames < 0: until cleared
    // with frames = 0.
    void splitNextFrames(const std::vector<std::size_t>& offsets, int frames,
                         std::chrono::microseconds pause = std::chrono::milliseconds(3));
    // The same, one byte per piece.
    void byteByByteNextFrames(int frames, std::chrono::microseconds pause = std::chrono::microseconds(500));
    // Sends nothing for the given time from now: no frames, no replies (writes
    // still take effect; requests still recorded). The frame schedule restarts
    // afterwards, with no burst to catch up.
    void silence(std::chrono::milliseconds duration);
    // Before start(): serve these chunks instead of the frames the device
    // would make. At every host open the replay begins again: chunk k goes
    // out as one write at its time (micros) after the open. After the last
    // chunk nothing more is sent but replies to requests (framed kinds), which
    // are answered as always. An empty list: frames as usual.
    void setReplay(std::vector<CaptureChunk> chunks);
    // true: a record of every data frame the device takes is kept, for
    // measuring a host's latency and checking its timestamps; sendLog()
    // takes the records made so far, in frame order. A record is made when
    // the frame's fate is known: written, dropped, or lost.
    void setSendLog(bool on);
    enum class Fate : std::uint8_t {
        Sent,       // written to the pseudo-terminal whole
        Corrupted,  // written, with the checksum broken (corruptNextFrames)
        Dropped,    // taken but never sent (dropEvery, dropNextFrames)
        Lost,       // taken, but the host closed the port (or a silence began) before it was written
    };
    struct Sent {
        std::uint16_t number;  // the frame's number, as setAuxSequence puts it into aux
        // When its last byte was written to the pseudo-terminal; the epoch
        // (time_point{}) when it never was (Dropped, Lost).
        std::chrono::steady_clock::time_point at;
        // The true instant: when the device took the sample, its place in
        // the device's frame schedule (steady clock, i.e. CLOCK_MONOTONIC),
        // whatever the bridge, jitter or a late serving thread did afterwards.
        std::chrono::steady_clock::time_point taken{};
        Fate fate = Fate::Sent;
    };
    std::vector<Sent> sendLog();

    // ---- device clock and USB-serial bridge (thread-safe, any time) ----
    // The device's clock runs `ppm` parts per million fast (> 0) or slow
    // (< 0): frame k of a run is taken at t0 + k / (rate * (1 + ppm * 1e-6))
    // exactly, computed from k (no accumulated rounding). A run of the
    // schedule starts at a host's open, after a silence, at a rate change
    // (from the next frame's instant), and after the serving thread fell more
    // than 100 ms behind (as after SIGSTOP). currentRate() stays the nominal
    // rate. Values outside -100000..100000 are clamped.
    void setClockPpm(double ppm);
    // A USB-serial bridge between the device and the pseudo-terminal, as an
    // FTDI chip does it: the bytes the device sends (frames, replies, raw
    // bytes, replayed chunks) are held until a packet of `packetBytes` bytes
    // is full (62 on FTDI), which goes out at once, or until `latency` (16 ms
    // on FTDI by default, 1 ms when lowered) has passed since the first byte
    // of a partly filled packet entered it, when the partial packet goes out;
    // each packet is one write to the pty. A frame enters the bridge at its
    // true instant, so how frames are grouped into packets depends on the
    // schedule only, not on the serving thread's punctuality. packetBytes 0
    // (the default): no bridge, each frame written when taken. The bytes held
    // are dropped when the host closes the port. With a bridge or jitter,
    // splitNextFrames and byteByByteNextFrames do not apply.
    void setBridge(std::size_t packetBytes, std::chrono::microseconds latency = std::chrono::milliseconds(16));
    // Every delivery (a packet, or a frame or reply without a bridge) goes out
    // after an extra delay drawn uniformly from 0..maxDelay (std::mt19937_64
    // seeded with `seed`), but never before the delivery ahead of it, so no
    // bytes are reordered. maxDelay 0 (the default): none.
    void setJitter(std::chrono::microseconds maxDelay, std::uint64_t seed = 1);
    // Fault: every n-th data frame from now on (the n-th, 2n-th, ...) is taken
    // (it has its number) but never sent; n = 0: off.
    void dropEvery(int n);
    // Fault: the next n data frames are taken but never sent.
    void dropNextFrames(int n);
    // Framed kinds: replies to read requests go out this long after the
    // request came (0, the default: at once).
    void setReplyDelay(std::chrono::milliseconds delay);
    // false: requests and command bytes are recorded but neither answered nor
    // applied; true (the default): normal service.
    void setAnswering(bool answering);
    // Answer as another kind code (0: the device's own). Framed kinds put the
    // code into the identification reply; streaming kinds send the frames of
    // that streaming kind (68, 94, 95) or, for any other code, their own frame
    // body under the kind byte (code & 0xFF).
    void answerAs(int kindCode);
    // Unplug: closes the pty master, so the slave path disappears and the
    // host's next read fails (error/hang-up) or times out.
    void hangUp();

    // ---- observation ----
    Bytes received() const;  // every byte received from the host, in order, since the last clear
    void clearReceived();
    bool waitForBytes(std::size_t n, std::chrono::milliseconds timeout) const;
    bool waitForSequence(const Bytes& seq, std::chrono::milliseconds timeout) const;
    // Waits until the device has seen `count` host opens in all.
    bool waitForHostOpens(int count, std::chrono::milliseconds timeout) const;
    std::uint64_t framesSent() const;    // data and stream frames written
    std::uint64_t repliesSent() const;   // replies to read requests written
    std::uint64_t framesDropped() const; // data frames not sent because the host did not read
    std::uint64_t requestsRejected() const;  // requests dropped for a bad checksum
    int hostOpens() const;
    bool hostOpen() const;
    // Streaming kinds: the current configuration byte. Framed kinds: the byte
    // a host would rebuild from the configuration block (state 5).
    std::uint8_t configByte() const;
    std::uint8_t registerValue(std::uint16_t reg) const;  // framed kinds; 0 outside 0..255
    double currentRate() const;  // frames per second now in force
    double cpuSeconds() const;   // CPU time used by the serving thread (last run, if stopped)

private:
    struct Impl;
    const int kind_;
    std::unique_ptr<Impl> d_;
};

}  // namespace brvsim
