/// \file
/// Port discovery: the BPort record and the BrovaPorts watcher.
#pragma once

#include <cstddef>

#include "brv_global.h"

/// The descriptor of one serial port that carries a sensor: three
/// NUL-terminated texts of at most 24 bytes in fields of 25 bytes, one directly
/// after the other, 75 bytes, byte-aligned. Port discovery fills it;
/// BrovaDAQ::open takes it back by value. It owns nothing; copy it freely (a
/// copy holds the same 75 bytes).
class BRV_EXPORT BPort {
public:
    static constexpr size_t textSize = 25;  ///< bytes of each field, NUL included

    /// Makes the three texts empty (a NUL in the first byte of each field);
    /// the other bytes are left as they are.
    BPort();
    ~BPort() = default;  ///< Owns nothing.

    /// Copies text into field, cut to 24 bytes and always NUL-terminated; a
    /// null text gives an empty field. Every writer of a BPort goes through it.
    static void setText(char (&field)[textSize], const char* text);

    char portName[textSize];    ///< system name of the serial port
    char deviceName[textSize];  ///< kind text such as "34 v0.9", or "unknown"
    char deviceId[textSize];    ///< identification text; empty for stream devices
};

static_assert(sizeof(BPort) == 75, "BPort layout is fixed");
static_assert(offsetof(BPort, deviceName) == 25 && offsetof(BPort, deviceId) == 50, "BPort layout is fixed");

class BrovaPorts_private;

/// One port-discovery object: it watches the machine's serial ports from a
/// thread of its own. Every 100 ms it lists the ports of the USB serial
/// bridges of Microchip (0x04D8), FTDI (0x0403) and Silicon Labs (0x10C4),
/// identifies the device behind each new one and keeps the sensors present as
/// BPort records.
///
/// Its watcher thread starts in the constructor and
/// is stopped and joined by the destructor. Every call may come from any thread;
/// all but getLastSize and getAPIversion wait while the watcher is in a scan,
/// which includes identifying each new port (about one second per port at
/// most). Nothing is thrown and nothing is printed.
class BRV_EXPORT BrovaPorts {
public:
    /// sensorKind: 3 reports three-axis sensors only, 6 six-axis sensors only,
    /// any other value every kind. baudRate: bit rate used to identify a port
    /// (the sensors speak 1000000 bit/s).
    BrovaPorts(int sensorKind, int baudRate);
    /// Waits for the watcher's scan in progress to end, then stops the thread.
    ~BrovaPorts();
    BrovaPorts(const BrovaPorts&) = delete;
    BrovaPorts& operator=(const BrovaPorts&) = delete;

    /// The sensors present now, oldest find first, copied into a table of 100
    /// records that is shared by every BrovaPorts of the process. The first
    /// call after construction waits for the first scan. Returns the address of
    /// the table's first record (never null); getLastSize() tells how many
    /// records are valid (at most 100). The table belongs to the library: it
    /// stays at the same address for the life of the process and must not be
    /// freed; the next listPorts on any object overwrites it. The argument has
    /// no effect.
    BPort* listPorts(bool unused);
    /// Number of sensors present now (not the table's). The argument has no
    /// effect.
    int getSize(bool unused);
    /// Number of records that this object's last listPorts wrote; 0 before the
    /// first call.
    int getLastSize();

    /// Stores filter for all later scans (true: only ports of the three vendors
    /// are taken, each identified first; false: every named port is taken as it
    /// is, reported with deviceName "unknown"), then tells whether a found
    /// sensor waits to be taken with getNewPort.
    bool isNewPort(bool filter);
    /// Tells whether a lost sensor waits to be taken with getLostPort. The
    /// argument has no effect.
    bool isLostPort(bool unused);
    /// Takes the oldest found sensor, returned by value (the caller owns the
    /// copy); three empty texts when none waits.
    BPort getNewPort();
    /// Takes the oldest lost sensor, returned by value: only portName is set.
    /// Three empty texts when none waits.
    BPort getLostPort();

    /// The interface version text "1.4.3.12". A constant owned by the library,
    /// valid for the life of the process; do not free it.
    const char* getAPIversion();

    /// Also watches path, a serial port that the system does not list as one
    /// (a pseudo-terminal, a virtual port, a link to either): from the next
    /// scan on, while path exists, it is a candidate like a port of the three
    /// bridge vendors, whatever the filter: identified first when the filter
    /// is on, found and lost like any other. The path is copied; watching one
    /// twice is harmless. False, and nothing watched, when path is null, empty
    /// or longer than the 24 bytes of a record's portName (it is never cut).
    bool watchPort(const char* path);

private:
    BrovaPorts_private* d;
};
