// BrovaClockModel: the instants at which a device took its samples, from the
// instants at which their frames reached the host. Internal to the library
// (not installed).
//
// A device samples at some rate: its configured rate with a crystal that is
// off by up to a few hundred ppm, or another rate altogether (a device that
// cannot keep the rate it was given). A frame reaches the host after a delay
// that is never negative, varies (a USB bridge holds bytes until its packet
// fills or its latency timer runs out, so frames come in bursts), and has a
// floor that no host can see. The model keeps two estimates:
//
// - the sample period, by a linear regression of arrival time on frame count
//   with exponentially decaying weights, fitted on the earliest arrival of
//   each window of frames (points on the lower envelope, not every arrival,
//   so that bursts do not bias it). It starts from the configured rate; when
//   the fit shows the device runs at another rate (0.5 % off after 0.5 s of
//   points, 0.1 % after 1 s), the fit becomes the period the points are
//   chosen against and the regression starts again. The rate is established
//   once a fit over 1 s agrees with that period within 0.1 %: from then on
//   the fit is the period, and estimatedRate() tells it (0 before).
// - the lower envelope itself: each frame's stamp is the previous stamp plus
//   the period, allowed to run fast by a drift bound, and never later than
//   the frame's latest instant. The earliest arrivals pull it down; the drift
//   bound lets it follow a device clock that runs slow. It applies from the
//   first frame after an anchor: the caller's latest instants carry what the
//   later frames of the same read know (bounds()), so a first chunk that
//   waited (the reader's first read after the port opened) is not stamped
//   late. Until the rate is established a stamp is never more than
//   gapAllowanceNs before its latest instant (a device slower than
//   configured cannot drag the stamps away from the arrivals).
//
// Stamps strictly increase and are never later than the latest instant the
// caller gives. The frame count is broken only when frames are known to be
// missing (bytes dropped at the reader's cap, a frame that failed its
// checksum or was malformed: breakCount()). Then the envelope starts again
// from the arrivals (no stamp earlier than its latest instant, which holds
// only what later frames of the same read justify), while the count goes on
// from the line before the break; the first window of frames that came at
// the device's pace, later than that line by more than half a period, tells
// how many frames went missing, and the count (and the regression) take them
// in. The same window test catches a device that paused, or skipped a frame,
// without a word: once a window of frames has come at pace, later than the
// envelope by more than half a period, the frames missed are counted in and
// the envelope moves on by as many periods (until then the stamps may be
// early by that time, never late). A backlog is not a break: frames the host
// took late (a stall of the host) come faster than the device's pace until
// they are caught up, so a late window that did not come at pace counts
// nothing in and gives the regression no point, and the stamps stay on the
// envelope. An arrival gap of several periods starts a new window at once.
// A rate change or a reopen starts afresh.
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
    // the envelope starts again from the arrivals, and the next window of
    // frames measures how many are missing.
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
    // backlog read at once, spread back from the last). Where the stamps
    // already handed out leave no room below them, the frames share the time
    // up to the last arrival evenly instead.
    void bounds(const int64_t* arrivals, int64_t* latest, int n) const;
    // The stamp of the next frame. arrival: when the chunk that completed it
    // arrived; latest: the latest instant allowed (bounds()). Nanoseconds,
    // monotonic.
    int64_t stamp(int64_t arrival, int64_t latest);

    double nominalRate() const { return nominal; }
    // The estimated sample rate, per second; 0 until the rate is established
    // (about 1 s of frames at the configured rate, 2 to 3 s for a device
    // that runs at another rate, and again after a rate change or a reopen).
    double estimatedRate() const;
    bool established() const { return settled; }

    // Tuning, fixed: how far the envelope may run ahead of the estimated
    // period (a device clock slower than estimated), the window of frames
    // whose earliest arrival is one regression point and one measure of
    // lateness (about 0.25 s: it must hold a frame that a bridge sent at
    // once, and a 62-byte packet lines up with a frame's end only every 31
    // or 62 frames), the weight decay per point (about a minute), the span
    // of points after which a fit may move the period (coarseSpanSeconds) and
    // establish it (fitSpanSeconds), how far off the period a fit must be to
    // move it, the share of a window's span that frames at the device's pace
    // fill at least, and the arrival gap that starts a new window (several
    // periods and more than a bridge's latency timer), which is also how far
    // before its latest instant a stamp may be while the rate is not yet
    // established.
    static constexpr double driftBound = 500e-6;
    static constexpr double minDrift = 20e-6;
    static constexpr double windowSeconds = 0.25;
    static constexpr double decaySeconds = 60.0;
    static constexpr double fitSpanSeconds = 1.0;
    static constexpr double coarseOff = 1e-2;
    static constexpr double fineOff = 1e-3;
    static constexpr double paceShare = 0.75;
    static constexpr int gapPeriods = 5;
    static constexpr int64_t gapAllowanceNs = 20000000;

private:
    int warmupFrames() const;
    int windowFrames() const;
    void addPoint(double k, double h);
    void restartFit();
    void updatePeriod();
    void startWindow() { windowCount = 0; }

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
    double windowBestK = 0, windowBestH = 0, windowBestResidual = 0;
    double windowLeastLate = 0;
    int64_t windowFirstArrival = 0;
};
