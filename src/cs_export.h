/** \file
 * libBRV flat interface: plain C-linkage functions for hosts that bind to
 * functions by name (C, C#, Python ctypes, ...). A C compiler accepts this
 * header; from C++ the record types are the library's own classes.
 *
 * Memory rules, in short:
 *  - Handles (brv_daq*, brv_ports*, brv_calibration*) come from a `_Create`
 *    (or callCalibration_Load) function and are released once with the
 *    matching `_Dispose` function.
 *  - Every text and array the library hands out belongs to the host, which
 *    releases it with the named release function, never with free().
 *  - The release functions never reset the host's variables: set a pointer
 *    variable to NULL yourself after releasing what it held, before passing it
 *    to callReadAll or callReadAll6Axis again.
 *  - Records (brv_package, brv_package6d, brv_config, brv_statistics) are
 *    written into memory of the host's own; their layout below is fixed.
 *
 * No function throws. Nothing is printed but two debug lines on Qt's debug
 * output: "Checksum error!" when a three-axis frame fails its checksum during
 * a read, and "sensorSize <n>" from callUnzeroAll. A null handle is accepted
 * everywhere: the call then does nothing and returns its empty result (false,
 * 0, NULL, or -2 for the reads, as for a device that is not open).
 *
 * Flag parameters (brv_bool) take one byte: 0 is false, any other value true.
 * Truth-valued results (brv_truth) are 0 or 1 in the whole 32-bit int, so a
 * host may read them as one byte (C bool, ctypes c_bool) or as four (C#'s
 * default bool marshalling) and sees the same value either way.
 *
 * \anchor brv_flat_read_status
 * Read status codes (callRead... functions):
 *   - -2 the device is not open;
 *   - -3 the channel is not served (callRead) or the
 *     device is not a four-channel one (callRead6Axis, callReadAll6Axis);
 *   - -1 the reader's buffer overflowed and nothing was parsed, or a six-axis
 *     header met a three-axis read, which parsed only what came before it;
 *   - -4 the device went silent for 550 ms and the reader stopped;
 *   - 0 or more: the number of samples parsed by the call.
 */
#ifndef BRV_CS_EXPORT_H
#define BRV_CS_EXPORT_H

#include "brovaflags.h"

#ifdef __cplusplus
#include <cstdint>

#include "brovadaq.h"
#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brovaports.h"
#include "sensorconfig.h"
typedef BrovaPackage brv_package;
typedef BrovaPackage6D brv_package6d;
typedef SensorConfig brv_config;
typedef BrovaStatistics brv_statistics;
typedef BrovaDAQ brv_daq;
typedef BrovaPorts brv_ports;
class BrovaCalibration;
typedef BrovaCalibration brv_calibration;
typedef unsigned char brv_bool;
typedef int32_t brv_truth;
#define BRV_C_EXPORT extern "C" __attribute__((visibility("default")))
#else
#include <stdbool.h>
#include <stdint.h>

/** One configuration byte: bits 7..5 state, 4..3 speed (1000, 333, 100, 30
 * samples per second), 2..1 filter (none, 150, 50, 15 Hz), 0 mode (0 raw,
 * 1 the device sends the force vector). */
typedef struct brv_config {
    uint8_t value; /**< the configuration byte */
} brv_config;

/** One sample of one channel: 100 bytes. */
typedef struct brv_package {
    /* s1..s8: raw element readings, zeroed; x, y, z: force vector; x2, y2, z2: second vector */
    int32_t s1;                             /**< raw reading of element 1, zeroed */
    int32_t s2;                             /**< raw reading of element 2, zeroed */
    int32_t s3;                             /**< raw reading of element 3, zeroed */
    int32_t s4;                             /**< raw reading of element 4, zeroed */
    int32_t s5;                             /**< raw reading of element 5, zeroed */
    int32_t s6;                             /**< raw reading of element 6, zeroed */
    int32_t s7;                             /**< raw reading of element 7, zeroed */
    int32_t s8;                             /**< raw reading of element 8, zeroed */
    int32_t x;                              /**< force vector, x */
    int32_t y;                              /**< force vector, y */
    int32_t z;                              /**< force vector, z */
    int32_t x2;                             /**< second vector, x */
    int32_t y2;                             /**< second vector, y */
    int32_t z2;                             /**< second vector, z */
    int32_t inconsistent[8];                /**< s1..s8 as received */
    int32_t aux;                            /**< auxiliary reading */
    brv_config config;                      /**< configuration sent with the sample */
    int32_t version;                        /**< 3..8 the protocol it came under; 0 none */
} brv_package;

