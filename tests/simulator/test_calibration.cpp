// Physical loads through the simulated sensors' true calibration: the counts
// on the wire, the calibration file, and brova-sim's control pipe.
#include "brvsim.h"
#include "host_side.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

using brvsim::Bytes;
using host::s16;
using host::u16;
using namespace std::chrono_literals;

namespace {

// The last whole frame read that satisfies `pred`, waiting up to 3 s; frames
// made before a change still in the pipe are passed over.
template <class Pred>
host::Frame awaitFrame(host::RawPort& port, Pred pred) {
    const auto bytes = port.readUntil([&](const Bytes& b) {
        const auto s = host::splitFrames(b);
        return !s.frames.empty() && pred(s.frames.back());
    }, 3s);
    const auto s = host::splitFrames(bytes);
    if (s.frames.empty()) return {};
    EXPECT_TRUE(s.frames.back().checksumOk);
    return s.frames.back();
}

brvsim::Gain3 exampleGain() {
    brvsim::Gain3 g;
    g.gain = {{{100, 2, 0}, {0, 50, -1}, {1, 0, 200}}};
    g.bias = {10, -20, 16000};
    return g;
}

std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/brvsim_" + std::to_string(::getpid()) + "_" + name;
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// brova-sim run as a child with its stdout and stderr in pipes.
struct Sim {
    explicit Sim(const std::vector<std::string>& args) {
        std::vector<char*> argv{const_cast<char*>(BROVA_SIM)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        if (::pipe2(err, O_CLOEXEC) != 0) {
            ::close(out[0]);
            ::close(out[1]);
            return;
        }
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execv(BROVA_SIM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        outFd = out[0];
        errFd = err[0];
    }
    ~Sim() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait();
        }
        if (outFd >= 0) ::close(outFd);
        if (errFd >= 0) ::close(errFd);
    }
    // The first line of stdout (the port path), waiting up to 5 s.
    std::string firstLine() {
        std::string line;
        char c;
        pollfd p{outFd, POLLIN, 0};
        while (::poll(&p, 1, 5000) > 0 && ::read(outFd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // The exit code once the child ends (-1 when it was killed by a signal).
    int wait() {
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid) pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string errors() {  // all of stderr; only after the child ended
        std::string all;
        char buf[1024];
        ssize_t r;
        while ((r = ::read(errFd, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(r));
        return all;
    }
    pid_t pid = -1;
    int outFd = -1, errFd = -1;
};

}  // namespace

TEST(DeviceCalibration, KnownForcesGiveTheCountsOfTheGainMatrix) {
    brvsim::Device dev(34);
    ASSERT_TRUE(dev.setChannelGain(1, exampleGain()));
    ASSERT_TRUE(dev.setChannelGain(2, exampleGain()));
    ASSERT_TRUE(dev.setForce(1, {1, 2, 3}));    // x = 100 + 4 + 10, y = 100 - 3 - 20, z = 1 + 600 + 16000
    ASSERT_TRUE(dev.setForce(2, {400, 0, 0}));  // x = 40010: clamped to the field
    EXPECT_FALSE(dev.setForce(4, {1, 0, 0}));
    EXPECT_FALSE(dev.setWrench({1, 0, 0, 0, 0, 0}));  // no six-axis sensor
    brvsim::Gain3 singular = exampleGain();
    singular.gain[2] = {200, 4, 0};
    EXPECT_FALSE(dev.setChannelGain(0, singular));
    dev.setRate(1000);
    ASSERT_TRUE(dev.start());
    host::RawPort port(dev.portName());
    auto f = awaitFrame(port, [](const host::Frame& fr) { return fr.reg == 0x0708; });
    ASSERT_EQ(f.payload.size(), 108u);
    const Bytes& p = f.payload;
    EXPECT_EQ(s16(p, 4), 0);  // channel 0 keeps its load in counts
    EXPECT_EQ(s16(p, 10), 114);
    EXPECT_EQ(s16(p, 12), 77);
    EXPECT_EQ(u16(p, 14), 16601);
    const auto v1 = host::fromReadings(u16(p, 78), u16(p, 80), u16(p, 82), u16(p, 84));
    EXPECT_EQ(v1.x, 114);
    EXPECT_EQ(v1.y, 77);
    EXPECT_EQ(v1.z, 16601);
    EXPECT_EQ(s16(p, 16), 32767);
    EXPECT_EQ(s16(p, 18), -20);
    EXPECT_EQ(u16(p, 20), 16400);

    // A load in counts takes the channel back from its force.
    ASSERT_TRUE(dev.setLoad(1, {5, 6, 30000}));
    f = awaitFrame(port, [](const host::Frame& fr) { return fr.payload.size() == 108 && s16(fr.payload, 10) == 5; });
    ASSERT_EQ(f.payload.size(), 108u);
    EXPECT_EQ(u16(f.payload, 14), 30000);
    EXPECT_EQ(s16(f.payload, 16), 32767);
}

TEST(DeviceCalibration, WrenchThroughTheSixAxisGainAndFzByTheMode) {
    brvsim::Device dev(64);
    brvsim::Gain6 g;
    const double diag[6] = {100, 100, 100, 1000, 1000, 1000};
    for (std::size_t i = 0; i < 6; ++i) g.gain[i][i] = diag[i];
    g.gain[0][3] = 10;  // cross-talk from Tx into Fx
    g.bias = {0, 0, -50, 0, 0, 7};
    ASSERT_TRUE(dev.setSixAxisGain(g));
    ASSERT_TRUE(dev.setWrench({1, -2, -3, 0.5, 0, 0.25}));
    dev.setRegister(brvsim::kRegMode, 1);  // vector mode: Fz signed
    dev.setRate(1000);
    ASSERT_TRUE(dev.start());
    host::RawPort port(dev.portName());
    auto f = awaitFrame(port, [](const host::Frame& fr) { return fr.reg == 0x0708; });
    ASSERT_EQ(f.payload.size(), 96u);
    const int want[6] = {105, -200, -350, 500, 0, 257};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(s16(f.payload, 4 + 2 * i), want[i]) << i;
    dev.setRegister(brvsim::kRegMode, 0);  // raw mode: Fz unsigned, so -350 clamps to 0
    f = awaitFrame(port, [](const host::Frame& fr) { return fr.payload.size() == 96 && u16(fr.payload, 8) != 65186; });
    ASSERT_EQ(f.payload.size(), 96u);
    EXPECT_EQ(u16(f.payload, 8), 0);
    EXPECT_EQ(s16(f.payload, 4), 105);
}

TEST(DeviceCalibration, FileRoundTripSeedsAndErrors) {
    const auto a = brvsim::makeCalibration(7);
    EXPECT_EQ(brvsim::formatCalibration(a, 64), brvsim::formatCalibration(brvsim::makeCalibration(7), 64));
    EXPECT_NE(brvsim::formatCalibration(a, 64), brvsim::formatCalibration(brvsim::makeCalibration(8), 64));
    for (const auto& ch : a.channel) {
        EXPECT_NEAR(ch.gain[1][1], 100, 10.001);
        EXPECT_NEAR(ch.gain[0][1], 0, 3.31);
        EXPECT_NEAR(ch.bias[2], 16000, 500);
    }
    EXPECT_NEAR(a.sixAxis.gain[4][4], 2000, 200.001);

    // What --print-calibration writes reads back as the same numbers.
    brvsim::Calibration b = brvsim::makeCalibration(1);
    std::string error;
    ASSERT_TRUE(brvsim::parseCalibration(brvsim::formatCalibration(a, 64), 64, b, error)) << error;
    EXPECT_EQ(b.channel[3].gain, a.channel[3].gain);
    EXPECT_EQ(b.sixAxis.gain, a.sixAxis.gain);
    EXPECT_EQ(b.sixAxis.bias, a.sixAxis.bias);

    // A block the file does not give stays as it was.
    b = a;
    ASSERT_TRUE(brvsim::parseCalibration("channel 2 # the third\ngain 1 0 0\n 0 1 0\n 0 0 1\nbias 1 2 3\n", 34, b, error));
    EXPECT_EQ(b.channel[2].bias, (std::array<double, 3>{1, 2, 3}));
    EXPECT_EQ(b.channel[1].gain, a.channel[1].gain);

    const std::pair<const char*, const char*> bad[] = {
        {"", "no channel"},
        {"channel 0\ngain 1 0 0 0 1 0 0 0 1\n", "line 1: channel 0 needs a gain and a bias"},
        {"channel 0\ngain 1 2 3 2 4 6 0 0 1\nbias 0 0 0\n", "line 1: the gain of channel 0 is singular"},
        {"channel 0\ngain 1 0 0 0 1 0 0 0\nbias 0 0 0\n", "line 3: gain of channel 0 needs 9 numbers"},
        {"channel 1\n", "line 1: channel needs a number from 0 to 0"},
        {"six-axis\n", "line 1: six-axis block for a device of kind 31"},
        {"gain 1\n", "line 1: gain before any channel"},
        {"channel 0\nscale 2\n", "line 2: unknown word 'scale'"},
    };
    for (const auto& [text, message] : bad) {
        SCOPED_TRACE(text);
        b = a;
        EXPECT_FALSE(brvsim::parseCalibration(text, 31, b, error));
        EXPECT_NE(error.find(message), std::string::npos) << error;
        EXPECT_EQ(b.channel[0].gain, a.channel[0].gain);
    }
}

TEST(DeviceCalibration, ControlPipeChangesTheLoadAndIgnoresBadLines) {
    const std::string gains = tempPath("gain.txt"), fifo = tempPath("control");
    writeFile(gains, "channel 0\ngain 100 0 0.25\n0 100 0\n0 0 100\nbias 0 0 16000\n");
    Sim sim({"--kind", "68", "--rate", "1000", "--gain-matrix", gains, "--force", "1,0,0", "--control", fifo});
    const std::string portName = sim.firstLine();
    ASSERT_FALSE(portName.empty());
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    host::RawPort port(portName);
    ASSERT_TRUE(port.ok());
    auto x = [](const host::Frame& f) { return f.bytes.size() == 29 ? s16(f.bytes, 3) : -99999; };
    EXPECT_EQ(x(awaitFrame(port, [&](const host::Frame& f) { return x(f) == 100; })), 100);

    auto send = [&](const std::string& lines) {
        std::FILE* c = std::fopen(fifo.c_str(), "w");
        ASSERT_NE(c, nullptr);
        std::fputs(lines.c_str(), c);
        std::fclose(c);
    };
    // The bad lines change nothing; the good one after them applies: x =
    // -250 + 0.25 * 3 rounds to -249, z = 16000 + 300.
    send("force 9 1 2 3\nwrench 1 2 3 4 5 6\nnonsense\nforce 0 -2.5 0 3\n");
    auto f = awaitFrame(port, [&](const host::Frame& fr) { return x(fr) != 100; });
    EXPECT_EQ(x(f), -249);
    ASSERT_EQ(f.bytes.size(), 29u);
    EXPECT_EQ(u16(f.bytes, 7), 16300);
    send("counts 7,8,30000\n");
    f = awaitFrame(port, [&](const host::Frame& fr) { return x(fr) != -249; });
    EXPECT_EQ(x(f), 7);

    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    const std::string errors = sim.errors();
    EXPECT_NE(errors.find("ignored \"force 9 1 2 3\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("ignored \"wrench 1 2 3 4 5 6\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("ignored \"nonsense\""), std::string::npos) << errors;
    EXPECT_EQ(errors.find("force 0 -2.5"), std::string::npos) << errors;
    EXPECT_NE(::lstat(fifo.c_str(), &st), 0);  // removed at exit
    std::remove(gains.c_str());
}

TEST(DeviceCalibration, BrovaSimRefusesBadCalibrationOptions) {
    const std::string bad = tempPath("bad.txt");
    writeFile(bad, "channel 0\ngain 1 0 0 0 1 0 0 0 1\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--kind", "31", "--gain-matrix", bad},
        {"--kind", "31", "--gain-matrix", tempPath("missing.txt")},
        {"--kind", "68", "--wrench", "1,2,3,0,0,0"},
        {"--kind", "34", "--channel-force", "4:1,2,3"},
        {"--kind", "34", "--force", "1,2"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[2] + " " + args[3]);
        Sim sim(args);
        EXPECT_EQ(sim.wait(), 2);
        EXPECT_NE(sim.errors().find(args[2]), std::string::npos);
    }
    std::remove(bad.c_str());
}
