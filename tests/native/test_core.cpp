// The event-driven core without the interpreter: the deadline wheel, and the
// engine driven over loopback sockets by a plain worker thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/clock.hpp"
#include "core/engine.hpp"
#include "core/timer_wheel.hpp"
#include "parse/head.hpp"

using namespace zelweb;
using std::string;

namespace {

void wheel_fires_each_deadline_once_and_in_time() {
    TimerWheel wheel(1000);
    TimerLink a, b, far, moved;
    a.owner = 1;
    b.owner = 2;
    far.owner = 3;
    moved.owner = 4;
    wheel.arm(a, 1050);
    wheel.arm(b, 1020);
    wheel.arm(far, 1000 + 40000);  // more than one turn of the wheel ahead
    wheel.arm(moved, 1030);
    wheel.arm(moved, 5000);  // moved later
    CHECK(wheel.armed_count() == 4);
    std::vector<uint32_t> fired;
    auto collect = [&](TimerLink& l) { fired.push_back(l.owner); };
    wheel.expire(1019, collect);
    CHECK(fired.empty());
    wheel.expire(1040, collect);
    CHECK(fired == std::vector<uint32_t>({2}));
    wheel.expire(1070, collect);
    CHECK(fired == std::vector<uint32_t>({2, 1}));
    wheel.disarm(moved);
    wheel.expire(30000, collect);  // a long sleep: every bucket once
    CHECK(fired.size() == 2 && wheel.armed_count() == 1);
    CHECK(wheel.next_wait(30000) >= 0);
    wheel.expire(41100, collect);
    CHECK(fired.size() == 3 && fired[2] == 3 && wheel.armed_count() == 0);
    CHECK(wheel.next_wait(41100) == -1);
    // A callback may arm links again, also for a past deadline.
    TimerLink again;
    again.owner = 9;
    wheel.arm(again, 41120);
    int rounds = 0;
    wheel.expire(41200, [&](TimerLink& l) {
        if (++rounds < 3) wheel.arm(l, 41150);
    });
    wheel.expire(41300, [&](TimerLink& l) {
        if (++rounds < 3) wheel.arm(l, 41150);
    });
    CHECK(rounds == 3 && wheel.armed_count() == 0);
}

int listen_loopback(uint16_t& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 128);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    port = ntohs(a.sin_port);
    return fd;
}

int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