/** One six-axis sample: 424 bytes. */
typedef struct brv_package6d {
    /* Force (Fx, Fy, Fz) and torque (Tx, Ty, Tz) on three axes, and the
     * samples of the four three-axis sensing units. */
    int32_t Fx;          /**< force along x */
    int32_t Fy;          /**< force along y */
    int32_t Fz;          /**< force along z */
    int32_t Tx;          /**< torque about x */
    int32_t Ty;          /**< torque about y */
    int32_t Tz;          /**< torque about z */
    brv_package sensor1; /**< sensing unit 1 */
    brv_package sensor2; /**< sensing unit 2 */
    brv_package sensor3; /**< sensing unit 3 */
    brv_package sensor4; /**< sensing unit 4 */
} brv_package6d;

/** What the library saw of one device since it was last opened: 40 bytes. */
typedef struct brv_statistics {
    uint64_t bytesReceived;    /**< bytes the reader thread received from the port */
    uint64_t framesAccepted;   /**< frames of any kind whose checksum was good */
    uint64_t checksumFailures; /**< frames whose checksum failed */
    uint64_t framesMalformed;  /**< frames dropped at a length byte no frame has */
    uint64_t bytesDiscarded;   /**< bytes received but never parsed (buffer cap, or
                                  a read that did not parse them: -1, -4) */
} brv_statistics;

typedef struct brv_daq brv_daq;     /**< opaque acquisition object */
typedef struct brv_ports brv_ports; /**< opaque port-discovery object */
typedef struct brv_calibration brv_calibration; /**< opaque calibration */
typedef unsigned char brv_bool;     /**< a flag: 0 false, anything else true */
typedef int32_t brv_truth;          /**< a result: 0 false, 1 true, in all 32 bits */
/** Declares a function of the flat interface: C linkage, exported. */
#define BRV_C_EXPORT extern __attribute__((visibility("default")))
#endif

/** \name Port discovery */
/**@{*/

/** Creates a port-discovery object wanting every sensor kind, probing at
 * 1000000 bit/s; its watcher thread starts at once. Release it with
 * callBrovaPorts_Dispose. NULL when it cannot be created. */
BRV_C_EXPORT brv_ports* callBrovaPorts_Create(void);
/** Stops and joins the watcher, then frees the object. NULL: nothing. */
BRV_C_EXPORT void callBrovaPorts_Dispose(brv_ports* ports);

/** The sensors present now, as an array of 3 * n text pointers (port name,
 * device name such as "34 v0.9", identification text) where n is what
 * callGetLastSize returns right after this call. Not NULL, even for no
 * sensor; NULL only when memory runs out. The array and its texts belong to the host: release them with
 * callDeletePORTLIST(&list, n). The first call after creation waits for the
 * watcher's first scan. */
BRV_C_EXPORT char** callListPorts(brv_ports* ports);
/** The number of records of the last list made on this object. */
BRV_C_EXPORT int callGetLastSize(brv_ports* ports);
/** The number of sensors present now. */
BRV_C_EXPORT int callGetSizePorts(brv_ports* ports);
/** True when a found sensor waits to be taken. Also switches vendor filtering
 * and probing (back) on for this object. */
BRV_C_EXPORT brv_truth callIsNewPort(brv_ports* ports);
/** True when a lost sensor waits to be taken. */
BRV_C_EXPORT brv_truth callIsLostPort(brv_ports* ports);
/** Takes the oldest found sensor and stores three new texts (port name, device
 * name, identification text) into triple[0..2]; an empty queue gives three
 * empty texts. Whatever triple held is overwritten, not freed. Release the
 * texts with callDeleteBPORT(triple). */
BRV_C_EXPORT void callGetNewPort(brv_ports* ports, char** triple);
/** The same for the oldest lost sensor; its device name and identification
 * texts are empty. */
BRV_C_EXPORT void callGetLostPort(brv_ports* ports, char** triple);
/** Also watches path, a port the system does not list as a serial port (a
 * pseudo-terminal, a virtual port): while it exists it is found, identified
 * and lost like a port of the three bridge vendors. The text is copied. 0 for
 * a NULL or empty path, or one longer than 24 bytes (never cut). */
BRV_C_EXPORT brv_truth callWatchPort(brv_ports* ports, const char* path);

/**@}*/

/** \name Releasing what the library hands out */
/**@{*/

