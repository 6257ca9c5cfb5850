#include "cs_export.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "brovacalibration.h"

// Every function catches whatever the C++ below it may throw (an exhausted
// heap included) and returns its empty result: nothing crosses the C
// boundary as an exception.
#define BRV_GUARD(empty, body) \
    try {                      \
        body                   \
    } catch (...) {            \
        return empty;          \
    }

namespace {

// A heap copy of text (at most one BPort field) the host releases with
// callDeleteBPORT or callDeletePORTLIST.
char* copyText(const char* text, size_t capacity)
{
    const size_t n = text ? strnlen(text, capacity) : 0;
    char* out = new char[n + 1];
    if (n)
        std::memcpy(out, text, n);
    out[n] = '\0';
    return out;
}

// Stores the three texts of a record into triple, all or nothing.
void storeRecord(const BPort& rec, char** triple)
{
    char* name = nullptr;
    char* kind = nullptr;
    try {
        name = copyText(rec.portName, BPort::textSize);
        kind = copyText(rec.deviceName, BPort::textSize);
        char* id = copyText(rec.deviceId, BPort::textSize);
        triple[0] = name;
        triple[1] = kind;
        triple[2] = id;
    } catch (...) {
        delete[] name;
        delete[] kind;
        throw;
    }
}

} // namespace

// ---------------------------------------------------------------- port discovery

brv_ports* callBrovaPorts_Create(void)
{
    BRV_GUARD(nullptr, { return new BrovaPorts(0, 1000000); })
}

void callBrovaPorts_Dispose(brv_ports* ports)
{
    BRV_GUARD(, { delete ports; })
}

char** callListPorts(brv_ports* ports)
{
    char** list = nullptr;
    int stored = 0;
    try {
        if (!ports)
            return new char*[0];
        const BPort* table = ports->listPorts(false);
        const int n = ports->getLastSize();
        list = new char*[static_cast<size_t>(3 * (n > 0 ? n : 0))];
        for (; stored < n; ++stored)
            storeRecord(table[stored], list + 3 * stored);
        return list;
    } catch (...) {
        // Out of memory part way: give back what was made, hand out nothing.
        if (list) {
            for (int i = 0; i < 3 * stored; ++i)
                delete[] list[i];
            delete[] list;
        }
        return nullptr;
    }
}

int callGetLastSize(brv_ports* ports)
{
    BRV_GUARD(0, { return ports ? ports->getLastSize() : 0; })
}

int callGetSizePorts(brv_ports* ports)
{
    BRV_GUARD(0, { return ports ? ports->getSize(true) : 0; })
}

brv_truth callIsNewPort(brv_ports* ports)
{
    BRV_GUARD(false, { return ports && ports->isNewPort(true); })
}

brv_truth callIsLostPort(brv_ports* ports)
{
    BRV_GUARD(false, { return ports && ports->isLostPort(true); })
}

void callGetNewPort(brv_ports* ports, char** triple)
{
    BRV_GUARD(, {
        if (triple)
            storeRecord(ports ? ports->getNewPort() : BPort(), triple);
    })
}

void callGetLostPort(brv_ports* ports, char** triple)
{
    BRV_GUARD(, {
        if (triple)
            storeRecord(ports ? ports->getLostPort() : BPort(), triple);
    })
}

brv_truth callWatchPort(brv_ports* ports, const char* path)
{
    BRV_GUARD(false, { return ports && ports->watchPort(path); })
}

// ---------------------------------------------------------------- releasing

void callDeleteBPORT(char** triple)
{
    if (!triple)
        return;
    for (int i = 0; i < 3; ++i)
        delete[] triple[i];
}

void callDeletePORTLIST(char*** list, int count)
{
    if (!list || !*list)
        return;
    for (int i = 0; i < 3 * count; ++i)
        delete[] (*list)[i];
    delete[] *list;
}

void callDeletePackageArray(brv_package** arr)
{
    if (arr)
        delete[] *arr;
}

void callDeleteIntArray(int** arr)
{
    if (arr)
        delete[] *arr;
}

// ---------------------------------------------------------------- acquisition

