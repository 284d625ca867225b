#include "diagnostics.h"

#include "full_io.h"
#include "signals.h"
#include "utf8.h"

#include <cstring>
#include <unistd.h>

int exit_status = 0;

// Held messages live in static storage, so that a death while the job
// waits for input can still write them. Past `store_size` bytes, room is
// left for the line that says how many messages were dropped.
constexpr size_t store_size = 64 * 1024;
static char held[store_size + 64];
static size_t held_length;       // bytes held
static size_t flushed;           // of which written to stderr
static unsigned long dropped;    // messages that found no room
static bool holding;

// The length of the well-formed UTF-8 sequence of two to four bytes at p,
// or 0 where none starts. The second byte's range rules out overlong
// forms, surrogates and values past U+10FFFF.
static size_t well_formed_utf8(const unsigned char *p)
{
    unsigned char c = p[0];
    if (c < 0xc2 || c > 0xf4)
        return 0;
    unsigned char lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80, hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (p[1] < lo || p[1] > hi)
        return 0;
    size_t length = 1 + utf8_continuations(c);
    for (size_t i = 2; i < length; i++)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return length;
}

static size_t octal(unsigned char c, char *out)
{
    out[0] = '\\';
    out[1] = static_cast<char>('0' + (c >> 6));
    out[2] = static_cast<char>('0' + ((c >> 3) & 7));
    out[3] = static_cast<char>('0' + (c & 7));
    return 4;
}

// Appends NAME to out (room for `room` bytes; out may be null, to measure)
// with every byte that could drive a terminal written as an octal escape:
// C0 controls, DEL, and the C1 controls, raw (0x80-0x9F outside a UTF-8
// sequence) or UTF-8 encoded (U+0080-U+009F). Well-formed UTF-8 otherwise
// passes as it is. Stops before the first piece that does not fit; returns
// the bytes written and sets *whole to whether all of NAME fitted.
static size_t escape_name(const char *name, char *out, size_t room, bool *whole)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
    size_t at = 0;
    while (*p != 0) {
        char piece[8];
        size_t length = 0, used = well_formed_utf8(p);
        if (used == 2 && p[0] == 0xc2 && p[1] < 0xa0) { // a C1 control, UTF-8 encoded
            length = octal(p[0], piece);
            length += octal(p[1], piece + length);
        } else if (used > 0) {
            memcpy(piece, p, used);
            length = used;
        } else {
            used = 1;
            if (*p < 0x20 || *p == 0x7f || (*p >= 0x80 && *p <= 0x9f))
                length = octal(*p, piece);
            else
                piece[length++] = static_cast<char>(*p);
        }
        if (length > room - at) {
            *whole = false;
            return at;
        }
        if (out != nullptr)
            memcpy(out + at, piece, length);
        at += length;
        p += used;
    }
    *whole = true;
    return at;
}

static char *put(char *at, const char *text)
{
    size_t n = strlen(text);
    memcpy(at, text, n);
    return at + n;
}

// Once a message has found no room, every later one is dropped too, so
// what is written is always the first messages in their order.
static void store_message(const char *before, const char *name, const char *after, const char *reason)
{
    static const char prefix[] = "quillpass: ", cut[] = "...";
    size_t fixed = strlen(prefix) + strlen(before) + strlen(after) + strlen(reason) + 1;
    size_t room = held_length < store_size ? store_size - held_length : 0;
    if (dropped > 0 || fixed + strlen(cut) > room) {
        dropped++;
        return;
    }
    bool whole;
    size_t name_length = escape_name(name, nullptr, room - fixed, &whole);
    if (!whole) {
        if (held_length > 0) {
            dropped++;
            return;
        }
        // Alone too long for the whole store: cut to fit, not dropped.
        name_length = escape_name(name, nullptr, room - fixed - strlen(cut), &whole);
    }
    char *at = put(held + held_length, prefix);
    at = put(at, before);
    escape_name(name, at, name_length, &whole);
    at += name_length;
    if (!whole)
        at = put(at, cut);
    at = put(at, after);
    at = put(at, reason);
    *at++ = '\n';
    held_length = static_cast<size_t>(at - held);
}

void report(const char *before, const char *name, const char *after, const char *reason)
{
    store_message(before, name, after, reason);
    if (!holding)
        flush_diagnostics();
}

void report_failure(const char *name, int err)
{
    exit_status = 1;
    report("", name, ": ", strerror(err));
}

void hold_diagnostics()
{
    holding = true;
}

const char *decimal(unsigned long value, char (&text)[24])
{
    char *at = text + sizeof text - 1;
    *at = '\0';
    do
        *--at = static_cast<char>('0' + value % 10);
    while ((value /= 10) > 0);
    return at;
}

// The count of dropped messages, in the room kept for it.
static void note_dropped()
{
    char digits[24];
    char *at = put(held + held_length, "quillpass: ");
    at = put(at, decimal(dropped, digits));
    at = put(at, dropped == 1 ? " more diagnostic was dropped\n" : " more diagnostics were dropped\n");
    held_length = static_cast<size_t>(at - held);
    dropped = 0;
}

bool flush_diagnostics()
{
    holding = false;
    if (dropped > 0)
        note_dropped();
    while (flushed < held_length) {
        ssize_t n = write_some(STDERR_FILENO, held + flushed, held_length - flushed);
        if (n < 0)
            break;
        flushed += static_cast<size_t>(n);
        if (signals_pending())
            return false; // the next call goes on from `flushed`
    }
    held_length = flushed = 0;
    return true;
}
