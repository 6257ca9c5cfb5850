/// \file
/// BrovaDAQ: one sensor device, opened on a serial port, streaming samples.
///
/// A BrovaDAQ serves one calling thread at a time; every operation runs on the
/// caller's thread (the parsers included). While open, a reader thread owned by
/// the object collects the device's bytes; every read call parses what arrived
/// since the previous call. Nothing is thrown and nothing is printed but the
/// debug lines "Checksum error!" (a three-axis frame failed its checksum) and
/// "sensorSize <n>" (from unzeroAll).
///
/// \anchor brv_read_status
/// Read status codes shared by the read operations:
///   - -2  the device is not open (the reader thread is not running)
///   - -3  read: the channel is not served; read6Axis/readAll6Axis: the device
///       is not a four-channel one
///   - -1  the reader's buffer hit its cap and dropped its oldest bytes: nothing
///       was parsed; or a three-axis read met a six-axis frame header: the
///       samples before it were parsed (read and readVirtual hand out the
///       newest of them; readAll leaves arr untouched) and the rest was not
///   - -4  the reader stopped after 550 ms without data; nothing parsed
///   - >=0 the number of samples (frames) parsed by this call
#pragma once

#include <cstdint>

#include "brovaflags.h"
#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brovaports.h"
#include "brv_global.h"
#include "sensorconfig.h"

class BrovaDAQ_private;

/// What the library saw of one device since it was last opened: a plain record
/// of five unsigned 64-bit counts, 40 bytes, handed out by value
/// (BrovaDAQ::getStatistics).
struct BrovaStatistics {
    uint64_t bytesReceived;     ///< bytes the reader thread received from the port
    uint64_t framesAccepted;    ///< frames of any kind whose checksum was good
    uint64_t checksumFailures;  ///< frames whose checksum failed
    uint64_t framesMalformed;   ///< frames dropped at a length byte no frame has,
                                ///< and data frames shorter than the layout of the
                                ///< kind opened (read with the missing fields 0)
    uint64_t bytesDiscarded;    ///< bytes received but never parsed: dropped at the
                                ///< reader's 100000-byte cap, or taken by a read
                                ///< that did not parse them (status -1 or -4)
};

static_assert(sizeof(BrovaStatistics) == 40, "BrovaStatistics layout is fixed");

/// One sensor device, opened on a serial port, streaming samples.
///
/// One calling thread at a time; a reader thread of its own collects the
/// device's bytes while it is open, and every read call parses what arrived
/// since the previous one (threads and debug output: brovadaq.h). The read
/// calls return a \ref brv_read_status "read status".
class BRV_EXPORT BrovaDAQ {
public:
    BrovaDAQ();  ///< A closed device.
    /// Closes the device first if it is still open (waits for the reader).
    ~BrovaDAQ();
    BrovaDAQ(const BrovaDAQ&) = delete;
    BrovaDAQ& operator=(const BrovaDAQ&) = delete;

    /// Opens the device named by port.portName at baudRate bit/s; port.deviceName
    /// starts with the kind code ("31", "34", "64", "68", "94", "95"). For the
    /// framed kinds 31, 34, 64 a configuration handshake runs first; flag picks
    /// the value it writes to the device's register 55 (10 when true, 0 when
    /// false); any other kind is recognised from its frame headers. True once
    /// the device delivered a frame with a good checksum. False at once, with
    /// the running session untouched, when the object is already open.
    bool open(BPort port, bool flag, int baudRate);
    /// Stops the reader thread, waits for it, forgets the channels and their
    /// offsets. Harmless on a closed device.
    void close();
    /// True while the device is open (its reader thread runs); false after
    /// close() and after the reader stopped (read status -4).
    bool isOpen();

    /// The protocol recognised on the device (BROVA_NONE before the first frame).
    brova_version getVersion();
    int getSize();          ///< bytes taken by the last parse
    int getSensorSize();    ///< channels: 0 unknown/closed, 1, or 4
    int getBytesPerRead();  ///< 29, 45 or 57 for versions 3, 4, 5; else 1
    bool isChksumOK();      ///< false after a frame whose checksum failed
    /// The port name of the last open, NUL-terminated, cut to 24 bytes. The text
    /// is owned by this object; it stays valid as long as the object and is
    /// overwritten by the next call. Do not free it.
    char* getPortName();
    /// Waits up to about 600 ms for a first frame, then tells whether the
    /// device streams four channels.
    bool isVirtual();

