// Lists the force sensors present, then reports every one plugged in or
// unplugged, for a while.
//
// Usage: list_sensors [SECONDS [PORT ...]]
//   SECONDS  how long to watch (default 10)
//   PORT     a port the system does not list as a USB serial port (a
//            pseudo-terminal of brova-sim, a virtual port) to watch as well
#include <brovaports.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;

    // Discovery starts here: a thread of the object's own lists the serial
    // ports every 100 ms and identifies the device behind each new one.
    // 0 asks for every kind of sensor; they all speak 1000000 bit/s.
    BrovaPorts ports(0, 1000000);
    for (int i = 2; i < argc; ++i)
        if (!ports.watchPort(argv[i]))  // the path is copied
            std::fprintf(stderr, "cannot watch %s: a path has 1 to 24 bytes\n", argv[i]);

    // Every sensor found, those present at the start included, waits in a
    // queue until getNewPort takes it; lost ones wait for getLostPort. The
    // BPort records come by value: nothing to release.
    std::printf("watching for %.1f s\n", seconds);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        // true: only ports of the known USB bridges (and those watched), each
        // identified before it is reported.
        while (ports.isNewPort(true)) {
            const BPort p = ports.getNewPort();
            // deviceName begins with the kind code: "68 v1.0", "34 v0.9" ...
            std::printf("found %s: %s %s\n", p.portName, p.deviceName, p.deviceId);
        }
        while (ports.isLostPort(true)) {
            const BPort p = ports.getLostPort();  // only portName is set
            std::printf("lost  %s\n", p.portName);
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // The table of the sensors present now belongs to the library (do not
    // free it); getLastSize tells how many of its records are valid.
    const BPort* table = ports.listPorts(false);
    std::printf("%d sensor(s) present at the end\n", ports.getLastSize());
    for (int i = 0; i < ports.getLastSize(); ++i)
        std::printf("  %s\n", table[i].portName);
    return 0;  // the destructor stops and joins the watcher thread
}
