#include "relay.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

// Waits until fd is ready for `events`. Returns false only if poll itself
// fails for a reason other than a signal.
static bool wait_for(int fd, short events)
{
    struct pollfd p = {fd, events, 0};
    while (poll(&p, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

static bool would_block(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK;
}

ssize_t read_some(int fd, char *buf, size_t count)
{
    for (;;) {
        ssize_t n = read(fd, buf, count);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (!would_block(errno) || !wait_for(fd, POLLIN))
            return -1;
    }
}

bool write_all(int fd, const char *buf, size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, buf, count);
        if (n > 0) {
            buf += n;
            count -= static_cast<size_t>(n);
        } else if (n == 0) {
            // A device that accepts nothing would make us spin forever.
            errno = ENOSPC;
            return false;
        } else if (errno != EINTR) {
            if (!would_block(errno) || !wait_for(fd, POLLOUT))
                return false;
        }
    }
    return true;
}
