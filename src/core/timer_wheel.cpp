// The deadline wheel.
#include "core/timer_wheel.hpp"

namespace zelweb {

TimerWheel::TimerWheel(uint64_t now) : tick_(now / tick_ms) {
    for (TimerLink& b : buckets_) b.next = b.prev = &b;
}

void TimerWheel::unlink(TimerLink& link) {
    link.prev->next = link.next;
    link.next->prev = link.prev;
    link.next = link.prev = nullptr;
}

void TimerWheel::insert(TimerLink& link) {
    uint64_t t = link.deadline / tick_ms;
    if (t <= tick_) t = tick_ + 1;
    if (t < earliest_) earliest_ = t;
    TimerLink& head = buckets_[t % bucket_count];
    link.prev = head.prev;
    link.next = &head;
    head.prev->next = &link;
    head.prev = &link;
}

void TimerWheel::arm(TimerLink& link, uint64_t deadline) {
    if (link.armed()) {
        unlink(link);
        --count_;
    }
    link.deadline = deadline;
    insert(link);
    ++count_;
}

void TimerWheel::disarm(TimerLink& link) {
    if (!link.armed()) return;
    unlink(link);
    --count_;
}

long TimerWheel::next_wait(uint64_t now) const {
    if (count_ == 0) return -1;
    uint64_t from = earliest_ > tick_ ? earliest_ : tick_ + 1;
    for (uint64_t t = from; t <= tick_ + bucket_count; ++t) {
        const TimerLink& head = buckets_[t % bucket_count];
        if (head.next == &head) continue;
        earliest_ = t;
        uint64_t at = t * tick_ms;
        return at > now ? static_cast<long>(at - now) : 0;
    }
    // Only links of later turns: they sit in buckets already passed.
    earliest_ = tick_ + 1;
    return static_cast<long>(tick_ms);
}

}  // namespace zelweb