/** Frees each of the three texts of triple that is not NULL. The pointers in
 * triple are left as they were. */
BRV_C_EXPORT void callDeleteBPORT(char** triple);
/** Frees the texts of the first count records of *list (NULL pointers
 * skipped), then the array itself. *list NULL: nothing. *list is left as it
 * was. */
BRV_C_EXPORT void callDeletePORTLIST(char*** list, int count);
/** Releases a package array made by callReadAll (the element count is kept in
 * front of the elements). *arr NULL: nothing. *arr is left as it was. */
BRV_C_EXPORT void callDeletePackageArray(brv_package** arr);
/** Releases an int array made by callReadAll6Axis. *arr NULL: nothing. *arr is
 * left as it was. */
BRV_C_EXPORT void callDeleteIntArray(int** arr);

/**@}*/

/** \name Acquisition
 * The callRead functions return the number of samples they parsed, or a
 * negative \ref brv_flat_read_status "read status". peek 0 takes the bytes
 * out of the reader's buffer; any other value parses a copy and leaves them
 * for the next read, which parses them again. */
/**@{*/

/** Creates an acquisition object; release it with callBrovaDAQ_Dispose. NULL
 * when it cannot be created. */
BRV_C_EXPORT brv_daq* callBrovaDAQ_Create(void);
/** Closes the device if it is open, then frees the object. NULL: nothing. */
BRV_C_EXPORT void callBrovaDAQ_Dispose(brv_daq* daq);

/** Opens the device on portName, of the kind named by the first two characters
 * of deviceName ("31", "34", "64", "68", "94", "95"), at 1000000 bit/s. Pass
 * the first two texts of a listed sensor. Texts longer than 24 bytes are cut.
 * True once the device delivered a good frame. */
BRV_C_EXPORT brv_truth callOpen(brv_daq* daq, const char* portName, const char* deviceName);
/** Stops the reader thread, waits for it, forgets the channels and their
 * offsets. Harmless on a closed device. */
BRV_C_EXPORT void callClose(brv_daq* daq);
/** True while the device is open (its reader thread runs). */
BRV_C_EXPORT brv_truth callIsOpen(brv_daq* daq);
/** The last opened port's name. The text belongs to the object: do not free
 * it; it is overwritten by the next call and lives as long as the object. */
BRV_C_EXPORT char* callGetPortName(brv_daq* daq);
BRV_C_EXPORT int callGetSize(brv_daq* daq);       /**< bytes taken by the last parse */
BRV_C_EXPORT int callGetSensorSize(brv_daq* daq); /**< channels: 0, 1 or 4 */
BRV_C_EXPORT brv_truth callIsChksumOK(brv_daq* daq); /**< false after a frame whose checksum failed */
BRV_C_EXPORT int callGetActualVersion(brv_daq* daq); /**< 0, 3..8 */
BRV_C_EXPORT int callGetBytesPerRead(brv_daq* daq); /**< 29, 45 or 57 for versions 3, 4, 5; else 1 */
/** Waits up to about 600 ms for a first frame; true for four-channel devices. */
BRV_C_EXPORT brv_truth callIsVirtual(brv_daq* daq);

/** Stores the device's counts since its last open into *out (all zero before
 * the first open; still readable after close). Frames parsed by reads that
 * peek are counted once, by the read that takes them. */
BRV_C_EXPORT void callGetStatistics(brv_daq* daq, brv_statistics* out);

/** Stores the device's configuration byte into *out (the last one known when
 * the device is not open; nothing is asked then). */
BRV_C_EXPORT void callGetConfig(brv_daq* daq, brv_config* out);
/** Sets mode (0 raw, 1 vector), speed (1000, 333, 100 or 30 samples per
 * second) and filter (0, 150, 50 or 15 Hz); another number leaves that field
 * at its default (100 per second, no filter). True when the device then
 * reports the requested speed and filter; 0 at once, with nothing sent, when
 * the device is not open. */
BRV_C_EXPORT brv_truth callSendConfig(brv_daq* daq, int mode, int speed, int filter);

/** The channel's present reading becomes its zero, subtracted from every
 * sample parsed from then on until close. False when the channel is not
 * served, the device is not open or the reading could not be taken. */
BRV_C_EXPORT brv_truth callZero(brv_daq* daq, int channel);
/** The same for every channel, or for the whole sensor on a six-axis device. */
BRV_C_EXPORT void callZeroAll(brv_daq* daq);
/** The channel's offset back to all zero; false when the channel is not
 * served or the device is not open. */
