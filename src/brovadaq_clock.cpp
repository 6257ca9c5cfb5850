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
    period = nominal > 0 ? 1e9 / nominal : 0;
    drift = driftBound;
    lastStamp = stamp;
}

void BrovaClockModel::breakCount()
{
    if (sinceAnchor > 0) {
        broken = true;
        resolving = true;
    }
    startWindow();
}

int BrovaClockModel::warmupFrames() const
{
    return std::max(8, static_cast<int>(0.2e9 / period));
}

int BrovaClockModel::windowFrames() const
{
    return std::max(8, static_cast<int>(windowSeconds * 1e9 / period));
}

double BrovaClockModel::minPeriod() const
{
    if (nominal <= 0)
        return 1;
    return period * (1 - (settled ? drift : std::max(drift, 2 * driftBound)));
}

double BrovaClockModel::estimatedRate() const
{
    return settled && period > 0 ? 1e9 / period : 0;
}

void BrovaClockModel::bounds(const int64_t* arrivals, int64_t* latest, int n) const
{
    if (n <= 0)
        return;
    const double pmin = std::max(1.0, minPeriod());
    latest[n - 1] = arrivals[n - 1];
    for (int j = n - 2; j >= 0; --j)
        latest[j] = std::min(arrivals[j], latest[j + 1] - static_cast<int64_t>(pmin));
    if (latest[0] > lastStamp)
        return;
    // The stamps already handed out leave no room below these bounds (they
    // came from arrivals that had waited, with nothing later in their read
    // to show it): the frames share the time up to the last arrival evenly
    // rather than pile up 1 ns after the last stamp.
    const double share = static_cast<double>(arrivals[n - 1] - lastStamp) / n;
    for (int j = 0; j < n; ++j)
        latest[j] = std::max(latest[j], lastStamp + std::max<int64_t>(j + 1, static_cast<int64_t>(share * (j + 1))));
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
    chh = chh * decay + dh * (h - meanH);
    if (points++ == 0)
        firstH = h;
    lastH = h;
}

void BrovaClockModel::restartFit()
{
    weight = meanK = meanH = ckk = ckh = chh = 0;
    points = 0;
}

void BrovaClockModel::updatePeriod()
{
    const double span = lastH - firstH;
    if (points < 2 || !(ckk > 0) || span < windowSeconds / 2 * 1e9)
        return;
    const double b = ckh / ckk;
    const double off = b > 0 ? std::abs(b / period - 1) : 1;
    // Two points each up to 1 ms off the floor cannot tell less than this.
    if (off > std::max(coarseOff, 2e6 / span)) {
        // The device does not run at the period the points were chosen
        // against: the fit (if it is one) becomes that period, the envelope
        // may run ahead of it by its uncertainty, and the points start again.
        if (b > 0)
            period = b;
        settled = false;
        drift = coarseOff / 2;
        restartFit();
        startWindow();
        return;
    }
    if (points < 3 || span < fitSpanSeconds * 1e9)
        return;
    period = b;
    if (!settled && off > fineOff) {
        drift = driftBound;  // closer; established once a fit agrees with it
        return;
    }
    settled = true;
    // The drift the envelope allows: four standard errors of the fit's
    // period, within [minDrift, driftBound].
    const double scatter = std::max(0.0, chh - b * ckh) / std::max(1.0, weight - 2);
    drift = std::min(driftBound, std::max(minDrift, 4 * std::sqrt(scatter / ckk) / b));
}

