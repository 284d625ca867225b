#include "relay.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

int exit_status = 0;

// Held messages live in static storage so that a signal handler can write
// them out too: held_length only ever covers complete messages.
static char held[64 * 1024];
static volatile sig_atomic_t held_length = 0;
static volatile sig_atomic_t dropped = 0;

static size_t append(size_t at, const char *text)
{
    size_t n = strlen(text);
    if (at + n > sizeof held)
        return sizeof held + 1;
    memcpy(held + at, text, n);
    return at + n;
}

void warn(const char *name, int err)
{
    exit_status = 1;
    size_t end = static_cast<size_t>(held_length);
    const char *pieces[] = {"quillpass: ", name, ": ", strerror(err), "\n"};
    for (const char *piece : pieces)
        end = append(end, piece);
    if (end > sizeof held)
        dropped = 1;
    else
        held_length = static_cast<sig_atomic_t>(end);
    if (!frame_open)
        flush_diagnostics();
}

void flush_diagnostics()
{
    write_all(STDERR_FILENO, held, static_cast<size_t>(held_length));
    held_length = 0;
    if (dropped) {
        static const char more[] = "quillpass: further diagnostics were dropped\n";
        write_all(STDERR_FILENO, more, sizeof more - 1);
        dropped = 0;
    }
}
