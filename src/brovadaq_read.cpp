// The read operations of the acquisition engine: three-axis and six-axis
// samples, and a four-channel device read as one six-axis sensor.
#include <algorithm>
#include <iterator>
#include <new>

#include "allocators.h"
#include "arith.h"
#include "brovadaq_p.h"

// ---------------------------------------------------------------- three-axis reads

// The queues of one read call. They are emptied at the start of every call
// and keep their storage, so that a call allocates nothing once the engine
// has seen its largest burst (bounded by the reader's 100000-byte cap). No
// call uses them while another read call that it made still does.
BrovaDAQ_private::ChannelQueues& BrovaDAQ_private::freshQueues()
{
    for (auto& q : channelQueues)
        q.clear();
    return channelQueues;
}

BrovaDAQ_private::Queue6D& BrovaDAQ_private::freshQueue6D()
{
    queue6D.clear();
    return queue6D;
}

int BrovaDAQ_private::read(BrovaPackage& pkg, int channel, bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    if (channel < 0 || channel >= maxChannels || (sensorSize != 0 && channel >= sensorSize))
        return -3;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (!queues[channel].empty()) {
        pkg = queues[channel].back();
        handOutNewestStamp();
    }
    return status;
}

int BrovaDAQ_private::readVirtual(BrovaPackage (&pkgs)[maxChannels], bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (!queues[0].empty() && sensorSize > 0) {
        const int channels = std::min(sensorSize, static_cast<int>(maxChannels));
        for (int c = 0; c < channels; ++c) {
            if (!queues[c].empty())
                pkgs[c] = queues[c].back();
        }
        handOutNewestStamp();
    }
    return status;
}

int BrovaDAQ_private::readAll(BrovaPackage*& arr, bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (status == -1)
        return -1;
    const int n = static_cast<int>(queues[0].size());
    // Samples of a frame are made for at least one channel.
    const int channels = std::max(1, std::min(sensorSize, static_cast<int>(maxChannels)));
    if (n == 0 || !brova::alloc::reallocPackArray(arr, channels * n)) {
        // No sample (or no memory for them): the caller's array is released.
        delete[] arr;
        arr = nullptr;
        return 0;
    }
    for (int c = 0; c < channels; ++c) {
        const int taken = std::min(n, static_cast<int>(queues[c].size()));
        for (int k = 0; k < taken; ++k)
            arr[c * n + k] = queues[c][k];
    }
    handOutStamps(0, std::min(n, static_cast<int>(frameStamps.size())));
    return n;
}

int BrovaDAQ_private::readArray(int (&values)[8], bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    BrovaPackage p;
    ChannelQueues& queues = freshQueues();
    const int status = smProcess(queues, peek);
    if (!queues[0].empty()) {
        p = queues[0].back();
        handOutNewestStamp();
    }
    const int32_t out[8] = {p.s1, p.s2, p.s3, p.s4, p.x, p.y, p.z, p.aux};
    std::copy(std::begin(out), std::end(out), values);
    return status;
}

int BrovaDAQ_private::readVirtualArray(int (&values)[128], bool peek)
{
    BrovaPackage pkgs[maxChannels];
    const int status = readVirtual(pkgs, peek);
    if (status == -2)
        return -2;
    const int channels = std::min(getSensorSize(), static_cast<int>(maxChannels));
    for (int c = 0; c < channels; ++c) {
        const BrovaPackage& p = pkgs[c];
        const int32_t out[8] = {p.x, p.y, p.z, p.s1, p.s2, p.s3, p.s4, p.aux};
        std::copy(std::begin(out), std::end(out), values + 8 * c);
    }
    return status;
}

// ---------------------------------------------------------------- six-axis reads

int BrovaDAQ_private::read6D(BrovaPackage6D& pkg, bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    Queue6D& queue = freshQueue6D();
    const int r = smProcess6D(queue, peek);
    if (!queue.empty()) {
        pkg = queue.back();
        handOutNewestStamp();
    }
    return r;
}