BRV_C_EXPORT brv_truth callUnzero(brv_daq* daq, int channel);
/** Every offset back to all zero (prints the debug line "sensorSize <n>");
 * nothing when the device is not open. */
BRV_C_EXPORT void callUnzeroAll(brv_daq* daq);

/** Newest sample of one channel into *pkg (untouched when none came). */
BRV_C_EXPORT int callRead(brv_daq* daq, brv_package* pkg, int channel, brv_bool peek);
/** values[0..7] = s1, s2, s3, s4, x, y, z, aux of channel 0 (zeros if none). */
BRV_C_EXPORT int callReadArray(brv_daq* daq, int* values, brv_bool peek);
/** pkgs[0..15]: the newest sample of each channel into pkgs[c]. */
BRV_C_EXPORT int callReadVirtual(brv_daq* daq, brv_package* pkgs, brv_bool peek);
/** values[0..127]: x, y, z, s1, s2, s3, s4, aux of channel c at 8c. */
BRV_C_EXPORT int callReadVirtualArray(brv_daq* daq, int* values, brv_bool peek);
/** Every sample since the last call, channel-major (channel c's k-th sample at
 * (*arr)[c * n + k] for the returned n). *arr must be NULL or an array from
 * an earlier callReadAll: it is resized, or released and set to NULL when no
 * sample came. Release the last one with callDeletePackageArray(arr). */
BRV_C_EXPORT int callReadAll(brv_daq* daq, brv_package** arr, brv_bool peek);
/** Newest six-axis sample into *pkg. */
BRV_C_EXPORT int callRead6D(brv_daq* daq, brv_package6d* pkg, brv_bool peek);
/** values[0..5] = Fx, Fy, Fz, Tx, Ty, Tz computed from a four-channel device. */
BRV_C_EXPORT int callRead6Axis(brv_daq* daq, int* values, brv_bool peek);
/** One group of six (Fx..Tz) per sample instant of a four-channel device.
 * When the device is open with four channels, the array *values holds is
 * released and a new one stored (zero-length, not NULL, when none came).
 * Release the last one with callDeleteIntArray(values). */
BRV_C_EXPORT int callReadAll6Axis(brv_daq* daq, int** values, brv_bool peek);

/**@}*/

/** \name Sample instants
 * Every sample a read parses carries the instant the device took it, in
 * nanoseconds of the host's CLOCK_MONOTONIC (clock_gettime; Python's
 * time.monotonic() reads the same clock); the stamps of one device strictly
 * increase and are never later than the arrival of the sample's bytes. */
/**@{*/

/** Copies the stamps of the samples the last read call on daq handed out into
 * stamps[0..capacity-1], oldest first: one per sample instant for
 * callReadAll and callReadAll6Axis (the k-th stamp belongs to the k-th sample
 * of every channel), the newest sample's for the other reads. Returns how
 * many stamps the last read handed out (0 when it handed out none, as after
 * a read that returned -2 or any other status without samples, and for a
 * NULL handle), which may exceed capacity: then only capacity are copied.
 * stamps may be NULL (capacity is then ignored) to learn the count. The
 * array is the host's: the library writes into it during the call only and
 * keeps no pointer to it; nothing is to be released. */
BRV_C_EXPORT int32_t callGetStamps(brv_daq* daq, int64_t* stamps, int32_t capacity);
/** The device's sample rate as the library's clock model estimates it from
 * the arrivals, whatever rate it was configured for, in samples per second
 * (for example 1000.13, or 970.02 for a device 3 % slow); 0 while it cannot tell
 * (after an open or a rate change, until about 1 s of samples agree on it,
 * 2 to 3 s for a device off its configured rate), and for a NULL handle. */
BRV_C_EXPORT double callGetEstimatedRate(brv_daq* daq);
/** Nanoseconds to add to a stamp (CLOCK_MONOTONIC) to get the same instant on
 * CLOCK_REALTIME (nanoseconds since 1970-01-01 UTC), as the two clocks stand
 * at this call: the system may step or slew its real-time clock, so ask
 * again rather than keep it. Needs no handle. */
BRV_C_EXPORT int64_t callGetRealtimeOffset(void);

/**@}*/

/** \name Status flags
 * One 32-bit word per sample instant, beside the records like the stamps:
 * whether a number handed out can be trusted (brovaflags.h). */
/**@{*/