    /// Refreshes the configuration from the device and returns it; on a device
    /// that is not open, the last one known, and nothing is asked.
    SensorConfig getConfig();
    /// Sends the configuration (after a 20 ms pause); true when the device then
    /// reports the requested speed and filter. False, with nothing sent or left
    /// to send, when the device is not open.
    bool sendConfig(SensorConfig config);

    /// \name Reads
    /// Every read parses the bytes that arrived since the previous read and
    /// returns a \ref brv_read_status "read status" (the number of samples
    /// parsed, or a negative code). peek false takes the bytes out of the
    /// reader's buffer; peek true parses a copy and leaves them for the next
    /// read, which parses them again.
    ///@{

    /// Newest sample of one channel (pkg untouched when there is none).
    int read(BrovaPackage& pkg, int channel, bool peek);
    /// Every sample since the last call, channel-major: channel c's k-th sample
    /// is arr[c * n + k] for the returned n. arr must be null or an array from
    /// an earlier readAll (or brova::alloc::reallocPackArray); it is resized in
    /// place of the old one, or released and set to null when no sample came.
    /// The caller owns the array and releases it with delete[].
    int readAll(BrovaPackage*& arr, bool peek);
    /// s1, s2, s3, s4, x, y, z, aux of channel 0's newest sample (zeros if none).
    int readArray(int (&values)[8], bool peek);
    /// Newest sample of every channel into pkgs[0 .. sensorSize-1].
    int readVirtual(BrovaPackage (&pkgs)[16], bool peek);
    /// x, y, z, s1, s2, s3, s4, aux of each channel's newest sample at 8c.
    int readVirtualArray(int (&values)[128], bool peek);

    /// Six-axis devices: newest sample.
    int read6D(BrovaPackage6D& pkg, bool peek);
    /// Six-axis devices: every sample since the last call (arr as for readAll;
    /// released with delete[] of BrovaPackage6D).
    int readAll6D(BrovaPackage6D*& arr, bool peek);
    /// Four-channel devices read as one six-axis sensor: Fx, Fy, Fz, Tx, Ty, Tz.
    int read6Axis(int (&values)[6], bool peek);
    /// The same computation on samples the caller holds: the force and torque
    /// of one instant of a four-channel device from its channels 0..3 (for
    /// example the k-th sample of each channel of a readAll), into values as
    /// Fx, Fy, Fz, Tx, Ty, Tz.
    static void wrenchOf(const BrovaPackage& channel0, const BrovaPackage& channel1, const BrovaPackage& channel2,
                         const BrovaPackage& channel3, int (&values)[6]);
    /// One group of six per sample instant. On a device that is open with four
    /// channels, a non-null values is released with delete[] and a new array
    /// stored (zero-length, not null, when nothing came; null when the parse
    /// did not run, -1); otherwise (-2, -3) values is left as it was. The
    /// array belongs to the caller, who releases it with delete[].
    int readAll6Axis(int*& values, bool peek);
    ///@}

    /// \name Zero offsets
    /// Zero offsets: the present reading of a channel (or, on a six-axis
    /// device, of the whole sensor) becomes its zero. The offset is
    /// subtracted from every sample parsed from then on, until close().
    ///@{

    /// The channel's present reading becomes its zero (the call waits 33 ms
    /// for a sample, read with peek). False when the channel is not served,
    /// the device is not open or that read failed (-1, -4).
    bool zero(int channel);
    /// The same for every channel, or for the whole sensor on a six-axis device.
    void zeroAll();
    /// The channel's offset back to all zero; false when the channel is not
    /// served or the device is not open.
    bool unzero(int channel);
    /// Every channel's offset, and a six-axis sensor's, back to all zero
    /// (prints the debug line "sensorSize <n>"); nothing when not open.
    void unzeroAll();
    /// A copy of the channel's offset (a default package for a channel not served).
    BrovaPackage getOffset(int channel);
    ///@}

    /// The counts of this device since the last open (all zero before the
    /// first); they stay readable after close. Reads that peek do not count
    /// the frames they parse: those are counted by the read that takes them.
    BrovaStatistics getStatistics();

