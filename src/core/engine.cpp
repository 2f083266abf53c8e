// The core's loop, its slots and its job queue.
//
// Who owns a slot follows its state: the loop thread owns it while it is
// reading, writing or draining (only the loop does I/O on it then), a worker
// while it is running, and nobody while it is queued. The mutex guards the
// states, the queues, the deadlines and the free list; the I/O itself runs
// outside it. Events that come for a slot a worker owns are remembered
// (pending_in, pending_out) and looked at when the worker gives it back.
#include "core/engine.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "core/clock.hpp"
#include "core/timer_wheel.hpp"
#include "parse/chunked.hpp"
#include "parse/head.hpp"

namespace zelweb {

namespace {

constexpr uint32_t no_slot = UINT32_MAX;
constexpr uint32_t listener_token = UINT32_MAX;
constexpr uint32_t wake_token = UINT32_MAX - 1;
constexpr uint32_t pause_token = UINT32_MAX - 2;  // the accept pause's deadline
constexpr size_t chunk_slots = 256;
constexpr int events_per_wait = 256;
constexpr int accepts_per_turn = 64;  // then the other connections get their turn
constexpr size_t kept_buffers = 64;   // free head buffers kept for the next heads
constexpr uint64_t empty_reset_ms = 1000;  // nothing held this long: memory handed back
constexpr uint64_t idle_look_ms = 250;     // the longest the loop sleeps while connections are held
constexpr uint32_t connection_events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

enum class SlotState : uint8_t { free, reading, reading_body, queued, running, writing, draining };

struct Slot {
    int fd = -1;
    uint32_t generation = 0;
    SlotState state = SlotState::free;
    bool fresh = false;       // no request served yet
    bool kicked = false;      // on the kick list
    bool pending_in = false;  // readable while a worker had it
    bool pending_out = false;
    bool maybe_more = false;  // the last receive filled the buffer: more may wait in the socket
    // The peer closed its side (or the connection broke): once what it sent
    // is served, a read finds the end rather than an idle wait.
    bool peer_done = false;
    bool shut = false;        // shut down by cut_all
    After after_write = After::close;
    int run = 0;  // the head scan's run of line breaks
    bool body_read = false;     // reading_body: the body is read; the job comes again
    bool body_stalled = false;  // it stopped coming: the worker must not wait for more
    char* buffer = nullptr;
    uint32_t capacity = 0;  // of the buffer: buffer_size, or more for a body read here
    uint32_t end = 0, scanned = 0, head_size = 0;
    uint64_t body_until = 0;  // reading_body: the buffer's size once the body is whole; 0: chunked
    ChunkedDecoder decoder;   // reading_body, chunked: where its framing ends
    uint64_t head_began = 0, last_receive = 0;  // ms
    uint64_t drain_left = 0;
    uint32_t next = no_slot;  // the free list, the job queue or the kick list
    TimerLink timer;
    Output output;
    PeerAddress peer;
};

inline uint64_t token(uint32_t index, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | index;
}

// An intrusive FIFO of slot indices through Slot::next.
struct SlotQueue {
    uint32_t first = no_slot, last = no_slot;
    size_t size = 0;
    bool empty() const { return first == no_slot; }
};

}  // namespace

struct Engine::State {
    explicit State(const EngineSettings& s) : settings(s), wheel(monotonic_ms()) {}

    EngineSettings settings;
    std::atomic<int> references{1};
    int epoll = -1, wake = -1;
    pthread_t loop_thread{};
    bool loop_started = false;

    std::mutex m;
    std::condition_variable work;      // takers wait here
    std::condition_variable changed;   // the loop's acknowledgements, the held count
    TimerWheel wheel;
    TimerLink pause_link;              // the accept pause
    Slot** chunks = nullptr;
    size_t chunk_count = 0;
    uint32_t used = 0;                 // slots ever handed out since the last reset
    uint32_t free_first = no_slot;
    uint32_t generation_base = 1, generation_high = 1;
    size_t held = 0;
    SlotQueue jobs, kicks;
    char* buffers[kept_buffers] = {};
    size_t buffer_count = 0;

    // The workers, for waking one only when it is needed.
    int idle_workers = 0, notified = 0, busy = 0;
    uint64_t last_take_us = 0;

    uint64_t empty_since = 0;  // ms: nothing held since then
    uint64_t loop_wakes_at = 0;  // ms: when the sleeping loop looks at its deadlines next
    bool accepting = true, listener_watched = false, paused = false;
    bool closing_idle = false, cutting = false, stopping = false, loop_sleeping = false;
    Counters counters;

