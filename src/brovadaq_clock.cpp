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
    startSlices();
}

int BrovaClockModel::warmupFrames() const
{
    return std::max(8, static_cast<int>(std::min(1e6, 0.2e9 / period)));
}

int BrovaClockModel::windowFrames() const
{
    return std::max(8, static_cast<int>(std::min(1e6, windowSeconds * 1e9 / period)));
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
    // What the arrivals alone allow, 1 ns apart within a chunk (the reader's
    // arrivals are apart by at least the bytes between them, so this leaves
    // room above the last stamp), then what the next frame allows.
    const auto pmin = static_cast<int64_t>(std::max(1.0, minPeriod()));
    const bool capped = !settled && nominal > 0;
    int64_t later = 0;  // frames after this one in its chunk
    for (int j = n - 1; j >= 0; --j) {
        later = j + 1 < n && arrivals[j + 1] == arrivals[j] ? later + 1 : 0;
        const int64_t hard = arrivals[j] - later;
        latest[j] = j + 1 < n ? std::min(hard, latest[j + 1] - pmin) : hard;
        // Until the rate is established the least period is the configured
        // one's, too long for a device faster than that: no bound reaches
        // further back than a first chunk waits.
        if (capped)
            latest[j] = std::max(latest[j], hard - arrivalAllowanceNs);
    }
    if (latest[0] > lastStamp)
        return;
    // The stamps already handed out leave no room below these bounds (they
    // came from arrivals that had waited, with nothing later in their read
    // to show it): the frames share the time up to the last arrival evenly
    // rather than pile up 1 ns after the last stamp.
    const double share = static_cast<double>(arrivals[n - 1] - lastStamp) / n;
    later = 0;
    for (int j = n - 1; j >= 0; --j) {
        later = j + 1 < n && arrivals[j + 1] == arrivals[j] ? later + 1 : 0;
        const int64_t even = lastStamp + std::max<int64_t>(j + 1, static_cast<int64_t>(share * (j + 1)));
        latest[j] = std::max(latest[j], std::min(arrivals[j] - later, even));
    }
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
    // A period from 10 us to 100 s is one a serial device may have.
    const double fit = ckh / ckk;
    const double b = fit >= 1e4 && fit <= 1e11 ? fit : 0;
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
        startSlices();
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

bool BrovaClockModel::judgeLateness(int64_t arrival, double late, double residual)
{
    // The slices of the last window's span: each one's least lateness
    // against the count's line, earliest arrival against the period's line,
    // first arrival and frame count.
    if (sliceCount == 0) {
        sliceLeast = late;
        sliceResidual = residual;
        sliceFirst = arrival;
    } else {
        sliceLeast = std::min(sliceLeast, late);
        sliceResidual = std::min(sliceResidual, residual);
    }
    if (++sliceCount < std::max(1, windowFrames() / slices))
        return false;
    // A gap followed by frames faster than the device's pace was the host's
    // stall, not a pause of the device.
    if (afterGap && ringSize == 0 &&
        static_cast<double>(arrival - sliceFirst) < paceShare * (sliceCount - 1) * period)
        afterGap = false;
    ringLeast[ringNext] = sliceLeast;
    ringResidual[ringNext] = sliceResidual;
    ringFirst[ringNext] = sliceFirst;
    ringFrames[ringNext] = sliceCount;
    ringNext = (ringNext + 1) % slices;
    ringSize = std::min(ringSize + 1, slices);
    sliceCount = 0;
    if (ringSize < slices)
        return false;

    // A window's span of frames all late by more than half a period, at the
    // device's pace (not a backlog being caught up, which comes faster), and
    // (while the rate is not established) about as late at its end as at
    // its start (a step: frames missing; not a ramp: a device slower than
    // the period says, which the windows follow).
    const double p = period;
    double least = ringLeast[0], earliest = ringResidual[0];
    int n = 0;
    for (int i = 0; i < slices; ++i) {
        least = std::min(least, ringLeast[i]);
        earliest = std::min(earliest, ringResidual[i]);
        n += ringFrames[i];
    }
    const int oldest = ringNext, newest = (ringNext + slices - 1) % slices;
    const bool atPace = static_cast<double>(arrival - ringFirst[oldest]) >= paceShare * (n - 1) * p;
    const bool ramp = ringLeast[newest] - ringLeast[oldest] > p / 4;
    if (least <= p / 2 || !atPace || (!resolving && sinceAnchor < warmupFrames()) ||
        (ramp && !settled && !resolving)) {
        afterGap = false;  // the span after a gap was not a pause of the device
        return false;
    }
    // Frames are missing from the count. How many: once the rate is
    // established, by how late the span's earliest arrival is against the
    // regression (steadier than the line, which the windows move), else
    // against the line.
    const double later = settled && points >= 2 ? earliest - (meanH - p * meanK) : least;
    const double missed = std::round(later / p);
    if (missed < 1) {
        // None: the line was behind. It moves up to the span's earliest arrival.
        line += least;
        if (!resolving)
            envelope = std::max(envelope, line);
        startSlices();
        return false;
    }
    // Count them in; the window being collected, made with the old count,
    // gives no point.
    frames += static_cast<int64_t>(missed);
    if (resolving) {
        // Missing at a known break: a whole number of periods. The envelope
        // has followed the arrivals since.
        line += missed * p;
    } else {
        // Without a word: frames the device skipped (a whole number of
        // periods), or, after a gap in the arrivals, a pause of the device,
        // whose rest beyond whole periods moves the regression's origin.
        if (afterGap)
            originArrival += static_cast<int64_t>(least - missed * p);
        line += least;
        envelope = std::max(envelope, line);
    }
    resolving = false;
    afterGap = false;
    startWindow();
    startSlices();
    return true;
}

int64_t BrovaClockModel::stamp(int64_t arrival, int64_t latest)
{
    int64_t s = latest;
    if (nominal > 0) {
        const double p = period;
        const double bound = static_cast<double>(latest);
        if (sinceAnchor == 0)
            originArrival = arrival;
        else if (arrival - lastArrival > gapPeriods * p + gapAllowanceNs) {
            startWindow();  // a pause, or a host that stalled: the frames after it tell which
            startSlices();
            afterGap = true;
        }

        // The count's line: the previous frame's run on by one period,
        // pulled down by any earlier instant (no drift allowed: its lateness
        // is what tells frames missing, and the windows lift it).
        const double predicted = sinceAnchor == 0 ? bound : line + p;
        line = std::min(predicted, bound);
        // The envelope: the same allowed to run ahead by the drift bound,
        // started again at a break; while the rate is not established, never
        // further below the bound than a bridge holds a frame, nor below the
        // arrival than a first chunk waits.
        double next = sinceAnchor == 0 || broken ? bound : envelope + p * (1 + drift);
        if (!settled)
            next = std::max({next, bound - static_cast<double>(gapAllowanceNs),
                             static_cast<double>(arrival - arrivalAllowanceNs)});
        envelope = std::min(next, bound);
        broken = false;

        // The window's regression point: its earliest arrival against the
        // period's line (once the rate is established, among the frames that
        // came within half a period of the count's line: not one a bridge
        // held, nor one after frames went missing unseen). Arrivals, not
        // bounds: a bound spread back from a later arrival holds a little of
        // the drift allowed for every frame between them.
        const double k = static_cast<double>(frames++);
        const double h = static_cast<double>(arrival - originArrival);
        const double residual = h - k * p;
        const double late = static_cast<double>(arrival) - predicted;
        if (windowCount == 0)
            windowHasPoint = false;
        if ((late <= p / 2 || !settled) && (!windowHasPoint || residual < windowBestResidual)) {
            windowHasPoint = true;
            windowBestK = k;
            windowBestH = h;
            windowBestResidual = residual;
        }
        if (windowCount == 0) {
            windowLeastLate = late;
            windowFirstArrival = arrival;
        } else
            windowLeastLate = std::min(windowLeastLate, late);
        ++windowCount;
        const bool lateness = judgeLateness(arrival, late, residual);

        // A window ends after windowFrames, or windowSeconds of arrivals at
        // a device that runs slower than the period says.
        const double elapsed = static_cast<double>(arrival - windowFirstArrival) / (windowSeconds * 1e9);
        if (!lateness && (windowCount >= windowFrames() || (windowCount >= 8 && elapsed >= 1))) {
            const double least = windowLeastLate;
            const bool atPace = static_cast<double>(arrival - windowFirstArrival) >= paceShare * (windowCount - 1) * p;
            if (least > p / 2 && (!atPace || settled || resolving)) {
                // A backlog being caught up (late, but faster than the
                // device's pace), or frames missing that the slices are
                // about to count in: no point, and nothing moves.
            } else {
                if (windowHasPoint) {
                    addPoint(windowBestK, windowBestH);
                    updatePeriod();
                }
                if (atPace && least > 0) {
                    // No frame of the window came before the line: it is
                    // early (a device slower than the period said, while
                    // the rate is not established). It moves up to the
                    // window's earliest arrival, run on to this frame by the
                    // period as it now stands.
                    const double was = line;
                    line += least;
                    if (windowHasPoint)
                        line = std::max(line, std::min(bound, static_cast<double>(originArrival) + windowBestH +
                                                                  (k - windowBestK) * period));
                    if (!resolving)
                        envelope = std::max(envelope, line);
                    // The slices' lateness is against the line as it now stands.
                    for (double& r : ringLeast)
                        r -= line - was;
                    sliceLeast -= line - was;
                }
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
    frameFlags.clear();
    frameArrivals.clear();
    stampsFirst = stampsCount = 0;
    if (dropped != droppedSeen) {
        // Bytes went at the cap since the last run: frames are missing.
        droppedSeen = dropped;
        clock.breakCount();
    }
}

void BrovaDAQ_private::markFrame(uint32_t flags)
{
    frameMarks.push_back({parseIndex, parsed.checksumFailures + parsed.framesMalformed, config.getSpeed()});
    frameFlags.push_back(flags);
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
