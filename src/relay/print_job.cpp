#include "print_settings.h"
#include "relay.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

// Obtained once before the first read; every chunk reuses it.
static char *relay_buffer;

// Set once a write to the output has failed: from then on nothing more is
// read or written, apart from one last try at the stop sequence.
static bool output_failed;

volatile sig_atomic_t frame_open = 0;

bool allocate_relay_buffer()
{
    relay_buffer = static_cast<char *>(malloc(static_cast<size_t>(buffer_size)));
    if (relay_buffer == nullptr) {
        warn("relay buffer", errno);
        return false;
    }
    return true;
}

bool emit(const char *buf, size_t count)
{
    if (output_failed)
        return false;
    if (!write_all(out_fd, buf, count)) {
        output_failed = true;
        warn("write error", errno);
        return false;
    }
    return true;
}

// The frame opens and closes with SIGTSTP held off, so that a stop never
// leaves the terminal in printer mode nor resumes it after the job closed it.
void open_frame()
{
    hold_terminal_stop();
    frame_open = 1;
    emit(start_sequence, sequence_length);
    release_terminal_stop();
}

void close_frame()
{
    hold_terminal_stop();
    if (output_failed)
        write_all(out_fd, stop_sequence, sequence_length); // one last try; already reported
    else
        emit(stop_sequence, sequence_length);
    frame_open = 0;
    release_terminal_stop();
    flush_diagnostics();
}

int relay_chunk()
{
    if (output_failed)
        return relay_write_failed;
    ssize_t n = read_some(in_fd, relay_buffer, static_cast<size_t>(buffer_size));
    if (n < 0)
        return relay_read_failed;
    if (n > 0 && !emit(relay_buffer, static_cast<size_t>(n)))
        return relay_write_failed;
    return static_cast<int>(n);
}

bool relay_source(const char *name)
{
    int n;
    while ((n = relay_chunk()) > 0) {
    }
    if (n == relay_read_failed)
        warn(name, errno);
    return n != relay_write_failed;
}