brv_daq* callBrovaDAQ_Create(void)
{
    BRV_GUARD(nullptr, { return new BrovaDAQ(); })
}

void callBrovaDAQ_Dispose(brv_daq* daq)
{
    BRV_GUARD(, { delete daq; })
}

brv_truth callOpen(brv_daq* daq, const char* portName, const char* deviceName)
{
    BRV_GUARD(false, {
        if (!daq)
            return false;
        BPort port;
        BPort::setText(port.portName, portName);
        BPort::setText(port.deviceName, deviceName);
        return daq->open(port, true, 1000000);
    })
}

void callClose(brv_daq* daq)
{
    BRV_GUARD(, {
        if (daq)
            daq->close();
    })
}

brv_truth callIsOpen(brv_daq* daq)
{
    BRV_GUARD(false, { return daq && daq->isOpen(); })
}

char* callGetPortName(brv_daq* daq)
{
    BRV_GUARD(nullptr, { return daq ? daq->getPortName() : nullptr; })
}

int callGetSize(brv_daq* daq)
{
    BRV_GUARD(0, { return daq ? daq->getSize() : 0; })
}

int callGetSensorSize(brv_daq* daq)
{
    BRV_GUARD(0, { return daq ? daq->getSensorSize() : 0; })
}

brv_truth callIsChksumOK(brv_daq* daq)
{
    BRV_GUARD(false, { return daq && daq->isChksumOK(); })
}

int callGetActualVersion(brv_daq* daq)
{
    BRV_GUARD(0, { return daq ? static_cast<int>(daq->getVersion()) : 0; })
}

int callGetBytesPerRead(brv_daq* daq)
{
    BRV_GUARD(0, { return daq ? daq->getBytesPerRead() : 0; })
}

brv_truth callIsVirtual(brv_daq* daq)
{
    BRV_GUARD(false, { return daq && daq->isVirtual(); })
}

void callGetStatistics(brv_daq* daq, brv_statistics* out)
{
    BRV_GUARD(, {
        if (out)
            *out = daq ? daq->getStatistics() : BrovaStatistics{};
    })
}

void callGetConfig(brv_daq* daq, brv_config* out)
{
    BRV_GUARD(, {
        if (daq && out)
            *out = daq->getConfig();
    })
}

brv_truth callSendConfig(brv_daq* daq, int mode, int speed, int filter)
{
    BRV_GUARD(false, {
        if (!daq)
            return false;
        SensorConfig c;
        c.setFilter(filter);
        c.setSpeed(speed);
        c.setMode(mode);
        return daq->sendConfig(c);
    })
}

brv_truth callZero(brv_daq* daq, int channel)
{
    BRV_GUARD(false, { return daq && daq->zero(channel); })
}

void callZeroAll(brv_daq* daq)
{
    BRV_GUARD(, {
        if (daq)
            daq->zeroAll();
    })
}

brv_truth callUnzero(brv_daq* daq, int channel)
{
    BRV_GUARD(false, { return daq && daq->unzero(channel); })
}

void callUnzeroAll(brv_daq* daq)
{
    BRV_GUARD(, {
        if (daq)
            daq->unzeroAll();
    })
}

namespace {
constexpr int kNotOpen = -2;
}

int callRead(brv_daq* daq, brv_package* pkg, int channel, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !pkg)
            return kNotOpen;
        return daq->read(*pkg, channel, peek != 0);
    })
}

int callReadArray(brv_daq* daq, int* values, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !values)
            return kNotOpen;
        return daq->readArray(*reinterpret_cast<int(*)[8]>(values), peek != 0);
    })
}

int callReadVirtual(brv_daq* daq, brv_package* pkgs, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !pkgs)
            return kNotOpen;
        return daq->readVirtual(*reinterpret_cast<BrovaPackage(*)[16]>(pkgs), peek != 0);
    })
}

int callReadVirtualArray(brv_daq* daq, int* values, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !values)
            return kNotOpen;
        return daq->readVirtualArray(*reinterpret_cast<int(*)[128]>(values), peek != 0);
    })
}

int callReadAll(brv_daq* daq, brv_package** arr, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !arr)
            return kNotOpen;
        return daq->readAll(*arr, peek != 0);
    })
}

