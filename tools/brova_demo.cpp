// brova-demo: finds a sensor with BrovaPorts, opens it with BrovaDAQ and shows
// live samples for a few seconds, then tares it, changes its rate and closes
// it.
//
// Without --port it starts a simulated sensor of the given kind on a
// pseudo-terminal in this process and lets a BrovaPorts discover it, as if it
// were plugged in behind a USB serial bridge (a pseudo-terminal has no USB
// identifiers, so the demo hands the watcher a port list with the simulator's
// port on an FTDI bridge). With --port it opens that real device directly.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "brovadaq.h"
#include "brovaports.h"
#include "brovaports_p.h"
#include "brvsim.h"

namespace {

struct Options {
    int kind = 94;
    double seconds = 3.0;
    std::string port;
};

void usage(const char* argv0)
{
    std::printf(
        "usage: %s [--kind K] [--seconds S] [--port NAME]\n"
        "  --kind K      sensor kind: 68, 94, 95 (stream devices), 31, 34, 64 (framed\n"
        "                devices); default 94. With --port, the kind of the real device.\n"
        "  --seconds S   how long to show live samples before and after the tare; default 3\n"
        "  --port NAME   a real sensor's serial port (e.g. /dev/ttyUSB0) instead of the\n"
        "                built-in simulated sensor\n",
        argv0);
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            usage(argv[0]);
            std::exit(0);
        } else if (a == "--kind") {
            const char* v = value();
            if (!v)
                return false;
            o.kind = std::atoi(v);
        } else if (a == "--seconds") {
            const char* v = value();
            if (!v)
                return false;
            o.seconds = std::atof(v);
        } else if (a == "--port") {
            const char* v = value();
            if (!v)
                return false;
            o.port = v;
        } else {
            return false;
        }
    }
    return o.kind == 68 || o.kind == 94 || o.kind == 95 || o.kind == 31 || o.kind == 34 || o.kind == 64;
}

bool isSixAxis(int kind)
{
    return kind == 95 || kind == 64;
}

std::string kindText(int kind)
{
    switch (kind) {
    case 68: return "68 v1.1";
    case 95: return "95 v1.0";
    default: return std::to_string(kind) + " v0.9";
    }
}

// One line describing the newest sample, or an empty text when none came.
std::string sampleLine(BrovaDAQ& daq, int kind, int& status)
{
    char line[256];
    if (isSixAxis(kind)) {
        BrovaPackage6D s;
        status = daq.read6D(s, false);
        if (status <= 0)
            return {};
        std::snprintf(line, sizeof line, "F = (%6d %6d %6d)  T = (%6d %6d %6d)", s.Fx, s.Fy, s.Fz, s.Tx, s.Ty, s.Tz);
        return line;
    }
    BrovaPackage pkgs[16];
    status = daq.readVirtual(pkgs, false);
    if (status <= 0)
        return {};
    std::string out;
    for (int c = 0; c < daq.getSensorSize(); ++c) {
        std::snprintf(line, sizeof line, "%sch%d (%6d %6d %6d)", c ? "  " : "", c, pkgs[c].x, pkgs[c].y, pkgs[c].z);
        out += line;
    }
    return out;
}

void showLive(BrovaDAQ& daq, int kind, double seconds, bool terminal)
{
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::duration<double>(seconds);
    auto nextPlain = clock::now();
    while (clock::now() < end) {
        int status = 0;
        const std::string line = sampleLine(daq, kind, status);
        if (status == -2) {
            std::printf("\nthe device stopped sending\n");
            return;
        }
        if (!line.empty()) {
            if (terminal) {
                std::printf("\r%s\033[K", line.c_str());
                std::fflush(stdout);
            } else if (clock::now() >= nextPlain) {
                std::printf("%s\n", line.c_str());
                nextPlain = clock::now() + std::chrono::milliseconds(500);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (terminal)
        std::printf("\n");
}

// The ports the watcher sees: the simulator's pseudo-terminal on an FTDI
// USB serial bridge.
class SimulatedInventory : public PortInventory {
public:
    explicit SimulatedInventory(std::string name) : name_(std::move(name)) {}
    QList<PortRecord> availablePorts() override
    {
        PortRecord r;
        r.portName = QString::fromStdString(name_);
        r.vendorId = 0x0403;
        r.productId = 0x6001;
        return {r};
    }

private:
    std::string name_;
};

// Lets a BrovaPorts find the sensor on portName; true with its record.
bool discover(const std::string& portName, BPort& found)
{
    PortInventory::setOverride(std::make_shared<SimulatedInventory>(portName));
    BrovaPorts ports(0, 1000000);
    PortInventory::setOverride(nullptr);
    for (int i = 0; i < 50; ++i) {
        if (ports.isNewPort(true)) {
            found = ports.getNewPort();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        usage(argv[0]);
        return 2;
    }
    const bool terminal = isatty(STDOUT_FILENO);

    std::unique_ptr<brvsim::Device> sim;
    if (o.port.empty()) {
        sim = std::make_unique<brvsim::Device>(o.kind);
        for (int c = 0; c < brvsim::channelCount(o.kind); ++c)
            sim->setLoad(c, {150 * (c + 1), -80 * (c + 1), 12000 + 500 * c});
        sim->setLoad6({1200, -800, 15000, 40, -30, 20});
        sim->setNoise(3, 42);
        if (!sim->start()) {
            std::fprintf(stderr, "could not start the simulated sensor\n");
            return 1;
        }
        o.port = sim->portName();
        std::printf("simulated sensor of kind %d started on %s\n", o.kind, o.port.c_str());
    }

    BPort port;
    if (sim) {
        if (!discover(o.port, port)) {
            std::fprintf(stderr, "the simulated sensor was not discovered\n");
            return 1;
        }
        std::printf("discovered: port %s, device \"%s\", id \"%s\"\n", port.portName, port.deviceName, port.deviceId);
    } else {
        BPort::setText(port.portName, o.port.c_str());
        BPort::setText(port.deviceName, kindText(o.kind).c_str());
    }
    BrovaDAQ daq;
    if (!daq.open(port, true, 1000000)) {
        std::fprintf(stderr, "could not open %s as kind %d\n", o.port.c_str(), o.kind);
        return 1;
    }
    SensorConfig config = daq.getConfig();
    std::printf("opened %s: version %d, %d channel(s), %d samples per second, filter %d Hz\n", daq.getPortName(),
                daq.getVersion(), daq.getSensorSize(), config.getSpeed(), config.getFilter());

    showLive(daq, o.kind, o.seconds, terminal);

    std::printf("taring...\n");
    daq.zeroAll();
    showLive(daq, o.kind, o.seconds / 2, terminal);

    SensorConfig faster = config;
    faster.setSpeed(1000);
    const bool changed = daq.sendConfig(faster);
    std::printf("rate change to 1000 samples per second: %s (device reports %d)\n", changed ? "confirmed" : "not confirmed",
                daq.getConfig().getSpeed());
    showLive(daq, o.kind, o.seconds / 2, terminal);

    daq.close();
    std::printf("closed\n");
    return 0;
}