int BrovaDAQ_private::readAll6D(BrovaPackage6D*& arr, bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    Queue6D& queue = freshQueue6D();
    const int r = smProcess6D(queue, peek);
    if (r == -1)
        return -1;
    const int n = static_cast<int>(queue.size());
    if (n == 0 || !brova::alloc::reallocPackArray(arr, n)) {
        delete[] arr;
        arr = nullptr;
        return 0;
    }
    std::copy(queue.begin(), queue.end(), arr);
    handOutStamps(0, std::min(n, static_cast<int>(frameStamps.size())));
    return r;
}

BrovaPackage BrovaDAQ_private::calc6axisVector(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4)
{
    using brova::arith::add;
    BrovaPackage force;
    force.x = static_cast<int32_t>(add(add(p1.x, p2.x), add(p3.x, p4.x)) * 0.25);
    force.y = static_cast<int32_t>(add(add(p1.y, p2.y), add(p3.y, p4.y)) * 0.25);
    force.z = static_cast<int32_t>(add(add(p1.z, p2.z), add(p3.z, p4.z)) * 0.0625);
    return force;
}

BrovaPackage BrovaDAQ_private::calc6axisTorque(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4)
{
    using brova::arith::add;
    using brova::arith::sub;
    BrovaPackage torque;
    torque.x = static_cast<int32_t>(sub(p1.z, p3.z) * 0.5);
    torque.y = static_cast<int32_t>(sub(p4.z, p2.z) * 0.5);
    torque.z = static_cast<int32_t>(sub(sub(add(p3.y, p4.x), p1.x), p2.x) * 0.25);
    return torque;
}

void BrovaDAQ_private::writeWrench(BrovaPackage& p1, BrovaPackage& p2, BrovaPackage& p3, BrovaPackage& p4, int* out)
{
    const BrovaPackage f = calc6axisVector(p1, p2, p3, p4);
    const BrovaPackage t = calc6axisTorque(p1, p2, p3, p4);
    const int six[6] = {f.x, f.y, f.z, t.x, t.y, t.z};
    std::copy(std::begin(six), std::end(six), out);
}

int BrovaDAQ_private::read6Axis(int (&values)[6], bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    if (sensorSize != 4)
        return -3;
    BrovaPackage pkgs[maxChannels];
    const int r = readVirtual(pkgs, peek);
    if (r > 0)
        writeWrench(pkgs[0], pkgs[1], pkgs[2], pkgs[3], values);
    return r;
}

int BrovaDAQ_private::readAll6Axis(int*& values, bool peek)
{
    handOutStamps(0, 0);  // until this call hands samples out: none
    if (!isOpen())
        return -2;
    if (sensorSize != 4)
        return -3;
    delete[] values;
    values = nullptr;
    BrovaPackage* pkgs = nullptr;
    int r = readAll(pkgs, peek);
    if (r == -1 || r == -2) {
        // -2: the reader ended by itself since the test above; values stays
        // null, as for a parse that did not run.
        delete[] pkgs;
        return r;
    }
    // Four channels of r samples each are needed; a stream whose kind changed
    // during the parse may have left fewer: then no instant is complete.
    if (r > 0 && reinterpret_cast<const uint64_t*>(pkgs)[-1] < static_cast<uint64_t>(4 * r))
        r = 0;
    values = new (std::nothrow) int[static_cast<size_t>(6 * std::max(r, 0))];
    if (!values)
        r = 0;
    for (int k = 0; k < r; ++k)
        writeWrench(pkgs[k], pkgs[r + k], pkgs[2 * r + k], pkgs[3 * r + k], values + 6 * k);
    delete[] pkgs;
    handOutStamps(0, std::min(std::max(r, 0), static_cast<int>(frameStamps.size())));
    return r;
}