int callRead6D(brv_daq* daq, brv_package6d* pkg, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !pkg)
            return kNotOpen;
        return daq->read6D(*pkg, peek != 0);
    })
}

int callRead6Axis(brv_daq* daq, int* values, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !values)
            return kNotOpen;
        return daq->read6Axis(*reinterpret_cast<int(*)[6]>(values), peek != 0);
    })
}

int callReadAll6Axis(brv_daq* daq, int** values, brv_bool peek)
{
    BRV_GUARD(kNotOpen, {
        if (!daq || !values)
            return kNotOpen;
        return daq->readAll6Axis(*values, peek != 0);
    })
}

// ---------------------------------------------------------------- sample instants

int32_t callGetStamps(brv_daq* daq, int64_t* stamps, int32_t capacity)
{
    BRV_GUARD(0, { return daq ? daq->getStamps(stamps, capacity) : 0; })
}

double callGetEstimatedRate(brv_daq* daq)
{
    BRV_GUARD(0.0, { return daq ? daq->getEstimatedRate() : 0.0; })
}

int64_t callGetRealtimeOffset(void)
{
    BRV_GUARD(0, { return BrovaDAQ::getRealtimeOffset(); })
}

int32_t callGetFlags(brv_daq* daq, uint32_t* flags, int32_t capacity)
{
    BRV_GUARD(0, { return daq ? daq->getFlags(flags, capacity) : 0; })
}

// ---------------------------------------------------------------- calibration

