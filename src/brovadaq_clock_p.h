// BrovaClockModel: the instants at which a device took its samples, from the
// instants at which their frames reached the host. Internal to the library
// (not installed).
//
// A device samples at some rate: its configured rate with a crystal that is
// off by up to a few hundred ppm, or another rate altogether (a device that
// cannot keep the rate it was given). A frame reaches the host after a delay
// that is never negative, varies (a USB bridge holds bytes until its packet
// fills or its latency timer runs out, so frames come in bursts; the host's
// reader may be held up), and has a floor that no host can see. The model
// keeps two estimates:
//
// - the sample period, by a linear regression of arrival time on frame count
//   with exponentially decaying weights, fitted on the earliest arrival of
//   each window of frames (points on the lower envelope, not every arrival,
//   so that bursts do not bias it; once the rate is established, only frames
//   within half a period of the count's line are candidates, so that neither
//   a frame a bridge held nor one after frames went missing unseen is a
//   point). It starts from the configured rate. A fit 1 % off the period
//   (more while two points cannot tell that much) shows a device that runs
//   at another rate: the fit becomes the period, the envelope may run ahead
//   of it by half that, and the points start again. Once the points span
//   1 s the fit is the period; the rate is established when such a fit
//   agrees with the period it was chosen against within 0.1 %, and
//   estimatedRate() tells it from then on (0 before): after 1.25 to 1.5 s at
//   the configured rate, 2 to 3 s off it.
// - the lower envelope itself: each frame's stamp is the previous stamp plus
//   the period, allowed to run fast by a drift bound, and never later than
//   the frame's latest instant. The earliest arrivals pull it down; the drift
//   bound lets it follow a device clock that runs slower than the period
//   says. Until the rate is established the bound is 500 ppm (5000 after the
//   fit moved the period), then four standard errors of the fit, within 100
//   to 500 ppm. It applies from the first frame after an anchor: the
//   caller's latest instants carry what the later frames of the same read
//   show (bounds()), so a first chunk that waited (the reader's first read
//   after the port opened) is not stamped late. A window none of whose
//   frames came before the count's line (below), at the device's pace,
//   moves the line and the envelope up to the window's earliest arrival,
//   so that the stamps are never early for long.
//   Until the rate is established a stamp is never more than gapAllowanceNs
//   before its latest instant, nor arrivalAllowanceNs before its arrival (a
//   device slower or faster than configured cannot drag the stamps far from
//   the arrivals meanwhile).
//
// Stamps strictly increase and are never later than the latest instant the
// caller gives. Missing frames are found by lateness against the count's
// line (the envelope without the drift allowed, lifted by the windows like
// it): after every eighth of a window, the last window's span is judged.
// When all its frames came later than that line by more than half a period,
// at the device's pace, and (while the rate is not established) about as
// late at its end as at its start, frames are missing from the count: they
// are counted in, a whole number of periods, and the line moves to the
// span's earliest arrival. That is how a device that skipped frames without
// a word is caught (its stamps early by the time missed until then, never
// late); after a gap in the arrivals whose first frames came at pace, a
// pause of the device, whose rest beyond whole periods moves the
// regression's origin. A span later and later is a device slower than the
// period says: the windows lift the envelope instead. A backlog is not a
// break: frames the host took late (a stall of the host, a busy machine)
// come faster than the device's pace until they are caught up, so a late
// span that did not come at pace counts nothing in, the windows take no
// point from it nor move the envelope, and the stamps stay on the envelope.
// The frame count is broken only when frames are known to be missing (bytes
// dropped at the reader's cap, a frame that failed its checksum or was
// malformed: breakCount()). Then the envelope starts again from the latest
// instants (no stamp earlier than its arrival less what the later frames of
// the same read show) while the count's line goes on from before the break,
// and the first late span at pace tells how many frames went missing. A
// window ends after 0.25 s of frames at the period, or of arrivals; an
// arrival gap of several periods starts a new window and span at once. A
// rate change or a reopen starts afresh.
//
// The model is plain data: a peek saves and restores it with the frame
// position, so only a consuming read moves it on.
#pragma once

#include <cstdint>

class BrovaClockModel {
public:
    // Starts afresh at a nominal rate (samples per second; 0 when not known,
    // which keeps every stamp at its latest instant until a rate is given).
    // Stamps go on increasing from the last one.
    void reset(double nominalRate);
    // The frame count is broken (frames may be missing before the next one):
    // the envelope starts again from the arrivals, and the next span of
    // frames that comes at the device's pace tells how many are missing.
    void breakCount();
    // The least time between two frames that the model allows, ns (1 when
    // the rate is not known): the period less the drift bound once the rate
    // is established, less twice that before (a crystal's error; a device
    // that runs faster than configured by more than that may have the first
    // stamps of a read early by that share of the read's span).
    double minPeriod() const;
    // The latest instants of the next n frames, oldest first, for stamp():
    // no frame was taken later than its arrival, nor later than the next
    // frame's latest instant less minPeriod (frames of one chunk, and of a
    // backlog read at once, spread back from the last), nor, until the rate
    // is established, earlier than arrivalAllowanceNs before its arrival
    // (the configured period may be longer than the device's). Where the
    // stamps already handed out leave no room below them, the frames share
    // the time up to the last arrival evenly instead.
    void bounds(const int64_t* arrivals, int64_t* latest, int n) const;
    // The stamp of the next frame. arrival: when the chunk that completed it
    // arrived; latest: the latest instant allowed (bounds()). Nanoseconds,
    // monotonic.
    int64_t stamp(int64_t arrival, int64_t latest);

