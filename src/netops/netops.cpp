#include "netops.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The waits use poll rather than select: select's sets hold only
// descriptors below FD_SETSIZE, and a larger one would be written past them.

// What select would have counted as marked in a read or a write set.
constexpr short kMarked = POLLIN | POLLOUT | POLLERR | POLLHUP;
// What select would have counted as readable.
constexpr short kReadable = POLLIN | POLLERR | POLLHUP;

// poll for up to ms milliseconds (not negative), in slices that fit poll's
// int argument. An interrupted wait is reported as poll reports it (-1,
// EINTR), as select would.
int poll_for(pollfd *fds, nfds_t count, int64_t ms) {
    using clock = std::chrono::steady_clock;
    constexpr int64_t kMaxMs = int64_t{1} << 52; // over 100,000 years: no overflow below
    const auto deadline = clock::now() + std::chrono::milliseconds(std::min(ms, kMaxMs));
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        left = std::max<int64_t>(left, 0);
        int rc = ::poll(fds, count, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (rc != 0 || left <= INT_MAX)
            return rc;
    }
}

// Waits up to seconds for one descriptor to be readable or writable:
// 1 when marked, -1 otherwise (time-out, failed wait, bad descriptor).
int wait_marked(int fd, int32_t seconds) {
    if (seconds < 0) {
        errno = EINVAL; // select refuses a negative time-out too
        return -1;
    }
    pollfd pfd{fd, POLLIN | POLLOUT, 0};
    int rc = poll_for(&pfd, 1, int64_t{seconds} * 1000);
    if (rc <= 0)
        return -1;
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return (pfd.revents & kMarked) ? 1 : -1;
}

// Adds O_NONBLOCK to the status flags, keeping the others. False when the
// descriptor is not open.
bool set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void set_blocking(int fd) {
    int saved = errno;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    errno = saved;
}

// One write that never raises SIGPIPE: send with MSG_NOSIGNAL on a socket,
// plain write on any other descriptor.
ssize_t write_some(int fd, const char *data, std::size_t size) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = ::write(fd, data, size);
    return n;
}

} // namespace

extern "C" int init_sockaddr(struct sockaddr_in *addr, const char *host, uint16_t port) {
    if (!addr || !host)
        return 0;
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    const hostent *h = ::gethostbyname(host);
    if (h && h->h_addrtype == AF_INET && h->h_length >= 4 && h->h_addr_list && h->h_addr_list[0]) {
        std::memcpy(&addr->sin_addr, h->h_addr_list[0], 4);
        return 1;
    }
    in_addr parsed;
    if (::inet_aton(host, &parsed) == 0)
        return 0;
    addr->sin_addr = parsed;
    return 1;
}

extern "C" int sock_connect(int fd, const struct sockaddr *addr, socklen_t addrlen, int32_t timeout) {
    if (!set_nonblocking(fd))
        return -1;
    if (::connect(fd, addr, addrlen) >= 0) {
        set_blocking(fd); // connected at once: blocking, as after a wait
        return 0;
    }
    // Whatever the error, the wait tells: a refused or failed connection is
    // marked at once and then has no peer.
    if (wait_marked(fd, timeout) < 0)
        return -1;
    sockaddr_storage peer;
    socklen_t peer_len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0)
        return -1;
    set_blocking(fd);
    return 0;
}

extern "C" int sock_accept(int fd, struct sockaddr *addr, socklen_t *addrlen, int32_t timeout) {
    if (!set_nonblocking(fd))
        return -1;
    if (wait_marked(fd, timeout) < 0)
        return -1;
    int conn = ::accept(fd, addr, addrlen);
    set_blocking(fd);
    return conn;
}

extern "C" int sock_send(int fd, const void *data, int32_t length) {
    return sock_data_push(fd, data, length);
}

extern "C" int sock_data_push(int fd, const void *data, int32_t length) {
    if (length <= 0)
        return 0;
    const char *p = static_cast<const char *>(data);
    int32_t remaining = length;
    while (remaining > 0) {
        ssize_t n = write_some(fd, p, static_cast<std::size_t>(remaining));
        if (n >= 0) {
            p += n;
            remaining -= static_cast<int32_t>(n);
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        // Full: wait until the descriptor takes data again instead of
        // retrying at once. An interrupted wait ends the push, as an
        // interrupted write does; an error or hang-up is left for the next
        // write to report.
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, -1) < 0)
            return -1;
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
    }
    return length - remaining;
}

extern "C" int sock_read(int fd, void *buffer, int32_t size) {
    if (size < 0) {
        errno = EINVAL; // would otherwise be taken as a huge size
        return -1;
    }
    return static_cast<int>(::read(fd, buffer, static_cast<std::size_t>(size)));
}

extern "C" int sock_fd_select(sock_fd *list, int64_t timeout) {
    if (timeout < 0) {
        errno = EINVAL;
        return -1;
    }
    std::vector<pollfd> fds;
    try {
        for (const sock_fd *r = list; r; r = r->next)
            fds.push_back({r->fd, POLLIN, 0});
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    int rc = poll_for(fds.data(), fds.size(), timeout);
    if (rc <= 0)
        return rc;
    for (const pollfd &p : fds) {
        if (p.revents & POLLNVAL) {
            errno = EBADF; // as select reports a closed descriptor
            return -1;
        }
    }
    int any = 0;
    std::size_t i = 0;
    for (sock_fd *r = list; r; r = r->next, ++i) {
        r->ready = (fds[i].revents & kReadable) ? 1 : 0;
        any |= r->ready;
    }
    return any ? 1 : -1;
}

extern "C" sock_fd *sock_fd_add(sock_fd *list, int32_t fd, int32_t tag) {
    auto *r = static_cast<sock_fd *>(std::malloc(sizeof(sock_fd)));
    if (!r)
        return nullptr;
    r->fd = fd;
    r->tag = tag;
    r->ready = 0;
    r->next = list;
    return r;
}

extern "C" void sock_fd_close(sock_fd *list) {
    while (list) {
        sock_fd *next = list->next;
        std::free(list);
        list = next;
    }
}