namespace {

// A heap copy of text that the host releases with callDeleteText.
char* newText(const std::string& text)
{
    char* out = new char[text.size() + 1];
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

constexpr int32_t kBadArgument = -1;
constexpr int32_t kNoCalibration = -2;
constexpr int32_t kNotCovered = -3;
constexpr int32_t kMaxChannels = 16;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <size_t N>
void store(const double (&v)[N], double* out)
{
    std::memcpy(out, v, sizeof v);
}

void storeNaN(double* out, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = kNaN;
}

} // namespace

void callDeleteText(char** text)
{
    if (text)
        delete[] *text;
}

brv_calibration* callCalibration_Load(const char* path, char** error)
{
    if (error)
        *error = nullptr;
    try {
        auto* cal = new BrovaCalibration();
        if (path && cal->load(path))
            return cal;
        const std::string why = path ? cal->error() : std::string("no file named (NULL path)");
        delete cal;
        if (error)
            *error = newText(why);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

void callCalibration_Dispose(brv_calibration* cal)
{
    BRV_GUARD(, { delete cal; })
}

int32_t callCalibration_Kind(brv_calibration* cal)
{
    BRV_GUARD(0, { return cal ? cal->kind() : 0; })
}

char* callCalibration_Identification(brv_calibration* cal)
{
    BRV_GUARD(nullptr, { return cal ? newText(cal->identification()) : nullptr; })
}

char* callCalibration_Serial(brv_calibration* cal)
{
    BRV_GUARD(nullptr, { return cal ? newText(cal->serial()) : nullptr; })
}

char* callCalibration_Inputs(brv_calibration* cal, int32_t channel)
{
    BRV_GUARD(nullptr, {
        if (!cal)
            return nullptr;
        std::string joined;
        for (const std::string& name : cal->inputs(channel)) {
            if (!joined.empty())
                joined += ',';
            joined += name;
        }
        return newText(joined);
    })
}

brv_truth callCalibration_Matches(brv_calibration* cal, int32_t kind, const char* identification)
{
    BRV_GUARD(false, { return cal && cal->matches(kind, identification ? identification : ""); })
}

char* callCalibration_Error(brv_calibration* cal)
{
    BRV_GUARD(nullptr, { return cal ? newText(cal->error()) : nullptr; })
}

int32_t callCalibration_Range(brv_calibration* cal, int32_t channel, double* out, int32_t capacity)
{
    BRV_GUARD(0, {
        if (!cal)
            return 0;
        const std::vector<double> range = cal->range(channel);
        if (out && capacity > 0)
            std::copy_n(range.begin(), std::min<size_t>(range.size(), static_cast<size_t>(capacity)), out);
        return static_cast<int32_t>(range.size());
    })
}

int32_t callCalibration_ApplyForces(brv_calibration* cal, const brv_package* arr, int32_t n, int32_t channels,
                                    brv_bool tared, double* out)
{
    return callCalibration_ApplyForcesFlagged(cal, arr, n, channels, tared, out, nullptr);
}

int32_t callCalibration_ApplyWrenches(brv_calibration* cal, const brv_package6d* arr, int32_t n, brv_bool tared,
                                      double* out)
{
    return callCalibration_ApplyWrenchesFlagged(cal, arr, n, tared, out, nullptr);
}

int32_t callCalibration_ApplyWrenchesFromChannels(brv_calibration* cal, const brv_package* arr, int32_t n,
                                                  brv_bool tared, double* out)
{
    return callCalibration_ApplyWrenchesFromChannelsFlagged(cal, arr, n, tared, out, nullptr);
}

int32_t callCalibration_ApplyForcesFlagged(brv_calibration* cal, const brv_package* arr, int32_t n,
                                           int32_t channels, brv_bool tared, double* out, uint32_t* flags)
{
    BRV_GUARD(kBadArgument, {
        if (!cal)
            return kNoCalibration;
        if (n < 0 || channels < 1 || channels > kMaxChannels || (n > 0 && (!arr || !out)))
            return kBadArgument;
        bool any = false;
        for (int c = 0; c < channels; ++c)
            any = any || cal->hasChannel(c);
        if (!any)
            return kNotCovered;
        const size_t rows = static_cast<size_t>(n);
        for (int c = 0; c < channels; ++c) {
            for (size_t k = 0; k < rows; ++k) {
                double* at = out + (k * static_cast<size_t>(channels) + static_cast<size_t>(c)) * 3;
                double force[3];
                uint32_t unused = 0;
                if (cal->applyForce(arr[static_cast<size_t>(c) * rows + k], c, tared != 0, force,
                                    flags ? flags[k] : unused))
                    store(force, at);
                else
                    storeNaN(at, 3);
            }
        }
        return n;
    })
}

int32_t callCalibration_ApplyWrenchesFlagged(brv_calibration* cal, const brv_package6d* arr, int32_t n,
                                             brv_bool tared, double* out, uint32_t* flags)
{
    BRV_GUARD(kBadArgument, {
        if (!cal)
            return kNoCalibration;
        if (n < 0 || (n > 0 && (!arr || !out)))
            return kBadArgument;
        if (!cal->hasSixAxis())
            return kNotCovered;
        for (size_t k = 0; k < static_cast<size_t>(n); ++k) {
            double wrench[6];
            uint32_t unused = 0;
            if (cal->applyWrench(arr[k], tared != 0, wrench, flags ? flags[k] : unused))
                store(wrench, out + 6 * k);
            else
                storeNaN(out + 6 * k, 6);
        }
        return n;
    })
}

int32_t callCalibration_ApplyWrenchesFromChannelsFlagged(brv_calibration* cal, const brv_package* arr, int32_t n,
                                                         brv_bool tared, double* out, uint32_t* flags)
{
    BRV_GUARD(kBadArgument, {
        if (!cal)
            return kNoCalibration;
        if (n < 0 || (n > 0 && (!arr || !out)))
            return kBadArgument;
        if (!cal->hasSixAxis())
            return kNotCovered;
        for (const std::string& name : cal->inputs(-1))
            if (name.compare(0, 6, "sensor") != 0)
                return kNotCovered;  // Fx ... Tz: a six-axis sample's, not four channels'
        const size_t rows = static_cast<size_t>(n);
        for (size_t k = 0; k < rows; ++k) {
            double wrench[6];
            uint32_t unused = 0;
            if (cal->applyWrench(arr[k], arr[rows + k], arr[2 * rows + k], arr[3 * rows + k], tared != 0, wrench,
                                 flags ? flags[k] : unused))
                store(wrench, out + 6 * k);
            else
                storeNaN(out + 6 * k, 6);
        }
        return n;
    })
}
