#include "netops.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "internal.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

sk::unique_fd tcp_socket() {
    return sk::unique_fd(::socket(AF_INET, SOCK_STREAM, 0));
}

// A socket bound to a free loopback port; listening when backlog >= 0.
struct Bound {
    sk::unique_fd fd = tcp_socket();
    sockaddr_in addr{};
    explicit Bound(int backlog) {
        addr = loopback(0);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
        if (backlog >= 0) {
            EXPECT_EQ(::listen(fd.get(), backlog), 0);
        }
    }
    const sockaddr *sa() const { return reinterpret_cast<const sockaddr *>(&addr); }
};

bool nonblocking(int fd) {
    return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// A connected pair over loopback: client side and accepted side.
struct Pair {
    Bound listener{4};
    sk::unique_fd client = tcp_socket();
    sk::unique_fd server;
    Pair() {
        EXPECT_EQ(::connect(client.get(), listener.sa(), sizeof listener.addr), 0);
        server = sk::unique_fd(::accept(listener.fd.get(), nullptr, nullptr));
        EXPECT_TRUE(server);
    }
};

TEST(InitSockaddr, FillsFamilyPortAndAddressOnly) {
    struct Case {
        const char *host;
        uint16_t port;
        const char *expected;
    } cases[] = {
        {"127.0.0.1", 21, "127.0.0.1"}, {"localhost", 65535, "127.0.0.1"}, {"10.1.2.3", 0, "10.1.2.3"}};
    for (const auto &c : cases) {
        sockaddr_in a;
        std::memset(&a, 0xAB, sizeof a);
        ASSERT_EQ(init_sockaddr(&a, c.host, c.port), 1) << c.host;
        EXPECT_EQ(a.sin_family, 2);
        EXPECT_EQ(a.sin_port, htons(c.port));
        char text[INET_ADDRSTRLEN];
        EXPECT_STREQ(inet_ntop(AF_INET, &a.sin_addr, text, sizeof text), c.expected);
        for (unsigned char b : a.sin_zero)
            EXPECT_EQ(b, 0xAB) << "bytes outside the three fields are the caller's";
    }
}

TEST(InitSockaddr, NameThatNeitherResolvesNorParsesGivesZero) {
    sockaddr_in a;
    std::memset(&a, 0xAB, sizeof a);
    EXPECT_EQ(init_sockaddr(&a, "bad host!", 80), 0);
    EXPECT_EQ(a.sin_addr.s_addr, 0xABABABABu);
}

TEST(SockConnect, ConnectsToAListenerAndLeavesTheDescriptorBlocking) {
    Bound listener(4);
    auto fd = tcp_socket();
    EXPECT_EQ(sock_connect(fd.get(), listener.sa(), sizeof listener.addr, 5), 0);
    EXPECT_FALSE(nonblocking(fd.get()));
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    EXPECT_EQ(::getpeername(fd.get(), reinterpret_cast<sockaddr *>(&peer), &len), 0);
    EXPECT_EQ(peer.sin_port, listener.addr.sin_port);
}

TEST(SockConnect, PortWithoutListenerIsRefusedAtOnce) {
    Bound closed(-1); // bound, never listening: the connection is refused
    auto fd = tcp_socket();
    auto start = clock_type::now();
    EXPECT_EQ(sock_connect(fd.get(), closed.sa(), sizeof closed.addr, 5), -1);
    EXPECT_LT(seconds_since(start), 2.0);
}

// A listener whose accept queue is full drops further connection attempts:
// a peer that never answers, on loopback.
TEST(SockConnect, PeerThatNeverAnswersTimesOutAfterTheGivenSeconds) {
    Bound listener(0);
    std::vector<sk::unique_fd> filled;
    bool timed_out = false;
    for (int i = 0; i < 16 && !timed_out; ++i) {
        auto fd = tcp_socket();
        // A time-out of 0 seconds only looks once.
        auto start = clock_type::now();
        int rc = sock_connect(fd.get(), listener.sa(), sizeof listener.addr, i == 0 ? 5 : 1);
        double took = seconds_since(start);
        if (rc == -1) {
            timed_out = true;
            EXPECT_GE(took, 0.9);
            EXPECT_LT(took, 3.0);
            EXPECT_TRUE(nonblocking(fd.get())) << "left non-blocking after a time-out";
            auto again = tcp_socket();
            start = clock_type::now();
            EXPECT_EQ(sock_connect(again.get(), listener.sa(), sizeof listener.addr, 0), -1);
            EXPECT_LT(seconds_since(start), 0.5);
            EXPECT_EQ(sock_connect(again.get(), listener.sa(), sizeof listener.addr, -1), -1);
        }
        filled.push_back(std::move(fd));
    }
    EXPECT_TRUE(timed_out) << "the accept queue never filled";
}

TEST(SockAccept, WithoutPendingConnectionTimesOut) {
    Bound listener(4);
    auto start = clock_type::now();
    EXPECT_EQ(sock_accept(listener.fd.get(), nullptr, nullptr, 1), -1);
    double took = seconds_since(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(sock_accept(listener.fd.get(), nullptr, nullptr, 0), -1);
    EXPECT_EQ(sock_accept(listener.fd.get(), nullptr, nullptr, -1), -1);
}

TEST(SockAccept, AcceptsPendingConnectionAndLeavesTheListenerBlocking) {
    Bound listener(4);
    auto client = tcp_socket();
    ASSERT_EQ(::connect(client.get(), listener.sa(), sizeof listener.addr), 0);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    sk::unique_fd conn(sock_accept(listener.fd.get(), reinterpret_cast<sockaddr *>(&peer), &len, 0));
    ASSERT_TRUE(conn);
    EXPECT_EQ(len, sizeof peer);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(nonblocking(listener.fd.get()));
}

// Descriptors at or above FD_SETSIZE would not fit select's sets.
TEST(SockWaits, WorkWithDescriptorsAboveTheSelectSetSize) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const int high = FD_SETSIZE + 100;
    if (lim.rlim_cur <= static_cast<rlim_t>(high + 10)) {
        if (lim.rlim_max <= static_cast<rlim_t>(high + 10))
            GTEST_SKIP() << "descriptor limit too low";
        lim.rlim_cur = high + 11;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    Bound listener(4);
    sk::unique_fd high_listener(::dup2(listener.fd.get(), high));
    auto client = tcp_socket();
    sk::unique_fd high_client(::dup2(client.get(), high + 1));
    ASSERT_TRUE(high_listener && high_client);
    EXPECT_EQ(sock_connect(high_client.get(), listener.sa(), sizeof listener.addr, 5), 0);
    sk::unique_fd conn(sock_accept(high_listener.get(), nullptr, nullptr, 5));
    ASSERT_TRUE(conn);
    sk::unique_fd high_conn(::dup2(conn.get(), high + 2));
    ASSERT_EQ(sock_send(high_client.get(), "x", 1), 1);
    sock_fd *list = sock_fd_add(nullptr, high_conn.get(), 0);
    EXPECT_EQ(sock_fd_select(list, 2000), 1);
    EXPECT_EQ(list->ready, 1);
    char c = 0;
    EXPECT_EQ(sock_read(high_conn.get(), &c, 1), 1);
    EXPECT_EQ(c, 'x');
    sock_fd_close(list);
}

TEST(SockDataPush, NothingToWriteGivesZero) {
    Pair p;
    EXPECT_EQ(sock_data_push(p.client.get(), "abc", 0), 0);
    EXPECT_EQ(sock_data_push(p.client.get(), "abc", -5), 0);
    sock_fd *list = sock_fd_add(nullptr, p.server.get(), 0);
    EXPECT_EQ(sock_fd_select(list, 100), 0) << "nothing may have been written";
    sock_fd_close(list);
}

double thread_cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST(SockDataPush, WaitsForAFullNonBlockingSocketWithoutSpinning) {
    Pair p;
    ASSERT_EQ(::fcntl(p.client.get(), F_SETFL, O_NONBLOCK), 0);
    std::string data(16 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + i / 4096);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // let the sender fill up
        char buf[65536];
        ssize_t n;
        while ((n = ::read(p.server.get(), buf, sizeof buf)) > 0)
            received.append(buf, static_cast<std::size_t>(n));
    });
    double cpu = thread_cpu_seconds();
    int rc = sock_data_push(p.client.get(), data.data(), static_cast<int32_t>(data.size()));
    cpu = thread_cpu_seconds() - cpu;
    ::shutdown(p.client.get(), SHUT_WR);
    reader.join();
    EXPECT_EQ(rc, static_cast<int>(data.size()));
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
    EXPECT_LT(cpu, 0.4) << "the sender spun while the socket was full";
}

