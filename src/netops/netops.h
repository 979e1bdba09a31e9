/*
 * netops: TCP helpers with time-outs for the site's tools.
 *
 * init_sockaddr fills an IPv4 address from a host name or dotted address;
 * sock_connect and sock_accept wait a number of seconds for a connection;
 * sock_send (sock_data_push) writes a whole buffer; sock_read reads once;
 * sock_fd_select waits a number of milliseconds for input on a list of
 * descriptors and marks the records that have some.
 *
 * The module keeps no state. The caller owns every descriptor (the module
 * never closes one), every address and the descriptor list, whose records
 * are made by sock_fd_add and freed by sock_fd_close. Descriptors of any
 * value are accepted: the waits use poll, which has no set size limit.
 */
#ifndef SITEKIT_NETOPS_H
#define SITEKIT_NETOPS_H

#include <stdint.h>

#include <netinet/in.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One record of a descriptor list; new records go in front. */
typedef struct sock_fd {
    int32_t fd;
    int32_t tag;   /* the caller's value; never read by the module */
    int32_t ready; /* 1 when the last sock_fd_select that found input saw input here */
    struct sock_fd *next;
} sock_fd;

/*
 * Sets the family to AF_INET, the port (given in host order) and the address
 * from host, looked up by name or else parsed as a dotted address; no other
 * byte of the record is touched. Returns 1, or 0 when host neither resolves
 * nor parses (the address field is then unchanged).
 */
int init_sockaddr(struct sockaddr_in *addr, const char *host, uint16_t port);

/*
 * Connects fd to addr, waiting up to timeout seconds (0: only what is
 * ready at once). Returns 0 when connected, with fd blocking; -1 on refusal,
 * time-out, a failed or interrupted wait, or a negative time-out, with fd
 * left non-blocking.
 */
int sock_connect(int fd, const struct sockaddr *addr, socklen_t addrlen, int32_t timeout);

/*
 * Waits up to timeout seconds for a connection on the listening fd and
 * accepts it into addr and *addrlen (as accept does). Returns the new
 * descriptor, or -1. fd is blocking again whenever accept was reached, and
 * left non-blocking after a time-out or a failed wait.
 */
int sock_accept(int fd, struct sockaddr *addr, socklen_t *addrlen, int32_t timeout);

/* The same as sock_data_push. */
int sock_send(int fd, const void *data, int32_t length);

/*
 * Writes all length bytes, waiting while a non-blocking fd is full. Returns
 * length (0 when length is not positive), or -1 at the first error; an
 * interrupted write or wait (EINTR) is an error too. A peer that closed
 * gives -1 with errno EPIPE, not a SIGPIPE.
 */
int sock_data_push(int fd, const void *data, int32_t length);

/*
 * One read of at most size bytes: the bytes read, 0 at end of stream, -1 on
 * error (also for a negative size).
 */
int sock_read(int fd, void *buffer, int32_t size);

/*
 * Waits up to timeout milliseconds for input on the list's descriptors
 * (an empty list only waits). Returns 1 and sets every record's ready flag
 * (1 where input or end of stream is waiting, else 0) when some descriptor
 * has input; 0 on time-out and -1 on error (also a closed descriptor in the
 * list or a negative time-out), with the flags left as they were.
 */
int sock_fd_select(sock_fd *list, int64_t timeout);

/*
 * Puts a new record (fd, tag, ready 0) in front of list (NULL: empty) and
 * returns it, the new head. NULL when memory ran out; the list is then
 * unchanged and list is still its head.
 */
sock_fd *sock_fd_add(sock_fd *list, int32_t fd, int32_t tag);

/* Frees every record of the list (NULL allowed); descriptors stay open. */
void sock_fd_close(sock_fd *list);

#ifdef __cplusplus
}
#endif

#endif
