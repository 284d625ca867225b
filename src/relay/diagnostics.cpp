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

// Appends text at `at`, and returns where it ends, or a place past the
// buffer when it does not fit.
static size_t append(size_t at, const char *text, size_t n)
{
    if (at > sizeof held || n > sizeof held - at)
        return sizeof held + 1;
    memcpy(held + at, text, n);
    return at + n;
}

// Control characters in a name are written as octal escapes: a file named
// with ESC [ 5 i must not put the terminal back into printer mode.
static size_t append_escaped(size_t at, const char *name)
{
    for (const char *p = name; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) {
            char octal[4] = {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                             static_cast<char>('0' + (c & 7))};
            at = append(at, octal, sizeof octal);
        } else {
            at = append(at, p, 1);
        }
    }
    return at;
}

void report(const char *before, const char *name, const char *after, const char *reason)
{
    size_t end = append(static_cast<size_t>(held_length), "quillpass: ", 11);
    end = append(end, before, strlen(before));
    end = append_escaped(end, name);
    end = append(end, after, strlen(after));
    end = append(end, reason, strlen(reason));
    end = append(end, "\n", 1);
    if (end > sizeof held)
        dropped = 1;
    else
        held_length = static_cast<sig_atomic_t>(end);
    if (!frame_open)
        flush_diagnostics();
}

void warn(const char *name, int err)
{
    exit_status = 1;
    report("", name, ": ", strerror(err));
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
