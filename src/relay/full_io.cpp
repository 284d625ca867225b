#include "full_io.h"

#include "signals.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
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

ssize_t write_out(int fd, const char *buf, size_t count, bool whole)
{
    size_t done = 0;
    bool blocked = false;
    sigset_t saved;
    while (done < count) {
        if (!whole && signals_pending())
            break;
        ssize_t n = write_some(fd, buf + done, count - done);
        if (n < 0) {
            done = SIZE_MAX;
            break;
        }
        // Cut short with a signal waiting: with a terminal's tostop that
        // may be SIGTTOU, over and over. What must be whole is finished
        // from the background.
        if (n == 0 && whole && !blocked) {
            block_tty_output_stop(&saved);
            blocked = true;
        }
        done += static_cast<size_t>(n);
    }
    if (blocked) {
        int err = errno;
        restore_signal_mask(&saved);
        errno = err;
    }
    return done == SIZE_MAX ? -1 : static_cast<ssize_t>(done);
}

char *map_storage(size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}
