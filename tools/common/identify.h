// What answers on a port: the identification that discovery runs, for a tool
// that is told a port's kind and must not trust it blindly.
#pragma once

#include <functional>
#include <string>

namespace brovatools {

struct Identity {
    int kind = 0;      // the kind code that answered; 0 when nothing was identified
    std::string text;  // the identification text (empty for stream devices)
};

// Identifies the device at path as discovery does (listening for stream
// frames, then asking for the identification block: about one second), within
// timeoutMs. A port the system does not list as a serial port (a
// pseudo-terminal, a virtual port) is watched by name. stop, when given, is
// asked every 50 ms and ends the wait early (kind 0). Blocks the calling
// thread; safe on any thread.
Identity identifyPort(const std::string& path, int timeoutMs, const std::function<bool()>& stop = {});

// True when a tool given kind for a port should confirm it by identification
// first: the framed kinds (31, 34, 64), which announce nothing in their data
// frames. The stream kinds name themselves in every frame.
bool needsIdentification(int kind);

} // namespace brovatools