    /// \name Sample instants
    /// Every sample a read parses gets the instant at which
    /// the device took it, in nanoseconds of the host's CLOCK_MONOTONIC,
    /// reconstructed from when its bytes arrived: a clock model fits the
    /// device's true rate (its crystal may be off by some hundred ppm, or the
    /// device may not keep its configured rate at all) and follows the
    /// earliest arrivals, so the bursts in which a USB bridge delivers frames
    /// do not show. The stamps of one device strictly increase and are never
    /// later than the arrival of the sample's bytes. The bridge's constant
    /// part of the delay cannot be seen from the host: a stamp is the true
    /// instant plus that floor (at most the bridge's latency timer; 1 ms with
    /// the project's udev rule). This holds from the first sample after an
    /// open or a rate change: the samples of a read that arrived late (the
    /// first bytes after the port opened) take the earlier instants that the
    /// later samples of the same read show. A host that stalls (a busy
    /// machine, a stopped process) and then reads a backlog does not move the
    /// stamps: the count of samples is unbroken. When samples are known to be
    /// missing (bytes dropped at the reader's cap, a failed or malformed
    /// frame), the stamps start again from the arrivals (never earlier than
    /// an arrival less what the later samples of the same read show) and the
    /// samples that follow count the missing ones in within about 0.25 s; a
    /// device that pauses or skips a sample without a word is counted in
    /// likewise, its stamps early by the time missed until then (never late).
    /// Until the rate is established (see getEstimatedRate), a device that
    /// runs slower than configured may have stamps up to 20 ms early.
    ///@{

    /// getStamps copies the stamps of the samples the last read call handed
    /// out into stamps[0..capacity-1], oldest first: for readAll, readAll6D
    /// and readAll6Axis one per sample instant (the k-th stamp belongs to the
    /// k-th sample of every channel); for read, readArray, readVirtual,
    /// readVirtualArray, read6D and read6Axis the newest sample's. It returns
    /// how many stamps the last read handed out (0 when it handed out no
    /// sample, as after a read that returned -2, -3, -4 or -1 with nothing
    /// handed out), which may exceed capacity: then only capacity are copied.
    /// stamps may be null (capacity is then ignored) to learn the count. The
    /// array is the caller's; the library keeps no pointer to it.
    int getStamps(int64_t* stamps, int capacity);
    /// The device's sample rate as the clock model estimates it from the
    /// arrivals, whatever rate it was configured for (for example 1000.13 per
    /// second, or 970.02 for a device that runs 3 % slow); 0 while the model
    /// cannot tell it: after an open or a rate change, until fits over 1 s of
    /// samples agree on it within 0.1 % (1.25 to 1.5 s at the configured
    /// rate, 2 to 3 s for a device off it). Once non-zero it is within that
    /// 0.1 % (typically some tens of ppm), and within a few ppm after some
    /// seconds more.
    double getEstimatedRate();
    /// Nanoseconds to add to a CLOCK_MONOTONIC instant (a stamp) to get the
    /// same instant on CLOCK_REALTIME (nanoseconds since the epoch), as the
    /// clocks stand now; the system may step or slew its real-time clock.
    static int64_t getRealtimeOffset();
    ///@}

    /// Copies the status flags of the samples the last read call handed out
    /// into flags[0 .. capacity-1], oldest first, one 32-bit word per sample
    /// instant exactly as getStamps hands out stamps: for readAll, readAll6D
    /// and readAll6Axis the k-th word belongs to the k-th sample of every
    /// channel (the channel bits tell which channel had a field at its
    /// rail); for read, readArray, readVirtual, readVirtualArray, read6D and
    /// read6Axis the newest sample instant's word. The bits are those of
    /// brova_sample_flag (brovaflags.h): a read sets the rail bits; the
    /// over-range bits are never set here (a calibration's apply adds them).
    ///
    /// @param flags     the caller's array, or null (capacity is then
    ///                  ignored) to learn the count; the library writes into
    ///                  it during the call only and keeps no pointer to it.
    /// @param capacity  how many words flags can take.
    /// @return how many flags the last read handed out, the same count as
    ///         getStamps (0 after a read that handed out no sample, as after
    ///         one that returned -2, -3, -4, or -1 with nothing handed out);
    ///         it may exceed capacity, and then only capacity are copied.
    int getFlags(uint32_t* flags, int capacity);

private:
    BrovaDAQ_private* d;
};
