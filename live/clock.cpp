#include "clock.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace live {

PaceClock::PaceClock(double rate, bool useStamps) : rate_(rate > 0 ? rate : 0), useStamps_(useStamps) {}

double PaceClock::due(double stamp, double now) {
    const bool stamped = useStamps_ && std::isfinite(stamp);
    if (!stamped && rate_ <= 0) return now;  // no timestamp and no rate: as it comes
    bool restart = !anchored_;
    double at = now;
    if (!restart) {
        if (stamped) {
            const double step = stamp - lastStamp_;
            restart = step < 0 || step > kLongestGap;
            at = anchorTime_ + (stamp - anchorStamp_);
        } else {
            at = anchorTime_ + static_cast<double>(sinceAnchor_ + 1) / rate_;
        }
        restart = restart || at < now - kSlack;
    }
    if (restart) {
        // The first frame, a jump of the timestamps, or found late: the pace counts from here.
        anchored_ = true;
        anchorTime_ = now;
        anchorStamp_ = lastStamp_ = stamped ? stamp : 0;
        sinceAnchor_ = 0;
        return now;
    }
    ++sinceAnchor_;
    if (stamped) lastStamp_ = stamp;
    return at;
}

void StallClock::frameArrived(double now) {
    if (seen_) {
        intervals_.push_back(now - last_);
        if (intervals_.size() > kIntervalsKept) intervals_.pop_front();
    }
    seen_ = true;
    last_ = now;
}

void StallClock::restartAt(double now) {
    // The interval across the hold is not the source's: the next one starts here.
    seen_ = true;
    last_ = now;
}

double StallClock::silence(double now, double dueAt) const {
    const double from = seen_ ? std::max(last_, dueAt) : dueAt;
    return std::max(0.0, now - from);
}

double StallClock::typicalInterval() const {
    if (intervals_.size() < 3) {
        // Too few to go by alone: the rate the source states, or the slowest seen if slower.
        double longest = statedRate_ > 0 ? 1 / statedRate_ : 0;
        for (const double interval : intervals_) longest = std::max(longest, interval);
        return longest;
    }
    std::vector<double> sorted(intervals_.begin(), intervals_.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    return sorted[sorted.size() / 2];
}

double StallClock::stallAfter() const {
    return std::max(1.0, 3 * typicalInterval());
}

}  // namespace live