void send_all(int fd, const string& s) {
    size_t at = 0;
    while (at < s.size()) {
        ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

// Reads until `want` bytes came, the peer closed, or 5 s of silence.
string read_bytes(int fd, size_t want) {
    string out;
    char buf[65536];
    while (out.size() < want) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// True when the peer closes within 5 s (what it sent first is skipped).
bool sees_close(int fd) {
    char buf[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

const string ok_response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// A worker: answers each head with `ok_response` (or, for a target of /big,
// with `big` handed to the engine to write out), and keeps the connection
// unless the head asks to close. Pipelined heads are answered in order.
struct Worker {
    Engine* engine;

    // A POST's body is left to the core once; then its raw size is answered.
    void answer_post(const Job& job, const string& head) {
        Finish f;
        if (!job.body_read) {
            f.after = After::read_body;
            size_t length = head.find("Content-Length: ");
            if (length != string::npos)
                f.body_until = job.head_size + std::stoul(head.substr(length + 16));
            f.body_start = job.head_size;
            f.leftover = job.received;
            engine->finish(job, std::move(f));
            return;
        }
        string text = std::to_string(job.received - job.head_size) + (job.body_stalled ? " stalled" : "");
        string out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
        ::send(job.fd, out.data(), out.size(), MSG_NOSIGNAL);
        f.after = After::close;
        engine->finish(job, std::move(f));
    }

    string big;
    std::atomic<int> too_large{0}, served{0};
    pthread_t thread;

    static void* main(void* self) {
        static_cast<Worker*>(self)->run();
        return nullptr;
    }
    void run() {
        Job job;
        while (engine->take(job)) {
            if (job.too_large) {
                ++too_large;
                Finish f;
                f.output.set_bytes("HTTP/1.1 431 x\r\n\r\n", 18);
                engine->finish(job, std::move(f));
                continue;
            }
            string first(job.buffer, job.head_size);
            if (first.find("POST") == 0) {
                answer_post(job, first);
                continue;
            }
            size_t at = 0, end = job.head_size;
            Finish f;
            f.after = After::keep;
            string out;
            for (;;) {
                string head(job.buffer + at, end - at);
                ++served;
                if (head.find("GET /big") == 0) {
                    out += "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big;
                } else {
                    out += ok_response;
                }
                if (head.find("Connection: close") != string::npos) f.after = After::close;
                at = end;
                int run = 0;
                auto next = scan_break_run(job.buffer + at, job.received - at, run);
                if (!next || f.after != After::keep) break;
                end = at + *next;
            }
            std::memmove(job.buffer, job.buffer + at, job.received - at);
            f.leftover = job.received - at;
            ssize_t n = ::send(job.fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
            if (sent < out.size()) f.output.set_bytes(out.data() + sent, out.size() - sent);
            engine->finish(job, std::move(f));
        }
    }
};

struct Fixture {
    uint16_t port;
    int listener;
    Engine* engine;
    Worker worker;
    explicit Fixture(uint32_t max_connections = 64, uint64_t keep_alive_ms = 600) {
        listener = listen_loopback(port);
        EngineSettings s;
        s.listener = listener;
        s.max_connections = max_connections;
        s.first_wait_ms = 1000;
        s.head_receive_ms = 400;
        s.head_total_ms = 800;
        s.keep_alive_ms = keep_alive_ms;
        s.drain_ms = 300;
        s.drain_limit = 1 << 20;
        s.body_receive_ms = 400;
        int error = 0;
        engine = Engine::create(s, error);
        CHECK(engine != nullptr);
        CHECK(engine->start(error));
        worker.engine = engine;
        pthread_create(&worker.thread, nullptr, Worker::main, &worker);
    }
    ~Fixture() {
        engine->stop_accepting();
        engine->close_idle();
        engine->cut_all();
        engine->wait_empty(2000);
        engine->stop();
        pthread_join(worker.thread, nullptr);
        engine->release();
        ::close(listener);
    }
};

void keeps_alive_and_answers_pipelined_requests_in_order() {
    Fixture f;
    int c = connect_to(f.port);
    send_all(c, "GET / HTTP/1.1\r\n\r\n");
    CHECK(read_bytes(c, ok_response.size()) == ok_response);
    send_all(c, "\r\nGET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\nGET /c HTTP/1.1\r\nConnection: close\r\n\r\n");
    CHECK(read_bytes(c, 3 * ok_response.size()) == ok_response + ok_response + ok_response);
    CHECK(sees_close(c));
    ::close(c);
    CHECK(f.worker.served == 4);
}

// A client that closes its side with its request gets the answer, then the
// close, not an idle wait for a request that cannot come.
void a_client_that_closed_its_side_is_closed_after_its_answer() {
    Fixture f(64, 60000);
    int c = connect_to(f.port);
    send_all(c, "GET / HTTP/1.1\r\n\r\n");
    ::shutdown(c, SHUT_WR);
    CHECK(read_bytes(c, ok_response.size()) == ok_response);
    CHECK(sees_close(c));
    ::close(c);
}

void a_slow_client_holds_no_worker() {
    Fixture f;
    int slow = connect_to(f.port);
    send_all(slow, "GET / HT");  // and nothing more for now
    int quick = connect_to(f.port);
    send_all(quick, "GET / HTTP/1.1\r\n\r\n");
    CHECK(read_bytes(quick, ok_response.size()) == ok_response);
    send_all(slow, "TP/1.1\r\n\r\n");
    CHECK(read_bytes(slow, ok_response.size()) == ok_response);
    ::close(slow);
    ::close(quick);
}

void deadlines_close_silent_and_trickling_clients() {
    Fixture f;
    int silent = connect_to(f.port);
    int partial = connect_to(f.port);
    send_all(partial, "GET / HTTP/1.1\r\nX: y\r\n");
    int idle = connect_to(f.port);
    send_all(idle, "GET / HTTP/1.1\r\n\r\n");
    CHECK(read_bytes(idle, ok_response.size()) == ok_response);
    CHECK(sees_close(partial));
    CHECK(sees_close(idle));  // keep_alive_ms
    CHECK(sees_close(silent));
    CHECK(f.engine->counters().timed_out == 3);
    for (int fd : {silent, partial, idle}) ::close(fd);
}

void a_head_over_the_buffer_is_handed_over_as_too_large() {
    Fixture f;
    int c = connect_to(f.port);
    send_all(c, "GET /" + string(9000, 'a'));
    CHECK(read_bytes(c, 18).find("431") != string::npos);
    CHECK(sees_close(c));
    CHECK(f.worker.too_large == 1);
    ::close(c);
}

void a_slow_reader_gets_the_whole_output_without_a_worker() {
    Fixture f;
    f.worker.big.assign(32 << 20, 'x');  // more than the socket buffers hold
    for (size_t i = 0; i < f.worker.big.size(); i += 4096) f.worker.big[i] = static_cast<char>('a' + i / 4096 % 26);
    int reader = connect_to(f.port);
    send_all(reader, "GET /big HTTP/1.1\r\n\r\n");
    // The reader reads nothing yet; meanwhile another client is served:
    // the worker is free.
    int other = connect_to(f.port);
    send_all(other, "GET / HTTP/1.1\r\n\r\n");
    CHECK(read_bytes(other, ok_response.size()) == ok_response);
    string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(f.worker.big.size()) + "\r\n\r\n";
    string got = read_bytes(reader, head.size() + f.worker.big.size());
    CHECK(got == head + f.worker.big);
    send_all(reader, "GET / HTTP/1.1\r\n\r\n");  // still kept alive after it
    CHECK(read_bytes(reader, ok_response.size()) == ok_response);
    ::close(reader);
    ::close(other);
}

void accepting_pauses_at_the_bound_and_the_stop_closes_idle_ones() {
    Fixture f(2);
    int a = connect_to(f.port), b = connect_to(f.port);
    for (int fd : {a, b}) {
        send_all(fd, "GET / HTTP/1.1\r\n\r\n");
        CHECK(read_bytes(fd, ok_response.size()) == ok_response);
    }
    CHECK(f.engine->held() == 2);
    int third = connect_to(f.port);  // waits in the backlog
    send_all(third, "GET / HTTP/1.1\r\n\r\n");
    pollfd p = {third, POLLIN, 0};
    CHECK(poll(&p, 1, 100) == 0);
    ::close(a);
    CHECK(read_bytes(third, ok_response.size()) == ok_response);
    f.engine->stop_accepting();
    f.engine->close_idle();
    CHECK(sees_close(b));
    CHECK(sees_close(third));
    CHECK(f.engine->wait_empty(2000));
    ::close(b);
    ::close(third);
}

// Out of descriptors, the loop pauses between accepts rather than spinning
// on the refusal; once descriptors are free, the waiting client is served.
void an_accept_out_of_descriptors_pauses() {
    Fixture f;
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    int probe = dup(0);
    low.rlim_cur = static_cast<rlim_t>(probe) + 8;
    ::close(probe);
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(f.port);
    connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    usleep(500 * 1000);
    uint64_t failures = f.engine->counters().accept_failures;
    CHECK(failures >= 1 && failures <= 40);
    for (int fd : filler) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    send_all(client, "GET / HTTP/1.1\r\n\r\n");
    CHECK(read_bytes(client, ok_response.size()) == ok_response);
    ::close(client);
}

// A body comes in pieces while no worker waits for it; the job comes back
// once it is whole (by its length, or where its chunked framing ends), or
// once it stops coming.
void a_body_not_yet_asked_for_is_read_without_a_worker() {
    Fixture f;
    auto answer = [](const string& text) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text;
    };
    int sized = connect_to(f.port), chunked = connect_to(f.port), stalled = connect_to(f.port);
    send_all(sized, "POST / HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + string(5000, 'a'));
    send_all(chunked, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
    send_all(stalled, "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
    int quick = connect_to(f.port);
    send_all(quick, "GET / HTTP/1.1\r\n\r\n");
    CHECK(read_bytes(quick, ok_response.size()) == ok_response);
    send_all(sized, string(15000, 'b'));
    CHECK(read_bytes(sized, 100) == answer("20000"));
    send_all(chunked, "3\r\nabc\r\n0\r\n\r\n");
    CHECK(read_bytes(chunked, 100) == answer("23"));
    CHECK(read_bytes(stalled, 100) == answer("3 stalled"));
    for (int fd : {sized, chunked, stalled, quick}) ::close(fd);
}

}  // namespace

int main() {
    a_client_that_closed_its_side_is_closed_after_its_answer();
    a_body_not_yet_asked_for_is_read_without_a_worker();
    an_accept_out_of_descriptors_pauses();
    wheel_fires_each_deadline_once_and_in_time();
    keeps_alive_and_answers_pipelined_requests_in_order();
    a_slow_client_holds_no_worker();
    deadlines_close_silent_and_trickling_clients();
    a_head_over_the_buffer_is_handed_over_as_too_large();
    a_slow_reader_gets_the_whole_output_without_a_worker();
    accepting_pauses_at_the_bound_and_the_stop_closes_idle_ones();
    if (failures) std::fprintf(stderr, "%d failures\n", failures);
    return failures ? 1 : 0;
}
