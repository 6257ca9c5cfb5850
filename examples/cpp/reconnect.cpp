// Reads a sensor that may be unplugged: when it stops, waits for it to come
// back and reopens it, counting the samples before and after.
//
// Usage: reconnect PORT KIND [SECONDS]
//   PORT, KIND  the sensor's port and kind code (see read_samples)
//   SECONDS     how long to keep at it (default 10)
#include <brovadaq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: reconnect PORT KIND [SECONDS]\n");
        return 2;
    }
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    BPort sensor;
    BPort::setText(sensor.portName, argv[1]);
    BPort::setText(sensor.deviceName, argv[2]);

    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    BrovaDAQ daq;
    BrovaPackage* all = nullptr;  // every channel's samples; released with delete[]
    long samples = 0;
    int opens = 0;
    bool streaming = false;
    while (Clock::now() < end) {
        if (!streaming) {
            // Not there (yet, or again): try every 250 ms. open fails at once
            // when the port is missing, and within about a second when
            // nothing answers on it.
            if (!daq.open(sensor, false, 1000000)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                continue;
            }
            streaming = true;
            std::printf("%s %s\n", opens++ ? "reopened" : "opened", sensor.portName);
            std::fflush(stdout);
        }
        // -2: the device is not open (its reader thread ended: the port went
        // away); -4: nothing came for 550 ms and the reader stopped. Either
        // way: close, and open again when it is back.
        // (A six-axis sensor is read with readAll6D the same way.)
        const int n = daq.readAll(all, false);
        if (n == -2 || n == -4) {
            daq.close();  // the counts of getStatistics stay readable
            streaming = false;
            std::printf("lost %s after %ld samples\n", sensor.portName, samples);
            std::fflush(stdout);
            continue;
        }
        if (n > 0)
            samples += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("%ld samples in %d open(s)\n", samples, opens);
    delete[] all;
    return 0;  // ~BrovaDAQ closes the device
}