    Slot& slot(uint32_t i) { return chunks[i / chunk_slots][i % chunk_slots]; }
    bool valid(uint32_t i, uint32_t generation) {
        return i < used && chunks[i / chunk_slots] && slot(i).generation == generation &&
               slot(i).state != SlotState::free;
    }

    // --- under the mutex ---

    uint32_t allocate() {
        if (free_first != no_slot) {
            uint32_t i = free_first;
            free_first = slot(i).next;
            slot(i).next = no_slot;
            return i;
        }
        if (used >= settings.max_connections) return no_slot;
        size_t c = used / chunk_slots;
        if (!chunks[c]) {
            void* memory = std::calloc(chunk_slots, sizeof(Slot));
            if (!memory) return no_slot;
            Slot* slots = static_cast<Slot*>(memory);
            for (size_t k = 0; k < chunk_slots; ++k) {
                new (&slots[k]) Slot();
                slots[k].generation = generation_base;
                slots[k].timer.owner = static_cast<uint32_t>(c * chunk_slots + k);
            }
            chunks[c] = slots;
        }
        return used++;
    }

    // Once nothing has been held for a while, every slot and kept buffer
    // goes back to the system: a burst of connections leaves no memory
    // behind, and a quiet trickle does not pay for it each time.
    void reset_if_empty(uint64_t now) {
        if (held != 0 || used == 0) {
            empty_since = 0;
            return;
        }
        if (!empty_since) empty_since = now;
        if (now - empty_since < empty_reset_ms) return;
        empty_since = 0;
        for (size_t c = 0; c < chunk_count; ++c) {
            if (!chunks[c]) continue;
            for (size_t k = 0; k < chunk_slots; ++k) chunks[c][k].~Slot();
            std::free(chunks[c]);
            chunks[c] = nullptr;
        }
        used = 0;
        free_first = no_slot;
        generation_base = generation_high + 1;
        generation_high = generation_base;
        while (buffer_count) std::free(buffers[--buffer_count]);
#ifdef __GLIBC__
        malloc_trim(0);
#endif
    }

    void take_buffer(Slot& s) {
        s.buffer = buffer_count ? buffers[--buffer_count]
                                : static_cast<char*>(std::malloc(settings.buffer_size));
        s.capacity = s.buffer ? static_cast<uint32_t>(settings.buffer_size) : 0;
    }
    void give_buffer(Slot& s) {
        if (!s.buffer) return;
        if (buffer_count < kept_buffers && s.capacity == settings.buffer_size)
            buffers[buffer_count++] = s.buffer;
        else
            std::free(s.buffer);
        s.buffer = nullptr;
        s.capacity = 0;
    }
    // A buffer grown for a body goes back to its usual size once what it
    // holds fits.
    void shrink_buffer(Slot& s) {
        if (s.capacity <= settings.buffer_size || s.end > settings.buffer_size) return;
        void* smaller = std::realloc(s.buffer, settings.buffer_size);
        if (!smaller) return;
        s.buffer = static_cast<char*>(smaller);
        s.capacity = static_cast<uint32_t>(settings.buffer_size);
    }

    void push(SlotQueue& q, uint32_t i) {
        slot(i).next = no_slot;
        if (q.last == no_slot)
            q.first = i;
        else
            slot(q.last).next = i;
        q.last = i;
        ++q.size;
    }
    uint32_t pop(SlotQueue& q) {
        uint32_t i = q.first;
        if (i == no_slot) return i;
        q.first = slot(i).next;
        if (q.first == no_slot) q.last = no_slot;
        slot(i).next = no_slot;
        --q.size;
        return i;
    }

    void wake_loop() {
        if (!loop_sleeping) return;
        loop_sleeping = false;
        uint64_t one = 1;
        ssize_t n = ::write(wake, &one, sizeof one);
        (void)n;  // a full counter wakes the loop just the same
    }

    // A deadline armed off the loop thread: the loop, asleep until later,
    // must look again.
    void arm_from_worker(TimerLink& link, uint64_t deadline) {
        wheel.arm(link, deadline);
        if (deadline < loop_wakes_at) wake_loop();
    }

    void kick(uint32_t i) {
        Slot& s = slot(i);
        if (s.kicked) return;
        s.kicked = true;
        push(kicks, i);
        wake_loop();
    }

    // A worker is woken only when no busy one will come back for the job
    // soon: under the interpreter lock, workers that wake for nothing only
    // take turns at it. A busy worker that took its job long ago is taken
    // to be waiting (on a slow route, a sleep, a stream).
    void offer_job(uint64_t now_us) {
        bool coming = notified > 0 || (busy > 0 && now_us - last_take_us < settings.stall_ms * 1000);
        if (coming || idle_workers <= notified) return;
        ++notified;
        work.notify_one();
    }