TEST(SockDataPush, PeerThatClosedGivesMinusOneNotASignal) {
    Pair p;
    p.server.close();
    std::string data(4 << 20, 'x');
    int rc = 0;
    for (int i = 0; i < 5 && rc != -1; ++i) { // the first push may still fit in the buffers
        rc = sock_data_push(p.client.get(), data.data(), static_cast<int32_t>(data.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
}

std::atomic<int> alarms{0};
void on_alarm(int) {
    alarms.fetch_add(1);
}

TEST(SockDataPush, InterruptedWaitCountsAsError) {
    Pair p;
    ASSERT_EQ(::fcntl(p.client.get(), F_SETFL, O_NONBLOCK), 0);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm; // no SA_RESTART: the wait is interrupted
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    // Repeating, so that one alarm surely falls into the wait for room.
    itimerval t{};
    t.it_value.tv_usec = 200000;
    t.it_interval.tv_usec = 100000;
    setitimer(ITIMER_REAL, &t, nullptr);
    std::string data(64 << 20, 'y'); // far more than the peer, which never reads, can hold
    auto start = clock_type::now();
    int rc = sock_data_push(p.client.get(), data.data(), static_cast<int32_t>(data.size()));
    int err = errno;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_GE(alarms.load(), 1);
    EXPECT_LT(seconds_since(start), 3.0);
}

TEST(SockRead, ReadsOnceAndReportsEndOfStream) {
    Pair p;
    ASSERT_EQ(sock_send(p.client.get(), "hello", 5), 5);
    char buf[16] = {};
    EXPECT_EQ(sock_read(p.server.get(), buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_EQ(sock_read(p.server.get(), buf, -1), -1) << "a negative size must not become a huge one";
    EXPECT_EQ(sock_read(p.server.get(), buf, sizeof buf), 2);
    p.client.close();
    EXPECT_EQ(sock_read(p.server.get(), buf, sizeof buf), 0);
}

TEST(SockFdSelect, EmptyListOnlyWaits) {
    auto start = clock_type::now();
    EXPECT_EQ(sock_fd_select(nullptr, 150), 0);
    EXPECT_GE(seconds_since(start), 0.14);
    EXPECT_EQ(sock_fd_select(nullptr, -1), -1);
}

TEST(SockFdSelect, MarksExactlyTheDescriptorsWithInput) {
    Pair a, b, c;
    sock_fd *list = nullptr;
    list = sock_fd_add(list, a.server.get(), 1);
    list = sock_fd_add(list, b.server.get(), 2);
    list = sock_fd_add(list, c.server.get(), 3);
    // A connected peer that never writes: the wait times out, flags stay.
    for (sock_fd *r = list; r; r = r->next)
        r->ready = 7;
    EXPECT_EQ(sock_fd_select(list, 200), 0);
    for (sock_fd *r = list; r; r = r->next)
        EXPECT_EQ(r->ready, 7);

    ASSERT_EQ(sock_send(a.client.get(), "1", 1), 1);
    c.client.close(); // end of stream counts as input
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sock_fd_select(list, 1000), 1);
    for (sock_fd *r = list; r; r = r->next)
        EXPECT_EQ(r->ready, r->tag == 2 ? 0 : 1) << "tag " << r->tag;
    sock_fd_close(list);
}

TEST(SockFdSelect, ClosedDescriptorInTheListIsAnError) {
    Pair a;
    int fd = ::dup(a.server.get());
    ::close(fd);
    sock_fd *list = sock_fd_add(sock_fd_add(nullptr, a.server.get(), 0), fd, 1);
    list->ready = 5;
    EXPECT_EQ(sock_fd_select(list, 100), -1);
    EXPECT_EQ(list->ready, 5);
    sock_fd_close(list);
}

TEST(SockFdList, AddsInFrontAndCloseLeavesDescriptorsOpen) {
    Pair a;
    sock_fd *list = nullptr;
    for (int i = 0; i < 3; ++i)
        list = sock_fd_add(list, a.server.get(), i);
    int expected = 2;
    for (sock_fd *r = list; r; r = r->next, --expected) {
        EXPECT_EQ(r->tag, expected);
        EXPECT_EQ(r->fd, a.server.get());
        EXPECT_EQ(r->ready, 0);
    }
    EXPECT_EQ(expected, -1);
    sock_fd_close(list);
    sock_fd_close(nullptr);
    EXPECT_NE(::fcntl(a.server.get(), F_GETFD), -1);
}

} // namespace