/** Copies the status flags of the samples the last read call on daq handed
 * out into flags[0 .. capacity-1], oldest first: one 32-bit word per sample
 * instant, the same instants as callGetStamps (the k-th word belongs to the
 * k-th sample of every channel after callReadAll and callReadAll6Axis; the
 * newest instant's after the other reads). The bits are those of
 * brova_sample_flag (brovaflags.h): bit 0 a field at its rail, bit 2 an
 * element reading, bit 3 a vector field, bits 8..23 which channel (unit);
 * a read never sets the over-range bits, which the calibration's ...Flagged
 * functions add.
 * @return how many words the last read handed out (0 when none, and for a
 * NULL handle), which may exceed capacity: then only capacity are copied.
 * flags may be NULL (capacity is then ignored) to learn the count. The array
 * is the host's: the library writes into it during the call only and keeps
 * no pointer to it; nothing is to be released. */
BRV_C_EXPORT int32_t callGetFlags(brv_daq* daq, uint32_t* flags, int32_t capacity);

/**@}*/

/** \name Calibration
 * A calibration (brovacalibration.h) turns one sensor's counts into newtons
 * and newton-metres: a file (JSON, "brova-calibration") holds, for each
 * three-axis channel it calibrates, a 3 x k matrix and a bias over inputs of
 * the channel's sample (x, y, z, s1 ... s8), and for a six-axis sensor (native,
 * or a four-channel device read as one) a 6 x k matrix and bias over Fx ... Tz
 * or the four sub-samples' fields, plus an optional tool transform. Units are
 * converted to N and N*m on load.
 *
 * The tare comes first: the library subtracts a channel's zero offset as
 * samples are made, and the calibration is applied to those counts. A tared
 * sample's offset already stands for the zero load, so the bias is left out:
 * pass tared = 1 for samples of tared channels (one flag per call: convert
 * channels of different tare states in separate calls, one channel each).
 *
 * A handle may be shared by threads for the apply functions and getters;
 * callCalibration_Matches and callCalibration_Error (which keep and read the
 * last failure) serve one thread at a time.
 *
 * \anchor brv_calibration_status
 * Apply results: the number of samples converted (n), or
 *   - -1 a bad argument: n < 0, channels outside 1..16, arr or out NULL while
 *      n > 0;
 *   - -2 a NULL handle;
 *   - -3 the calibration does not cover the request: none of the channels
 *      0 .. channels-1 (callCalibration_ApplyForces), or no six-axis part
 *      (the wrench functions), or a six-axis part that reads Fx ... Tz,
 *      which four channels do not have (callCalibration_ApplyWrenchesFromChannels).
 * Nothing is written to out on a negative result. */
/**@{*/

/** Releases a text made by a callCalibration_ function. *text NULL: nothing.
 * *text is left as it was. */
BRV_C_EXPORT void callDeleteText(char** text);

/** Reads and validates a calibration file. Returns a new handle, released with
 * callCalibration_Dispose; or NULL when the file is missing, unreadable or
 * invalid, and then, when error is not NULL, *error is set to a new text
 * saying why, naming the file and the field (e.g. "cal.json:
 * channels[0].matrix: 3 rows of 4 numbers expected"); the host releases it
 * with callDeleteText(error) (it stays NULL only when memory runs out). On
 * success *error is set to NULL. The message
 * is the caller's own: nothing is kept between calls, so loads may run on
 * several threads at once. */
BRV_C_EXPORT brv_calibration* callCalibration_Load(const char* path, char** error);
/** Frees the calibration. NULL: nothing. */
BRV_C_EXPORT void callCalibration_Dispose(brv_calibration* cal);

/** The kind code the file is for (31, 34, 64, 68, 94, 95); 0 for NULL. */
BRV_C_EXPORT int32_t callCalibration_Kind(brv_calibration* cal);
/** Identification: the device's identification text (or port by-id name)
 * the file is for, empty for any device of its kind. A new text, released
 * with callDeleteText; NULL for a NULL handle (or when memory runs out). */
BRV_C_EXPORT char* callCalibration_Identification(brv_calibration* cal);
/** Serial: the free-text serial number of the file. A new text, released
 * with callDeleteText; NULL for a NULL handle (or when memory runs out). */
BRV_C_EXPORT char* callCalibration_Serial(brv_calibration* cal);
/** The input names of channel's matrix (channel -1: the six-axis part),
 * comma-separated in matrix column order, for example "x,y,z" or "sensor1.x,...";
 * empty when the file does not calibrate it. A new text, released with
 * callDeleteText; NULL for a NULL handle. */