    void queue_job(uint32_t i) {
        Slot& s = slot(i);
        wheel.disarm(s.timer);
        s.state = SlotState::queued;
        push(jobs, i);
        offer_job(monotonic_us());
    }

    // Frees a slot; the caller closes `fd` afterwards, outside the mutex.
    int release_slot(uint32_t i) {
        Slot& s = slot(i);
        int fd = s.fd;
        wheel.disarm(s.timer);
        give_buffer(s);
        s.output.clear();
        s.fd = -1;
        s.state = SlotState::free;
        s.kicked = s.pending_in = s.pending_out = s.maybe_more = s.shut = s.fresh = false;
        s.peer_done = false;
        s.body_read = s.body_stalled = false;
        s.body_until = 0;
        s.end = s.scanned = s.head_size = 0;
        s.run = 0;
        s.head_began = s.last_receive = s.drain_left = 0;
        ++s.generation;
        if (s.generation > generation_high) generation_high = s.generation;
        s.next = free_first;
        free_first = i;
        --held;
        ++counters.closed;
        if (held == 0) changed.notify_all();
        if (!listener_watched && accepting && !paused && held < settings.max_connections)
            wake_loop();  // the loop watches the listener again
        return fd;
    }

    // --- the loop thread ---

    void run();
    void watch_listener(bool on);
    void accept_connections(uint64_t now);
    void on_event(uint32_t index, uint32_t generation, uint32_t events, uint64_t now);
    void service(uint32_t i, uint64_t now);
    void read_head(uint32_t i, uint64_t now);
    void read_body(uint32_t i, uint64_t now);
    bool grow_buffer(Slot& s, uint64_t wanted);
    void write_out(uint32_t i, uint64_t now);
    void drain(uint32_t i, uint64_t now);
    void close_slot(uint32_t i, bool timed_out = false);
    void arm_head_deadline(uint32_t i, bool received, uint64_t now);
    int become_idle(uint32_t i, uint64_t now);
    void after_output(uint32_t i, uint64_t now);
    void close_idle_ones();
    void cut_loop_owned();
};

namespace {

void* loop_main(void* state) {
    static_cast<Engine::State*>(state)->run();
    return nullptr;
}

// The head buffer from its start: leading blank lines are not part of a
// head (a client may send CRLF after a body).
void drop_leading_breaks(char* buffer, uint32_t& end) {
    uint32_t k = 0;
    while (k < end && (buffer[k] == '\r' || buffer[k] == '\n')) ++k;
    if (k == 0) return;
    std::memmove(buffer, buffer + k, end - k);
    end -= k;
}

}  // namespace

void Engine::State::watch_listener(bool on) {
    if (on == listener_watched) return;
    if (on) {
        epoll_event e{};
        e.events = EPOLLIN | EPOLLEXCLUSIVE;
        e.data.u64 = token(listener_token, 0);
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, settings.listener, &e) == 0) listener_watched = true;
    } else {
        epoll_ctl(epoll, EPOLL_CTL_DEL, settings.listener, nullptr);
        listener_watched = false;
    }
}

void Engine::State::close_slot(uint32_t i, bool timed_out) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(m);
        if (timed_out) ++counters.timed_out;
        fd = release_slot(i);
    }
    if (fd >= 0) ::close(fd);
}

void Engine::State::accept_connections(uint64_t now) {
    for (int k = 0; k < accepts_per_turn; ++k) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (!accepting || paused) return;
            if (held >= settings.max_connections) {
                watch_listener(false);  // the backlog holds the rest until one closes
                return;
            }
        }
        sockaddr_storage address;
        socklen_t size = sizeof address;
        int fd = accept4(settings.listener, reinterpret_cast<sockaddr*>(&address), &size,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: a pause, rather than a loop
                // that spins on the same refusal.
                std::lock_guard<std::mutex> lock(m);
                ++counters.accept_failures;
                paused = true;
                watch_listener(false);
                pause_link.owner = pause_token;
                wheel.arm(pause_link, now + settings.accept_pause_ms);
            }
            return;  // EAGAIN: nothing more now; another worker process may have won the race
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        uint32_t i;
        uint32_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(m);
            i = allocate();
            if (i != no_slot) {
                Slot& s = slot(i);
                s.fd = fd;
                s.state = SlotState::reading;
                s.fresh = true;
                s.peer = peer_from(reinterpret_cast<sockaddr*>(&address), size);
                generation = s.generation;
                ++held;
                ++counters.accepted;
                wheel.arm(s.timer, now + settings.first_wait_ms);
            }
        }
        if (i == no_slot) {
            ::close(fd);
            return;
        }
        epoll_event e{};
        e.events = connection_events;
        e.data.u64 = token(i, generation);
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e) != 0) close_slot(i);
        // What came with the connection is read when its event comes.
    }
}

