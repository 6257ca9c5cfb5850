// Opens a sensor, sets its rate and filter, tares it and prints every sample
// with the instant the device took it.
//
// Usage: read_samples PORT KIND [SECONDS]
//   PORT     the sensor's port, such as /dev/ttyUSB0
//   KIND     its kind code, as `brova list` or discovery (list_sensors) tells
//            it: 68, 94, 95, 31, 34 or 64
//   SECONDS  how long to read (default 2)
#include <brovadaq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: read_samples PORT KIND [SECONDS]\n");
        return 2;
    }
    const double seconds = argc > 3 ? std::atof(argv[3]) : 2.0;
    // The port record discovery would give: its name, and a device name that
    // begins with the kind code.
    BPort sensor;
    BPort::setText(sensor.portName, argv[1]);
    BPort::setText(sensor.deviceName, argv[2]);

    BrovaDAQ daq;  // closes the device, if still open, when it goes
    if (!daq.open(sensor, false, 1000000)) {
        std::fprintf(stderr, "%s: the device did not answer\n", sensor.portName);
        return 1;
    }
    SensorConfig config = daq.getConfig();
    config.setSpeed(1000);  // samples per second: 1000, 333, 100 or 30
    config.setFilter(50);   // the device's own filter: 0 (none), 150, 50 or 15 Hz
    if (!daq.sendConfig(config))
        std::fprintf(stderr, "the device did not confirm the configuration\n");
    daq.zeroAll();  // tare: the newest reading becomes every channel's zero

    const bool sixAxis = daq.getVersion() == BROVA_STREAM_6AXIS || daq.getVersion() == BROVA_FRAMED_6AXIS;
    std::printf("%s: kind %s, %d channel(s)%s\n", sensor.portName, sensor.deviceName, daq.getSensorSize(),
                sixAxis ? ", six-axis" : "");
    BrovaPackage* all = nullptr;      // arrays that the read calls resize;
    BrovaPackage6D* all6 = nullptr;   // ours to release with delete[]
    std::vector<int64_t> stamps;
    int64_t first = -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        // Every sample since the last call; negative: see the read status codes.
        const int n = sixAxis ? daq.readAll6D(all6, false) : daq.readAll(all, false);
        if (n == -2 || n == -4) {
            std::fprintf(stderr, "the device stopped\n");
            break;
        }
        // One stamp per sample: ns of CLOCK_MONOTONIC, strictly increasing.
        stamps.resize(n > 0 ? n : 0);
        daq.getStamps(stamps.data(), n);
        const int channels = sixAxis ? 1 : daq.getSensorSize();
        for (int k = 0; k < n; ++k) {
            if (first < 0)
                first = stamps[k];
            const double t = (stamps[k] - first) / 1e9;
            if (sixAxis)
                std::printf("%.6f  F %d %d %d  T %d %d %d\n", t, all6[k].Fx, all6[k].Fy, all6[k].Fz, all6[k].Tx,
                            all6[k].Ty, all6[k].Tz);
            for (int c = 0; c < channels && !sixAxis; ++c) {
                const BrovaPackage& p = all[c * n + k];  // channel-major
                std::printf("%.6f  ch%d  %d %d %d\n", t, c, p.x, p.y, p.z);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The rate the device really keeps: 0 until about 1.5 s of samples tell it.
    std::printf("estimated rate %.2f per second\n", daq.getEstimatedRate());
    delete[] all;
    delete[] all6;
    daq.close();
    return 0;
}