BRV_C_EXPORT char* callCalibration_Inputs(brv_calibration* cal, int32_t channel);

/** 1 when the file is for a device of this kind and identification (an empty
 * identification, or NULL, here or in the file, matches any), else 0, with
 * the reason from callCalibration_Error. 0 for a NULL handle. */
BRV_C_EXPORT brv_truth callCalibration_Matches(brv_calibration* cal, int32_t kind, const char* identification);
/** The last failure's message on this handle (empty after a success): a new
 * text, released with callDeleteText; NULL for a NULL handle. */
BRV_C_EXPORT char* callCalibration_Error(brv_calibration* cal);

/** Converts an array as callReadAll hands it out (channel-major: channel c's
 * k-th sample at arr[c * n + k], channels x n records) into forces: out
 * holds n * channels * 3 doubles, sample-major, force of channel c's k-th
 * sample at out[(k * channels + c) * 3 + 0..2] (x, y, z in N). A channel
 * the file does not calibrate gets NaN. */
BRV_C_EXPORT int32_t callCalibration_ApplyForces(brv_calibration* cal, const brv_package* arr, int32_t n,
                                                 int32_t channels, brv_bool tared, double* out);
/** Converts n six-axis samples arr[0..n-1] into wrenches: out holds n * 6
 * doubles, Fx, Fy, Fz in N, Tx, Ty, Tz in N*m per sample (the tool
 * transform applied when the file has one). */
BRV_C_EXPORT int32_t callCalibration_ApplyWrenches(brv_calibration* cal, const brv_package6d* arr, int32_t n,
                                                   brv_bool tared, double* out);
/** The same for a four-channel device read as one six-axis sensor, from the
 * array callReadAll hands out for it (4 x n records, channel-major as
 * above; channel c is the file's sensor c+1): out holds n * 6 doubles. */
BRV_C_EXPORT int32_t callCalibration_ApplyWrenchesFromChannels(brv_calibration* cal, const brv_package* arr,
                                                                int32_t n, brv_bool tared, double* out);

/** The rated ranges of channel's outputs (channel -1: the six-axis part) in N
 * and N*m, on the sensor's own axes, into out[0 .. capacity-1]: x, y, z of a
 * channel, or Fx, Fy, Fz, Tx, Ty, Tz.
 * @return how many the file gives (3, 6, or 0 when it gives none, does not
 * calibrate that channel, or for a NULL handle), which may exceed capacity:
 * then only capacity are copied; out may be NULL to learn the count. */
BRV_C_EXPORT int32_t callCalibration_Range(brv_calibration* cal, int32_t channel, double* out, int32_t capacity);

/** callCalibration_ApplyForces, and the over-range check: flags holds n
 * words, one per sample instant (as callGetFlags hands them out, or zeros),
 * and for every instant whose calibrated output r exceeds its rated range by
 * more than the margin (|value| > 1.02 x range, judged before any tool
 * transform) the bits BROVA_FLAG_OVER_RANGE and BROVA_FLAG_AXIS_OVER_RANGE
 * << r are set in flags[k]; no bit is cleared. For forces of several
 * channels an instant's word gathers every channel's (output r of any
 * channel). flags may be NULL: then as the function without Flagged.
 * Results as above; nothing is written to out or flags on a negative one. */
BRV_C_EXPORT int32_t callCalibration_ApplyForcesFlagged(brv_calibration* cal, const brv_package* arr, int32_t n,
                                                        int32_t channels, brv_bool tared, double* out,
                                                        uint32_t* flags);
/** callCalibration_ApplyWrenches with the over-range check, flags as for
 * callCalibration_ApplyForcesFlagged (judged on the sensor's own axes,
 * before the tool transform; r = 0 ... 5 for Fx ... Tz). */
BRV_C_EXPORT int32_t callCalibration_ApplyWrenchesFlagged(brv_calibration* cal, const brv_package6d* arr, int32_t n,
                                                          brv_bool tared, double* out, uint32_t* flags);
/** callCalibration_ApplyWrenchesFromChannels with the over-range check,
 * flags as for callCalibration_ApplyForcesFlagged. */
BRV_C_EXPORT int32_t callCalibration_ApplyWrenchesFromChannelsFlagged(brv_calibration* cal, const brv_package* arr,
                                                                       int32_t n, brv_bool tared, double* out,
                                                                       uint32_t* flags);
/**@}*/

#endif /* BRV_CS_EXPORT_H */