void Engine::State::on_event(uint32_t index, uint32_t generation, uint32_t events, uint64_t now) {
    {
        std::lock_guard<std::mutex> lock(m);
        if (!valid(index, generation)) return;
        Slot& s = slot(index);
        if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) s.peer_done = true;
        if (s.state == SlotState::running || s.state == SlotState::queued) {
            if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) s.pending_in = true;
            if (events & EPOLLOUT) s.pending_out = true;
            return;
        }
        if (s.kicked) return;  // the kick list will see to it
    }
    Slot& s = slot(index);
    if (s.state == SlotState::writing && !(events & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
        // Input while a response goes out waits in the socket (pipelining).
        if (events & EPOLLIN) s.pending_in = true;
        return;
    }
    if ((s.state == SlotState::reading || s.state == SlotState::reading_body) &&
        !(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        return;
    service(index, now);
}

void Engine::State::service(uint32_t i, uint64_t now) {
    switch (slot(i).state) {
        case SlotState::reading: read_head(i, now); break;
        case SlotState::reading_body: read_body(i, now); break;
        case SlotState::writing: write_out(i, now); break;
        case SlotState::draining: drain(i, now); break;
        default: break;
    }
}

// Under the mutex: back to waiting for a next request, whose first bytes
// may already be in the buffer. Returns a descriptor to close once the
// mutex is let go (an idle connection while the server stops), or -1.
int Engine::State::become_idle(uint32_t i, uint64_t now) {
    Slot& s = slot(i);
    wheel.disarm(s.timer);
    s.state = SlotState::reading;
    s.scanned = 0;
    s.run = 0;
    s.head_began = s.end ? now : 0;
    if (s.end) return -1;
    give_buffer(s);
    if (closing_idle || cutting) return release_slot(i);
    wheel.arm(s.timer, now + settings.keep_alive_ms);
    return -1;
}

void Engine::State::read_head(uint32_t i, uint64_t now) {
    Slot& s = slot(i);
    if (!s.buffer) {
        std::lock_guard<std::mutex> lock(m);
        take_buffer(s);
    }
    if (!s.buffer) {
        close_slot(i);
        return;
    }
    size_t capacity = settings.buffer_size;
    bool received = false, complete = false;
    s.pending_in = false;
    for (;;) {
        if (s.scanned == 0 && s.end) {
            drop_leading_breaks(s.buffer, s.end);
            if (s.end && !s.head_began) s.head_began = now;
            if (!s.end) s.head_began = 0;
        }
        if (s.scanned < s.end) {
            auto found = scan_break_run(s.buffer + s.scanned, s.end - s.scanned, s.run);
            if (found) {
                s.head_size = s.scanned + static_cast<uint32_t>(*found);
                complete = true;
                break;
            }
            s.scanned = s.end;
        }
        if (s.end >= capacity) break;  // too large
        ssize_t n = ::recv(s.fd, s.buffer + s.end, capacity - s.end, MSG_DONTWAIT);
        if (n > 0) {
            s.maybe_more = static_cast<size_t>(n) == capacity - s.end;
            s.end += static_cast<uint32_t>(n);
            s.last_receive = now;
            received = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            s.maybe_more = false;
            break;
        }
        // The peer closed or reset before a head was whole: nothing to answer.
        close_slot(i);
        return;
    }
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m);
        if (complete || s.end >= capacity) {
            s.head_size = complete ? s.head_size : 0;
            queue_job(i);
            return;
        }
        if ((closing_idle || cutting) && !s.head_began && !s.fresh)
            fd = release_slot(i);
        else
            arm_head_deadline(i, received, now);
    }
    if (fd >= 0) ::close(fd);
}

// Under the mutex: the deadline of a connection waiting for (the rest of) a head.
void Engine::State::arm_head_deadline(uint32_t i, bool received, uint64_t now) {
    Slot& s = slot(i);
    if (received && s.head_began) {
        uint64_t total = s.head_began + settings.head_total_ms;
        uint64_t next = s.last_receive + settings.head_receive_ms;
        wheel.arm(s.timer, total < next ? total : next);
    } else if (!s.timer.armed()) {
        wheel.arm(s.timer, now + (s.fresh ? settings.first_wait_ms : settings.keep_alive_ms));
    }
    if (!s.head_began) give_buffer(s);
}

