// When frames are due and when a source counts as stalled, on a time the caller passes in
// (seconds on any steady clock): no display, no thread, so a test drives it with made-up times.
#pragma once

#include <deque>

namespace live {

// The pace of a file or the test picture. A frame is due when its timestamp says (a file's own
// timing, gaps of a variable-rate file included) or, at a fixed rate, one interval after the
// frame before. A pause of the program (SIGSTOP, a freeze, a slow disk) is not made up for by
// rushing: a frame found late by more than the slack is shown at once and the pace counts from
// there.
class PaceClock {
public:
    // rate > 0: one frame every 1/rate s, whatever the timestamps say; useStamps: a frame with a
    // timestamp is due by it (rate is then only for frames without one); rate 0 and no
    // timestamps: frames are shown as they come.
    PaceClock(double rate, bool useStamps);

    // When the frame with this timestamp (seconds; NaN: none) is to be shown, asked once per
    // frame, just before it is shown or waited for.
    double due(double stamp, double now);
    bool paced() const { return rate_ > 0 || useStamps_; }
    // Start again from the next frame (after a freeze, or a new size).
    void restart() { anchored_ = false; }

    // Late by more than this, a frame restarts the pace instead of rushing to catch up.
    static constexpr double kSlack = 0.25;
    // A jump of the timestamps larger than this (or backwards) restarts the pace: a joined or
    // damaged file, not a pause that is meant.
    static constexpr double kLongestGap = 10.0;

private:
    double rate_;
    bool useStamps_;
    bool anchored_ = false;
    double anchorTime_ = 0;   // when the anchoring frame was due
    double anchorStamp_ = 0;  // its timestamp (stamped frames)
    double lastStamp_ = 0;
    long long sinceAnchor_ = 0;  // frames due since the anchor (fixed rate)
};

// How long the source has been silent, and whether that is a stall: the longer of 1 s and
// three of its recent frame intervals (the middle of the last few), so a slow but steady source
// is never taken for a stalled one. Until it has shown its pace, the rate it states counts, or
// the slowest interval seen when that is slower.
class StallClock {
public:
    explicit StallClock(double statedRate = 0) : statedRate_(statedRate) {}

    void frameArrived(double now);
    // The program held frames back (a freeze, a recording that waits): that time is nobody's
    // silence, so the count starts again at `now`.
    void restartAt(double now);
    // Seconds of silence at `now`, counted from the last frame or from when one was due
    // (pacing is no silence).
    double silence(double now, double dueAt) const;
    double stallAfter() const;
    bool stalled(double now, double dueAt) const { return silence(now, dueAt) >= stallAfter(); }
    // The interval the threshold is built on (0: nothing known).
    double typicalInterval() const;

    static constexpr int kIntervalsKept = 9;

private:
    double statedRate_;
    bool seen_ = false;
    double last_ = 0;
    std::deque<double> intervals_;
};

}  // namespace live
