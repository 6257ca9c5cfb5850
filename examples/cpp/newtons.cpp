// Reads forces in newtons: opens a sensor, applies its calibration file to
// every sample and prints the force (or, for a six-axis sensor, the force
// and the torque).
//
// Usage: newtons PORT KIND CALIBRATION.json [SECONDS]
//   PORT, KIND   the sensor's port and kind code (see read_samples)
//   CALIBRATION  its calibration file (made by `brova calibrate`)
#include <brovacalibration.h>
#include <brovadaq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: newtons PORT KIND CALIBRATION.json [SECONDS]\n");
        return 2;
    }
    const double seconds = argc > 4 ? std::atof(argv[4]) : 2.0;
    BrovaCalibration cal;  // a value: nothing to release
    if (!cal.load(argv[3])) {
        std::fprintf(stderr, "%s\n", cal.error().c_str());  // names the file and the field
        return 1;
    }
    const int kind = std::atoi(argv[2]);
    if (!cal.matches(kind, ""))  // made for another kind of sensor?
        std::fprintf(stderr, "warning: %s\n", cal.error().c_str());

    BPort sensor;
    BPort::setText(sensor.portName, argv[1]);
    BPort::setText(sensor.deviceName, argv[2]);
    BrovaDAQ daq;
    if (!daq.open(sensor, false, 1000000)) {
        std::fprintf(stderr, "%s: the device did not answer\n", argv[1]);
        return 1;
    }
    // Not tared: the file's bias applies (tared = false below). After
    // daq.zeroAll() the zero stands for the bias: pass tared = true then.
    const bool sixAxis = kind == 95 || kind == 64;
    BrovaPackage* all = nullptr;  // ours, released with delete[]
    BrovaPackage6D* all6 = nullptr;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int n = sixAxis ? daq.readAll6D(all6, false) : daq.readAll(all, false);
        if (n <= 0)
            continue;  // nothing new (or, negative, see the read status codes)
        // The newest sample of this read: N (and N*m).
        double w[6] = {}, f[3] = {};
        const bool ok = sixAxis ? cal.applyWrench(all6[n - 1], false, w)
                                : cal.applyForce(all[n - 1], 0, false, f);  // channel 0
        if (!sixAxis)
            std::copy(f, f + 3, w);
        if (!ok) {
            std::fprintf(stderr, "the file does not calibrate this sensor's %s\n", sixAxis ? "wrench" : "channel 0");
            break;
        }
        std::printf("F %8.3f %8.3f %8.3f N", w[0], w[1], w[2]);
        if (sixAxis)
            std::printf("   T %8.4f %8.4f %8.4f N*m", w[3], w[4], w[5]);
        std::printf("\n");
    }
    delete[] all;
    delete[] all6;
    return 0;
}