// Grows the buffer toward `wanted` bytes (doubling, within the body limit);
// false when it cannot grow.
bool Engine::State::grow_buffer(Slot& s, uint64_t wanted) {
    uint64_t limit = settings.body_buffer_limit;
    if (wanted > limit) wanted = limit;
    if (s.capacity >= wanted) return false;
    uint64_t size = s.capacity * uint64_t(2);
    if (size < wanted && s.body_until) size = wanted;
    if (size > wanted) size = wanted;
    void* grown = std::realloc(s.buffer, static_cast<size_t>(size));
    if (!grown) return false;
    s.buffer = static_cast<char*>(grown);
    s.capacity = static_cast<uint32_t>(size);
    return true;
}

// A body the application has not asked for yet, read into the buffer
// after its head; the job comes again once it is whole, or cut, or stalled.
void Engine::State::read_body(uint32_t i, uint64_t now) {
    Slot& s = slot(i);
    bool complete = false, received = false;
    s.pending_in = false;
    for (;;) {
        uint64_t wanted = s.body_until ? s.body_until : settings.body_buffer_limit;
        if (s.end >= wanted) {
            complete = true;  // whole, or as much as is read here
            break;
        }
        if (s.end == s.capacity && !grow_buffer(s, wanted)) {
            complete = true;
            break;
        }
        size_t room = s.capacity - s.end;
        if (s.body_until && room > s.body_until - s.end) room = static_cast<size_t>(s.body_until - s.end);
        ssize_t n = ::recv(s.fd, s.buffer + s.end, room, MSG_DONTWAIT);
        if (n > 0) {
            received = true;
            if (!s.body_until) {
                // The chunked framing read as it comes, its data dropped:
                // only where it ends matters here.
                char scratch[4096];
                size_t at = s.end, stop = s.end + static_cast<size_t>(n);
                while (at < stop) {
                    auto r = s.decoder.decode(s.buffer + at, stop - at, scratch, sizeof scratch);
                    at += r.consumed;
                    if (r.status != ChunkedDecoder::Status::need_more) {
                        complete = true;
                        break;
                    }
                    if (r.consumed == 0 && r.produced == 0) break;
                }
            }
            s.end += static_cast<uint32_t>(n);
            if (complete) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n == 0) {
            complete = true;  // cut short: the worker answers it
            break;
        }
        close_slot(i);  // reset: no one to answer
        return;
    }
    std::lock_guard<std::mutex> lock(m);
    if (complete) {
        s.body_read = true;
        queue_job(i);
    } else if (received || !s.timer.armed()) {
        wheel.arm(s.timer, now + settings.body_receive_ms);
    }
}

void Engine::State::after_output(uint32_t i, uint64_t now) {
    Slot& s = slot(i);
    switch (s.after_write) {
        case After::keep: {
            int fd;
            bool read_now;
            {
                std::lock_guard<std::mutex> lock(m);
                fd = become_idle(i, now);
                read_now = fd < 0 && (s.end || s.pending_in || s.maybe_more || s.peer_done);
            }
            if (fd >= 0) ::close(fd);
            if (read_now) read_head(i, now);
            return;
        }
        case After::drain:
            if (s.drain_left > 0 && s.drain_left <= settings.drain_limit) {
                ::shutdown(s.fd, SHUT_WR);
                {
                    std::lock_guard<std::mutex> lock(m);
                    s.state = SlotState::draining;
                    wheel.arm(s.timer, now + settings.drain_ms);
                }
                drain(i, now);
                return;
            }
            close_slot(i);
            return;
        case After::close:
        case After::read_body:  // never with an output: finish() reads the body at once
            close_slot(i);
            return;
    }
}

void Engine::State::write_out(uint32_t i, uint64_t now) {
    Slot& s = slot(i);
    bool progress = false;
    s.pending_out = false;
    Output::Step step = s.output.write(s.fd, progress);
    switch (step) {
        case Output::Step::done:
            s.output.clear();
            after_output(i, now);
            return;
        case Output::Step::blocked:
            if (progress || !s.timer.armed()) {
                std::lock_guard<std::mutex> lock(m);
                wheel.arm(s.timer, now + settings.send_progress_ms);
            }
            return;
        case Output::Step::failed:
        case Output::Step::short_file: close_slot(i); return;
    }
}

