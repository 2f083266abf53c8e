// Deadlines of many connections: a hashed wheel of intrusive lists, so that
// arming, moving and disarming a deadline is O(1) whatever the number held.
// A deadline fires at most one tick late. Not thread-safe: its owner locks.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zelweb {

struct TimerLink {
    uint64_t deadline = 0;  // ms of monotonic_ms()
    TimerLink *prev = nullptr, *next = nullptr;
    uint32_t owner = 0;  // for the owner's use: which connection this is
    bool armed() const { return next != nullptr; }
};

class TimerWheel {
public:
    static constexpr uint64_t tick_ms = 16;
    static constexpr size_t bucket_count = 1024;  // one turn: about 16 s

    explicit TimerWheel(uint64_t now);
    TimerWheel(const TimerWheel&) = delete;
    TimerWheel& operator=(const TimerWheel&) = delete;

    // Arms `link` for `deadline`, moving it if it was armed.
    void arm(TimerLink& link, uint64_t deadline);
    void disarm(TimerLink& link);
    size_t armed_count() const { return count_; }

    // Disarms every link whose deadline is at most `now` and calls
    // expired(link) for it; the call may arm or disarm any link.
    template <typename F>
    void expire(uint64_t now, F&& expired);

    // Milliseconds until the next tick that holds a link (from `now`), or
    // -1 when none is armed. Waking then may find nothing due yet: a bucket
    // also holds links of later turns.
    long next_wait(uint64_t now) const;

private:
    static void unlink(TimerLink& link);
    void insert(TimerLink& link);

    TimerLink buckets_[bucket_count];  // sentinels of circular lists
    uint64_t tick_;                    // the last tick expired
    size_t count_ = 0;
    // No link is armed in a tick before this one: next_wait looks no
    // further than here unless the bucket turns out empty.
    mutable uint64_t earliest_ = UINT64_MAX;
};

template <typename F>
void TimerWheel::expire(uint64_t now, F&& expired) {
    uint64_t target = now / tick_ms;
    if (target <= tick_) return;
    // After a long sleep every bucket is visited once, not once per tick.
    uint64_t first = target - tick_ > bucket_count ? target - bucket_count + 1 : tick_ + 1;
    for (uint64_t t = first; t <= target; ++t) {
        tick_ = t;  // a link armed now for a past deadline goes to the next tick
        TimerLink& head = buckets_[t % bucket_count];
        // Detached first: callbacks may arm links into this very bucket.
        TimerLink pending;
        if (head.next == &head) continue;
        pending.next = head.next;
        pending.prev = head.prev;
        pending.next->prev = &pending;
        pending.prev->next = &pending;
        head.next = head.prev = &head;
        while (pending.next != &pending) {
            TimerLink& link = *pending.next;
            unlink(link);
            --count_;
            if (link.deadline <= now) {
                expired(link);
            } else {
                insert(link);  // a later turn
                ++count_;
            }
        }
    }
}

}  // namespace zelweb