    double nominalRate() const { return nominal; }
    // The estimated sample rate, per second; 0 until the rate is established
    // (1.25 to 1.5 s of frames at the configured rate, 2 to 3 s for a device
    // that runs at another rate, and again after a rate change or a reopen).
    double estimatedRate() const;
    bool established() const { return settled; }

    // Tuning, fixed: how far the envelope may run ahead of the estimated
    // period (a device clock slower than estimated) at most and at least,
    // the window of frames whose earliest arrival is one regression point
    // and one measure of lateness (about 0.25 s: it must hold a frame that a
    // bridge sent at once, and a 62-byte packet lines up with a frame's end
    // only every 31 or 62 frames), the weight decay per point (about a
    // minute), the span of points that establishes the rate, how far off the
    // period a fit must be to move it at once and to keep the rate from
    // being established, the share of a window's span that frames at the
    // device's pace fill at least, and the arrival gap that starts a new
    // window (several periods and more than a bridge's latency timer), which
    // is also how far before its latest instant a stamp may be while the
    // rate is not yet established.
    static constexpr double driftBound = 500e-6;
    static constexpr double minDrift = 100e-6;
    static constexpr double windowSeconds = 0.25;
    static constexpr double decaySeconds = 60.0;
    static constexpr double fitSpanSeconds = 1.0;
    static constexpr double coarseOff = 1e-2;
    static constexpr double fineOff = 1e-3;
    static constexpr double paceShare = 0.75;
    static constexpr int gapPeriods = 5;
    static constexpr int64_t gapAllowanceNs = 20000000;
    // How long the first chunk after an open may have waited (the reader's
    // 20 ms pause after it opens the port, and a bridge's latency timer):
    // until the rate is established, no stamp is further before its arrival.
    static constexpr int64_t arrivalAllowanceNs = 40000000;

private:
    int warmupFrames() const;
    int windowFrames() const;
    void addPoint(double k, double h);
    void restartFit();
    void updatePeriod();
    // Counts in frames missing once the last window's span of slices came
    // late at the device's pace; true when it did.
    bool judgeLateness(int64_t arrival, double late, double residual);
    void startWindow() { windowCount = 0; }
    void startSlices() { sliceCount = ringSize = ringNext = 0; }

    double nominal = 0;          // per second
    double period = 0;           // ns: the fit once established, else the configured or a coarse fit
    bool settled = false;        // the rate is established
    double drift = driftBound;   // how far the envelope may run ahead of the period
    // Envelope, since the last reset.
    int64_t sinceAnchor = 0;     // frames stamped since the reset
    int64_t lastStamp = 0;       // the previous stamp (0: none yet)
    int64_t lastArrival = 0;
    double envelope = 0;         // the stamp line at the previous frame, ns
    double line = 0;             // the count's line at the previous frame: the envelope, but
                                 // not started again at a break
    bool broken = false;         // the count broke before the next frame
    bool resolving = false;      // ... and the window that tells how many are missing is not done
    // Regression, since the last reset or restart: frame count k (missed
    // frames counted in) against the latest instant h relative to the
    // first frame's arrival, with decaying weights.
    int64_t frames = 0;
    int64_t originArrival = 0;
    double weight = 0, meanK = 0, meanH = 0, ckk = 0, ckh = 0, chh = 0;
    double firstH = 0, lastH = 0;
    int points = 0;
    // The window being collected: its earliest frame against the period's
    // line, the least lateness of its frames against the count's line, and
    // the arrival of its first frame.
    int windowCount = 0;
    bool windowHasPoint = false;
    bool afterGap = false;       // the window began at a gap in the arrivals
    double windowBestK = 0, windowBestH = 0, windowBestResidual = 0;
    double windowLeastLate = 0;
    // The lateness of the last window's span, in slices of an eighth of a
    // window, judged after every slice: frames missing are counted in a
    // window's span after they went missing, whatever the window's phase.
    static constexpr int slices = 8;
    int sliceCount = 0;
    double sliceLeast = 0, sliceResidual = 0;
    int64_t sliceFirst = 0;
    double ringLeast[slices] = {};
    double ringResidual[slices] = {};
    int64_t ringFirst[slices] = {};
    int ringFrames[slices] = {};
    int ringSize = 0, ringNext = 0;
    int64_t windowFirstArrival = 0;
};
