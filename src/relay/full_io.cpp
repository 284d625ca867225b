#include "full_io.h"

#include "signals.h"

#include <cerrno>
#include <fcntl.h>
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

ssize_t read_input(int fd, char *buf, size_t count)
{
    begin_wait_for_input();
    ssize_t n;
    for (;;) {
        n = read(fd, buf, count);
        if (n >= 0 || (errno != EINTR && (!would_block(errno) || !wait_for(fd, POLLIN))))
            break;
    }
    end_wait_for_input(); // leaves errno alone
    return n;
}

int open_input(const char *name)
{
    begin_wait_for_input();
    int fd;
    while ((fd = open(name, O_RDONLY)) < 0 && errno == EINTR) {
    }
    end_wait_for_input();
    return fd;
}

ssize_t write_some(int fd, const char *buf, size_t count)
{
    for (;;) {
        ssize_t n = write(fd, buf, count);
        if (n > 0)
            return n;
        if (n == 0) {
            // A device that accepts nothing would make us spin forever.
            errno = ENOSPC;
            return -1;
        }
        if (errno == EINTR) {
            if (signals_pending())
                return 0; // let the caller act on it where it may
            continue;
        }
        if (!would_block(errno) || !wait_for(fd, POLLOUT))
            return -1;
    }
}

bool write_all(int fd, const char *buf, size_t count, const size_t *breaks, size_t nbreaks)
{
    size_t done = 0, next = 0; // breaks[next] is the first break past `done`
    for (;;) {
        bool at_break = breaks == nullptr || done == 0 || (next > 0 && breaks[next - 1] == done);
        if (at_break && signals_pending())
            take_pending_signals();
        if (done == count)
            return true;
        // With a signal waiting, write only up to the next break.
        size_t end = breaks != nullptr && signals_pending() ? breaks[next] : count;
        ssize_t n = write_some(fd, buf + done, end - done);
        if (n < 0) {
            int saved = errno;
            if (signals_pending())
                take_pending_signals(); // a broken pipe dies of it rather than report it
            errno = saved;
            return false;
        }
        done += static_cast<size_t>(n);
        while (next < nbreaks && breaks[next] <= done)
            next++;
    }
}
