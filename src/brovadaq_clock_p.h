// BrovaClockModel: the instants at which a device took its samples, from the
// instants at which their frames reached the host. Internal to the library
// (not installed).
//
// A device samples at its nominal rate with a crystal that is off by up to a
// few hundred ppm; a frame reaches the host after a delay that is never
// negative, varies (a USB bridge holds bytes until its packet fills or its
// latency timer runs out, so frames come in bursts), and has a floor that no
// host can see. The model keeps two estimates:
//
// - the sample period, by a linear regression of arrival time on frame count
//   with exponentially decaying weights, fitted on the earliest arrival of
//   each window of frames (points on the lower envelope, not every arrival,
//   so that bursts do not bias it);
// - the lower envelope itself: each frame's stamp is the previous stamp plus
//   the estimated period, allowed to run fast by a drift bound, and never
//   later than the frame's arrival. The earliest arrivals pull it down; the
//   drift bound lets it follow a device clock that runs slow.
//
// Stamps strictly increase and are never later than the arrival bound the
// caller gives. When the frame count breaks (frames missing: bytes lost, a
// frame that failed or was malformed, a pause of the device after which the
// frames come late), the model re-anchors the count on the arrivals: once a
// whole window of frames (about 0.25 s) has come later than the envelope by
// more than half a period, the frames missed are counted in (the envelope moves on by as
// many periods), so that neither the envelope nor the regression slips. A
// broken count or an arrival gap of several periods starts a new window at
// once. A rate change or a reopen starts afresh; for the first frames after
// that (warm-up, about 0.2 s) the stamps are the arrival stamps themselves,
// the frames of one burst spread back from its arrival by the period.
//
// The model is plain data: a peek saves and restores it with the frame
// position, so only a consuming read moves it on.
#pragma once

#include <cstdint>

class BrovaClockModel {
public:
    // Starts afresh at a nominal rate (samples per second; 0 when not known,
    // which keeps every stamp at its arrival bound until a rate is given).
    // Stamps go on increasing from the last one.
    void reset(double nominalRate);
    // The frame count is broken (frames may be missing): the next window of
    // frames measures how many.
    void breakCount();
    // The stamp of the next frame. arrival: when the chunk that completed it
    // arrived; latest: the latest stamp allowed (arrival, less 1 ns for each
    // later frame completed by the same chunk). Nanoseconds, monotonic.
    int64_t stamp(int64_t arrival, int64_t latest);

    double nominalRate() const { return nominal; }
    // The estimated sample rate, per second; 0 until the regression spans
    // enough frames to tell.
    double estimatedRate() const;
    // True while stamps are arrival stamps (warm-up after an anchor).
    bool warmingUp() const { return sinceAnchor < warmupFrames(); }

    // Tuning, fixed: how far the envelope may run ahead of the estimated
    // period (a device clock slower than estimated), the window of frames
    // whose earliest arrival is one regression point and one measure of
    // lateness (about 0.25 s: it must hold a frame that a bridge sent at
    // once, and a 62-byte packet lines up with a frame's end only every 31
    // or 62 frames), the weight
    // decay per point (about a minute), the span the regression needs before
    // its period is used (about 1 s), and the arrival gap that starts a new
    // window (several periods and more than a bridge's latency timer).
    static constexpr double driftBound = 500e-6;
    static constexpr double windowSeconds = 0.25;
    static constexpr double decaySeconds = 60.0;
    static constexpr double fitSpanSeconds = 1.0;
    static constexpr int gapPeriods = 5;
    static constexpr int64_t gapAllowanceNs = 20000000;

private:
    int warmupFrames() const;
    int windowFrames() const;
    bool fitted() const;          // the regression spans enough frames
    double fittedPeriod() const;  // ns; 0 when the fit is implausible
    double period() const;        // ns: the fit, or the nominal period
    void addPoint(double k, double h);
    void startWindow() { windowCount = 0; }

    double nominal = 0;          // per second
    // Envelope, since the last reset.
    int64_t sinceAnchor = 0;     // frames stamped since the reset
    int64_t lastStamp = 0;       // the previous stamp (0: none yet)
    int64_t lastArrival = 0;
    double envelope = 0;         // the envelope at the previous frame, ns
    // Regression, since the last reset: frame count k (missed frames counted
    // in) against arrival h relative to the first, with decaying weights.
    int64_t frames = 0;
    int64_t originArrival = 0;
    double weight = 0, meanK = 0, meanH = 0, ckk = 0, ckh = 0;
    double firstK = 0, lastK = 0;
    int points = 0;
    // The window being collected: its earliest arrival against the nominal
    // line, and the least lateness of its frames against the envelope.
    int windowCount = 0;
    double windowBestK = 0, windowBestH = 0, windowBestResidual = 0;
    double windowLeastLate = 0;
};