void Engine::State::drain(uint32_t i, uint64_t now) {
    (void)now;
    Slot& s = slot(i);
    static thread_local char sink[16384];
    for (;;) {
        ssize_t n = ::recv(s.fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            uint64_t got = static_cast<uint64_t>(n);
            if (got > s.drain_left) break;  // more than the body: enough
            s.drain_left -= got;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        break;  // the peer's close, or an error
    }
    close_slot(i);
}

void Engine::State::close_idle_ones() {
    for (uint32_t i = 0; i < used; ++i) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(m);
            if (i >= used || !chunks[i / chunk_slots]) continue;
            Slot& s = slot(i);
            if (s.state == SlotState::reading && !s.head_began && !s.fresh && !s.kicked)
                fd = release_slot(i);
        }
        if (fd >= 0) ::close(fd);
    }
}

void Engine::State::cut_loop_owned() {
    for (uint32_t i = 0; i < used; ++i) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(m);
            if (i >= used || !chunks[i / chunk_slots]) continue;
            Slot& s = slot(i);
            if (s.state == SlotState::reading || s.state == SlotState::reading_body ||
                s.state == SlotState::writing || s.state == SlotState::draining) {
                if (s.kicked) continue;  // taken off the kick list first
                fd = release_slot(i);
            }
        }
        if (fd >= 0) ::close(fd);
    }
}

void Engine::State::run() {
    epoll_event events[events_per_wait];
    bool idle_closed = false, cut = false;
    for (;;) {
        int timeout;
        {
            std::unique_lock<std::mutex> lock(m);
            if (stopping) break;
            if (!accepting && listener_watched) {
                watch_listener(false);
                changed.notify_all();
            }
            if (accepting && !paused && !listener_watched && held < settings.max_connections)
                watch_listener(true);
            long wait = wheel.next_wait(monotonic_ms());
            // While workers hold connections, a look every so often: the
            // keep-alive deadlines they arm then need no wake-up of their own.
            if (held > 0 && (wait < 0 || wait > long(idle_look_ms))) wait = long(idle_look_ms);
            if (held == 0 && used > 0 && (wait < 0 || wait > long(empty_reset_ms)))
                wait = long(empty_reset_ms);
            if (!jobs.empty() && idle_workers > notified)
                wait = wait < 0 || wait > long(settings.stall_ms) ? long(settings.stall_ms) : wait;
            timeout = kicks.empty() && !(closing_idle && !idle_closed) && !(cutting && !cut)
                          ? static_cast<int>(wait)
                          : 0;
            loop_sleeping = timeout != 0;
            loop_wakes_at = timeout < 0 ? UINT64_MAX : monotonic_ms() + static_cast<uint64_t>(timeout);
        }
        int n = epoll_wait(epoll, events, events_per_wait, timeout);
        uint64_t now = monotonic_ms();
        bool accept_ready = false;
        {
            std::lock_guard<std::mutex> lock(m);
            loop_sleeping = false;
        }
        for (int k = 0; k < n; ++k) {
            uint32_t index = static_cast<uint32_t>(events[k].data.u64);
            uint32_t generation = static_cast<uint32_t>(events[k].data.u64 >> 32);
            if (index == listener_token) {
                accept_ready = true;
            } else if (index == wake_token) {
                uint64_t count;
                ssize_t r = ::read(wake, &count, sizeof count);
                (void)r;
            } else {
                on_event(index, generation, events[k].events, now);
            }
        }
        // What the workers gave back.
        for (;;) {
            uint32_t i;
            {
                std::lock_guard<std::mutex> lock(m);
                i = pop(kicks);
                if (i == no_slot) break;
                slot(i).kicked = false;
            }
            if (cutting)
                close_slot(i);
            else
                service(i, now);
        }
        if (closing_idle && !idle_closed) {
            close_idle_ones();
            idle_closed = true;
        }
        if (cutting && !cut) {
            cut_loop_owned();
            cut = true;
        }
        // Deadlines: collected under the mutex, acted on outside it.
        uint32_t due[256];
        for (;;) {
            size_t count = 0;
            {
                std::lock_guard<std::mutex> lock(m);
                wheel.expire(now, [&](TimerLink& link) {
                    if (link.owner == pause_token) {
                        paused = false;
                        return;
                    }
                    if (count < sizeof due / sizeof due[0])
                        due[count++] = link.owner;
                    else
                        wheel.arm(link, now);  // next turn
                });
                uint64_t now_us = monotonic_us();
                if (!jobs.empty() && idle_workers > notified &&
                    now_us - last_take_us >= settings.stall_ms * 1000) {
                    ++notified;
                    work.notify_one();
                }
            }
            for (size_t k = 0; k < count; ++k) {
                {
                    std::lock_guard<std::mutex> lock(m);
                    Slot& s = slot(due[k]);
                    if (s.state == SlotState::reading_body) {
                        // The worker answers a body that stopped coming.
                        s.body_read = s.body_stalled = true;
                        queue_job(due[k]);
                        continue;
                    }
                }
                close_slot(due[k], true);
            }
            if (count < sizeof due / sizeof due[0]) break;
        }
        if (accept_ready) accept_connections(now);
        std::lock_guard<std::mutex> lock(m);
        reset_if_empty(monotonic_ms());
    }
    std::lock_guard<std::mutex> lock(m);
    watch_listener(false);
    changed.notify_all();
}