int64_t BrovaClockModel::stamp(int64_t arrival, int64_t latest)
{
    int64_t s = latest;
    if (nominal > 0) {
        const double p = period;
        const double bound = static_cast<double>(latest);
        if (sinceAnchor == 0)
            originArrival = arrival;
        else if (arrival - lastArrival > gapPeriods * p + gapAllowanceNs)
            startWindow();  // a pause, or a host that stalled: the frames after it tell which

        // The count's line: the previous frame's run on by one period (and
        // the drift bound), pulled down by any earlier instant.
        const double predicted = sinceAnchor == 0 ? bound : line + p * (1 + drift);
        // The envelope: the same, started again at a break; while the rate
        // is not established, never further below the bound than a bridge
        // holds a frame.
        double next = sinceAnchor == 0 || broken ? bound : envelope + p * (1 + drift);
        if (!settled)
            next = std::max(next, bound - static_cast<double>(gapAllowanceNs));
        envelope = std::min(next, bound);
        line = resolving ? std::min(predicted, bound) : envelope;
        broken = false;

        // The window's regression point (its earliest arrival against the
        // period's line), its least lateness against the count's line, and
        // whether its frames came at the device's pace. Arrivals, not bounds:
        // a bound spread back from a later arrival holds a little of the
        // drift allowed for every frame between them.
        const double k = static_cast<double>(frames++);
        const double h = static_cast<double>(arrival - originArrival);
        const double residual = h - k * p;
        if (windowCount == 0 || residual < windowBestResidual) {
            windowBestK = k;
            windowBestH = h;
            windowBestResidual = residual;
        }
        const double late = static_cast<double>(arrival) - predicted;
        if (windowCount == 0) {
            windowLeastLate = late;
            windowFirstArrival = arrival;
        } else
            windowLeastLate = std::min(windowLeastLate, late);
        // A window ends after windowFrames, or windowSeconds of arrivals at
        // a device that runs slower than the period says.
        ++windowCount;
        if (windowCount >= windowFrames() ||
            (windowCount >= 8 && static_cast<double>(arrival - windowFirstArrival) >= windowSeconds * 1e9)) {
            const double least = windowLeastLate;
            const bool atPace = static_cast<double>(arrival - windowFirstArrival) >= paceShare * (windowCount - 1) * p;
            const bool allLate = least > p / 2 && (resolving || sinceAnchor >= warmupFrames());
            if (allLate && !atPace) {
                // Late, but faster than the device's pace: a backlog being
                // caught up. Nothing moves, and no point is taken.
            } else if (allLate && (settled || resolving)) {
                // Every frame of the window came late, at the device's pace:
                // frames are missing from the count. Count them in; the
                // window's point, made with the old count, is not used.
                const double missed = std::round(least / p);
                frames += static_cast<int64_t>(missed);
                if (resolving) {
                    // Missing at a known break: a whole number of periods.
                    line += missed * p;
                    envelope = std::min(envelope, line);
                } else {
                    // Without a word: frames the device skipped, or a pause
                    // of no whole number of periods, whose rest moves the
                    // regression's origin.
                    originArrival += static_cast<int64_t>(least - missed * p);
                    envelope += least;
                }
                line = envelope;
                resolving = false;
            } else {
                addPoint(windowBestK, windowBestH);
                updatePeriod();
                if (atPace && least > 0) {
                    // No frame of the window came before the line: it is
                    // early (a device slower than the period said, while
                    // the rate is not established). It moves up to the
                    // window's earliest arrival, run on to this frame by the
                    // period as it now stands.
                    const double earliest = static_cast<double>(originArrival) + windowBestH + (k - windowBestK) * period;
                    line = std::max(line + least, std::min(earliest, bound));
                    if (!resolving)
                        envelope = line;
                }
                if (resolving)
                    envelope = std::min(envelope, line);
                line = envelope;
                resolving = false;
            }
            startWindow();
        }
        s = static_cast<int64_t>(envelope);
        ++sinceAnchor;
    }
    // Strictly increasing and never past the bound. The bounds leave room
    // (bounds() and the reader's arrivals, apart by at least the bytes
    // between them, see to it).
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
    size_t chunk = 0;  // the arrival that holds the frame's last byte
    for (size_t j = 0; j < n; ++j) {
        while (chunk < rxArrivals.size() && rxArrivals[chunk].end <= frameMarks[j].at)
            ++chunk;
        frameArrivals[j] = chunk < rxArrivals.size() ? rxArrivals[chunk].stamp : ReaderThread::monotonicNow();
    }
    // The frames of one configured rate at a time: their latest instants
    // (into frameStamps) as the model stands at their first, then their stamps.
    for (size_t first = 0; first < n;) {
        const int rate = frameMarks[first].rate;
        if (rate != clock.nominalRate())
            clock.reset(rate);  // a rate change the device confirmed
        size_t end = first + 1;
        while (end < n && frameMarks[end].rate == rate)
            ++end;
        clock.bounds(frameArrivals.data() + first, frameStamps.data() + first, static_cast<int>(end - first));
        for (size_t j = first; j < end; ++j) {
            const FrameMark& m = frameMarks[j];
            if (m.failures != failuresSeen)
                clock.breakCount();  // a frame failed or was malformed since the last
            failuresSeen = m.failures;
            frameStamps[j] = clock.stamp(frameArrivals[j], frameStamps[j]);
        }
        first = end;
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
