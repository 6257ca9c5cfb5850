// The clock model of the acquisition engine: sample instants from arrival
// instants. See brovadaq_clock_p.h.
#include "brovadaq_clock_p.h"

#include "brovadaq_p.h"

#include <algorithm>
#include <cmath>

void BrovaClockModel::reset(double nominalRate)
{
    const int64_t stamp = lastStamp;  // stamps go on increasing
    *this = BrovaClockModel();
    nominal = nominalRate > 0 ? nominalRate : 0;
    lastStamp = stamp;
}

void BrovaClockModel::breakCount()
{
    startWindow();
}

int BrovaClockModel::warmupFrames() const
{
    return std::max(8, static_cast<int>(nominal * 0.2));
}

int BrovaClockModel::windowFrames() const
{
    return std::max(8, static_cast<int>(nominal * windowSeconds));
}

bool BrovaClockModel::fitted() const
{
    return points >= 3 && ckk > 0 && lastK - firstK >= fitSpanSeconds * nominal;
}

double BrovaClockModel::fittedPeriod() const
{
    const double b = ckh / ckk;
    // A fit more than 1 % off the nominal period is not a crystal's error:
    // the points do not describe the device (yet).
    const double p = 1e9 / nominal;
    return std::abs(b / p - 1) <= 0.01 ? b : 0;
}

double BrovaClockModel::period() const
{
    const double b = fitted() ? fittedPeriod() : 0;
    return b > 0 ? b : 1e9 / nominal;
}

double BrovaClockModel::estimatedRate() const
{
    const double b = nominal > 0 && fitted() ? fittedPeriod() : 0;
    return b > 0 ? 1e9 / b : 0;
}

void BrovaClockModel::addPoint(double k, double h)
{
    static const double decay = std::exp(-windowSeconds / decaySeconds);
    weight = weight * decay + 1;
    const double dk = k - meanK;
    meanK += dk / weight;
    const double dh = h - meanH;
    meanH += dh / weight;
    ckk = ckk * decay + dk * (k - meanK);
    ckh = ckh * decay + dk * (h - meanH);
    if (points++ == 0)
        firstK = k;
    lastK = k;
}

int64_t BrovaClockModel::stamp(int64_t arrival, int64_t latest)
{
    int64_t s = latest;
    if (nominal > 0) {
        const double p = period();
        const double bound = static_cast<double>(latest);
        if (sinceAnchor == 0)
            originArrival = arrival;
        else if (arrival - lastArrival > gapPeriods * p + gapAllowanceNs)
            startWindow();  // a pause, or a host that stalled: the frames after it tell which

        // The envelope: the previous stamp's line run on by one period (and
        // the drift bound), pulled down by any earlier arrival.
        const double predicted = sinceAnchor == 0 ? bound : envelope + p * (1 + driftBound);
        envelope = std::min(predicted, bound);

        // The window's regression point (its earliest arrival against the
        // nominal line) and its least lateness against the envelope.
        const double k = static_cast<double>(frames++);
        const double h = static_cast<double>(arrival - originArrival);
        const double residual = h - k * (1e9 / nominal);
        if (windowCount == 0 || residual < windowBestResidual) {
            windowBestK = k;
            windowBestH = h;
            windowBestResidual = residual;
        }
        windowLeastLate = windowCount == 0 ? bound - predicted : std::min(windowLeastLate, bound - predicted);
        if (++windowCount >= windowFrames()) {
            if (sinceAnchor >= warmupFrames() && windowLeastLate > p / 2) {
                // Every frame of the window came late: frames are missing
                // from the count. Count them in; the window's point, made
                // with the old count, is not used.
                const double missed = std::round(windowLeastLate / p);
                frames += static_cast<int64_t>(missed);
                envelope += missed * p;
            } else {
                addPoint(windowBestK, windowBestH);
            }
            startWindow();
        }

        if (sinceAnchor < warmupFrames()) {
            // Warm-up: the arrival stamp, the frames of one burst spread back
            // from it by the period; a burst too long for that (frames held
            // up, then all at once) shares out the time since the previous
            // stamp evenly instead of piling up just after it.
            const int64_t later = arrival - latest;  // frames of the same chunk after this one
            s = arrival - static_cast<int64_t>(static_cast<double>(later) * p);
            if (lastStamp > 0 && s <= lastStamp)
                s = lastStamp + std::max<int64_t>(1, (arrival - lastStamp) / (later + 1));
        } else
            s = static_cast<int64_t>(envelope);
        ++sinceAnchor;
    }
    // Strictly increasing and never past the bound. The caller's bounds leave
    // room: the reader's arrivals are apart by at least the bytes between
    // them, and a chunk completes fewer frames than it holds bytes.
    s = std::min(std::max(s, lastStamp + 1), latest);
    lastStamp = s;
    lastArrival = arrival;
    return s;
}

// ---------------------------------------------------------------- the engine's stamps

void BrovaDAQ_private::takeBytes(bool keep, int& status)
{
    uint64_t dropped = 0;
    readerThread.getBuffer(keep, status, rxBytes, rxArrivals, dropped);
    frameMarks.clear();
    frameStamps.clear();
    frameArrivals.clear();
    stampsFirst = stampsCount = 0;
    if (dropped != droppedSeen) {
        // Bytes went at the cap since the last run: frames are missing.
        droppedSeen = dropped;
        clock.breakCount();
    }
}

void BrovaDAQ_private::markFrame()
{
    frameMarks.push_back({parseIndex, parsed.checksumFailures + parsed.framesMalformed, config.getSpeed()});
}

void BrovaDAQ_private::stampFrames()
{
    const size_t n = frameMarks.size();
    frameStamps.resize(n);
    frameArrivals.resize(n);
    size_t chunk = 0;       // the arrival that holds the frame's last byte
    size_t chunkEnd = 0;    // the first frame of a later chunk
    for (size_t j = 0; j < n; ++j) {
        const FrameMark& m = frameMarks[j];
        while (chunk < rxArrivals.size() && rxArrivals[chunk].end <= m.at)
            ++chunk;
        const int64_t arrival = chunk < rxArrivals.size() ? rxArrivals[chunk].stamp : ReaderThread::monotonicNow();
        if (chunkEnd <= j) {
            chunkEnd = j + 1;
            while (chunkEnd < n && chunk < rxArrivals.size() && frameMarks[chunkEnd].at < rxArrivals[chunk].end)
                ++chunkEnd;
        }
        if (m.rate != clock.nominalRate())
            clock.reset(m.rate);  // a rate change the device confirmed
        else if (m.failures != failuresSeen)
            clock.breakCount();  // a frame failed or was malformed since the last
        failuresSeen = m.failures;
        // Later frames of the same chunk: each takes 1 ns of room below the arrival.
        frameStamps[j] = clock.stamp(arrival, arrival - static_cast<int64_t>(chunkEnd - j - 1));
        frameArrivals[j] = arrival;
    }
}

void BrovaDAQ_private::handOutStamps(int first, int count)
{
    stampsFirst = first;
    stampsCount = count;
}

int BrovaDAQ_private::getStamps(int64_t* stamps, int capacity)
{
    if (stamps && capacity > 0)
        std::copy_n(frameStamps.begin() + stampsFirst, std::min(stampsCount, capacity), stamps);
    return stampsCount;
}

double BrovaDAQ_private::getEstimatedRate()
{
    return clock.estimatedRate();
}