// --- Engine ---

Engine* Engine::create(const EngineSettings& settings, int& error) {
    Engine* e = new (std::nothrow) Engine();
    State* s = e ? new (std::nothrow) State(settings) : nullptr;
    if (!s) {
        delete e;
        error = ENOMEM;
        return nullptr;
    }
    e->s_ = s;
    s->chunk_count = (settings.max_connections + chunk_slots - 1) / chunk_slots;
    s->chunks = static_cast<Slot**>(std::calloc(s->chunk_count ? s->chunk_count : 1, sizeof(Slot*)));
    s->epoll = epoll_create1(EPOLL_CLOEXEC);
    s->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!s->chunks || s->epoll < 0 || s->wake < 0) {
        error = s->chunks ? errno : ENOMEM;
        delete e;
        return nullptr;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = token(wake_token, 0);
    if (epoll_ctl(s->epoll, EPOLL_CTL_ADD, s->wake, &ev) != 0) {
        error = errno;
        delete e;
        return nullptr;
    }
    return e;
}

Engine::~Engine() {
    if (!s_) return;
    for (size_t c = 0; s_->chunks && c < s_->chunk_count; ++c) {
        if (!s_->chunks[c]) continue;
        for (size_t k = 0; k < chunk_slots; ++k) {
            Slot& slot = s_->chunks[c][k];
            if (slot.state != SlotState::free && slot.fd >= 0) ::close(slot.fd);
            std::free(slot.buffer);
            slot.~Slot();
        }
        std::free(s_->chunks[c]);
    }
    std::free(s_->chunks);
    while (s_->buffer_count) std::free(s_->buffers[--s_->buffer_count]);
    if (s_->epoll >= 0) ::close(s_->epoll);
    if (s_->wake >= 0) ::close(s_->wake);
    delete s_;
}

void Engine::retain() { s_->references.fetch_add(1, std::memory_order_relaxed); }

void Engine::release() {
    if (s_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool Engine::start(int& error) {
    // An accept that another worker process won the race for must come back at once.
    int flags = fcntl(s_->settings.listener, F_GETFL);
    if (flags < 0 || fcntl(s_->settings.listener, F_SETFL, flags | O_NONBLOCK) < 0) {
        error = errno;
        return false;
    }
    int rc = pthread_create(&s_->loop_thread, nullptr, loop_main, s_);
    if (rc != 0) {
        error = rc;
        return false;
    }
    s_->loop_started = true;
    return true;
}

bool Engine::take(Job& job) {
    State& s = *s_;
    std::unique_lock<std::mutex> lock(s.m);
    ++s.idle_workers;
    while (s.jobs.empty() && !s.stopping) {
        s.work.wait(lock);
        if (s.notified > 0) --s.notified;
    }
    --s.idle_workers;
    if (s.stopping) return false;
    uint32_t i = s.pop(s.jobs);
    Slot& slot = s.slot(i);
    slot.state = SlotState::running;
    ++s.busy;
    s.last_take_us = monotonic_us();
    ++s.counters.jobs;
    job.slot = i;
    job.generation = slot.generation;
    job.fd = slot.fd;
    job.buffer = slot.buffer;
    job.received = slot.end;
    job.head_size = slot.head_size;
    job.too_large = slot.head_size == 0;
    job.fresh = slot.fresh;
    job.head_began_ms = slot.head_began;
    job.peer = slot.peer;
    job.body_read = slot.body_read;
    job.body_stalled = slot.body_stalled;
    slot.body_read = slot.body_stalled = false;
    // More jobs than this worker: the next one may need a worker of its own.
    if (!s.jobs.empty()) s.offer_job(s.last_take_us);
    return true;
}

void Engine::finish(const Job& job, Finish&& f) {
    State& s = *s_;
    uint64_t now = monotonic_ms();
    int close_fd = -1;
    {
        std::lock_guard<std::mutex> lock(s.m);
        if (s.busy > 0) --s.busy;
        if (!s.valid(job.slot, job.generation)) return;
        uint32_t i = job.slot;
        Slot& slot = s.slot(i);
        slot.fresh = false;
        slot.end = static_cast<uint32_t>(f.leftover);
        slot.scanned = 0;
        slot.run = 0;
        slot.head_size = 0;
        slot.head_began = f.leftover ? now : 0;
        After after = f.after;
        if (after == After::keep && (s.closing_idle || s.cutting || slot.shut)) after = After::close;
        if (after == After::read_body && (s.cutting || slot.shut)) after = After::close;
        if (s.cutting || slot.shut) f.output.clear();
        if (after == After::read_body) {
            slot.end = static_cast<uint32_t>(f.leftover);  // the head and what came with it
            slot.head_size = static_cast<uint32_t>(f.body_start);
            slot.head_began = job.head_began_ms;
            slot.fresh = job.fresh;
            slot.state = SlotState::reading_body;
            slot.body_until = f.body_until;
            slot.decoder = ChunkedDecoder();
            bool whole = false;
            if (!f.body_until) {
                char scratch[4096];
                size_t at = f.body_start;
                while (at < slot.end) {
                    auto r = slot.decoder.decode(slot.buffer + at, slot.end - at, scratch, sizeof scratch);
                    at += r.consumed;
                    if (r.status != ChunkedDecoder::Status::need_more) {
                        whole = true;
                        break;
                    }
                    if (r.consumed == 0 && r.produced == 0) break;
                }
            }
            if (whole) {
                slot.body_read = true;
                s.queue_job(i);
            } else {
                s.kick(i);
            }
        } else if (!f.output.empty()) {
            slot.output = std::move(f.output);
            slot.state = SlotState::writing;
            slot.after_write = after;
            slot.drain_left = f.unread_body;
            s.kick(i);
        } else if (after == After::keep) {
            s.shrink_buffer(slot);
            slot.state = SlotState::reading;
            if (slot.end == 0 && !slot.pending_in && !slot.maybe_more && !slot.peer_done) {
                s.give_buffer(slot);
                s.arm_from_worker(slot.timer, now + s.settings.keep_alive_ms);
            } else {
                s.kick(i);
            }
        } else if (after == After::drain && f.unread_body > 0 &&
                   f.unread_body <= s.settings.drain_limit && !s.cutting) {
            slot.state = SlotState::writing;  // nothing to write: straight to the drain
            slot.after_write = After::drain;
            slot.drain_left = f.unread_body;
            s.kick(i);
        } else {
            close_fd = s.release_slot(i);
        }
    }
    if (close_fd >= 0) ::close(close_fd);
}

void Engine::stop_accepting() {
    State& s = *s_;
    std::unique_lock<std::mutex> lock(s.m);
    s.accepting = false;
    if (!s.loop_started) {
        s.watch_listener(false);
        return;
    }
    s.wake_loop();
    s.changed.wait(lock, [&] { return !s.listener_watched; });
}

void Engine::close_idle() {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->closing_idle = true;
    s_->wake_loop();
}

void Engine::cut_all() {
    State& s = *s_;
    int to_close[64];
    for (;;) {
        size_t count = 0;
        {
            std::lock_guard<std::mutex> lock(s.m);
            s.cutting = true;
            for (uint32_t i = 0; i < s.used; ++i) {
                if (!s.chunks[i / chunk_slots]) continue;
                Slot& slot = s.slot(i);
                if (slot.state == SlotState::running && !slot.shut) {
                    ::shutdown(slot.fd, SHUT_RDWR);  // the worker's wait ends now
                    slot.shut = true;
                }
            }
            while (count < 64 && !s.jobs.empty()) to_close[count++] = s.release_slot(s.pop(s.jobs));
            s.wake_loop();
        }
        for (size_t k = 0; k < count; ++k)
            if (to_close[k] >= 0) ::close(to_close[k]);
        if (count < 64) return;
    }
}

bool Engine::wait_empty(uint64_t ms) {
    State& s = *s_;
    std::unique_lock<std::mutex> lock(s.m);
    return s.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.held == 0; });
}

size_t Engine::held() {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->held;
}

void Engine::stop() {
    State& s = *s_;
    {
        std::lock_guard<std::mutex> lock(s.m);
        s.stopping = true;
        s.loop_sleeping = true;  // so that wake_loop writes
        s.wake_loop();
        s.work.notify_all();
    }
    if (s.loop_started) {
        pthread_join(s.loop_thread, nullptr);
        s.loop_started = false;
    }
}

Engine::Counters Engine::counters() {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->counters;
}

}  // namespace zelweb
