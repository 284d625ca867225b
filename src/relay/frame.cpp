#include "frame.h"

#include "full_io.h"
#include "print_settings.h"
#include "stop_scan.h"
#include "wrap.h"

#include <cstring>

// Everything the bytes of the current frame depend on, in one place, so
// that a piece of data can be tried and taken back (see print_wrapped).
struct frame_state {
    bool open;             // a start sequence has gone in, its stop sequence not yet
    unsigned char prefix;  // how far the data since goes towards a stop sequence
    unsigned long cuts;
    stop_scan scan;
    wrapping wrap;
};
static frame_state frame;

static bool failed;
static unsigned long left_out;
// Through tmux a frame is gathered and written whole.
static bool gathering, through_screen;
// Data is wrapped a piece at a time.
constexpr size_t piece = 4096;
static size_t capacity;
// Through screen: a C2 at the end of the data, not yet known to pass.
static bool c2_held;

static bool wrap_bytes(const char *p, size_t n);

bool allocate_frame_storage()
{
    if (layer_count == 0)
        return true;
    for (int i = 0; i < layer_count; i++) {
        gathering = gathering || layers[i] == tmux_layer;
        through_screen = through_screen || layers[i] == screen_layer;
    }
    capacity = wrap_bound((gathering ? tmux_content_limit : 0) + 2 * piece + 64);
    frame.wrap.out = map_storage(capacity);
    return frame.wrap.out != nullptr;
}

static bool fail()
{
    failed = true;
    return false;
}

bool output_failed()
{
    return failed;
}

unsigned long cuts_made()
{
    return frame.cuts;
}

unsigned long bytes_left_out()
{
    return left_out;
}

// Writes what must never be left half written. After a failure nothing is
// written but one last try at closing the frame, which `closing` marks.
static bool write_whole(const char *buf, size_t count, bool closing = false)
{
    if (failed) {
        if (closing)
            write_out(out_fd, buf, count, true);
        return false;
    }
    return write_out(out_fd, buf, count, true) == static_cast<ssize_t>(count) || fail();
}

// The stop sequence, twice where the data ends in a prefix of it: a
// terminal that never starts a match again takes the first as data.
static size_t stop_bytes(char *to)
{
    memcpy(to, stop_sequence, sequence_length);
    if (frame.prefix == 0)
        return sequence_length;
    memcpy(to + sequence_length, stop_sequence, sequence_length);
    return 2 * sequence_length;
}

static void frame_begins()
{
    frame.open = true;
    frame.prefix = 0;
    reset_stop_scan(&frame.scan);
}

// With multiplexers: the sequences go into the wrapping.
static void wrap_start()
{
    wrap_feed(&frame.wrap, start_sequence, sequence_length);
    frame_begins();
}

static void wrap_end_frame()
{
    char stop[2 * sequence_length];
    wrap_feed(&frame.wrap, stop, stop_bytes(stop));
    frame.open = false;
}

// Ends the frame, if open, and the strings around it.
static void wrap_end()
{
    if (frame.open)
        wrap_end_frame();
    wrap_close(&frame.wrap);
}

static bool flush()
{
    size_t n = frame.wrap.length;
    frame.wrap.length = 0;
    return n == 0 || write_whole(frame.wrap.out, n, true);
}

bool open_frame()
{
    if (failed)
        return false;
    if (layer_count > 0 || frame.open)
        return true; // with multiplexers, with the first data
    if (!write_whole(start_sequence, sequence_length))
        return false;
    frame_begins();
    return true;
}

bool close_frame(bool for_good)
{
    if (layer_count > 0) {
        if (gathering && !for_good)
            return true;
        if (for_good && c2_held) {
            c2_held = false;
            if (!wrap_bytes("\xc2", 1))
                return false;
        }
        wrap_end();
        return flush();
    }
    if (!frame.open)
        return true;
    char stop[2 * sequence_length];
    size_t n = stop_bytes(stop);
    frame.open = false;
    return write_whole(stop, n, true);
}

bool frames_gathered()
{
    return gathering;
}

void drop_frame()
{
    frame.open = false;
    for (layer_string &s : frame.wrap.layer)
        s.open = false;
    frame.wrap.length = 0;
}

void close_frame_at_once()
{
    if (layer_count > 0) {
        wrap_end();
        if (frame.wrap.length > 0)
            write_out(out_fd, frame.wrap.out, frame.wrap.length, true);
        return;
    }
    if (frame.open) {
        char stop[2 * sequence_length];
        write_out(out_fd, stop, stop_bytes(stop), true);
        frame.open = false;
    }
}

// Ends the frame just before the cut and opens the next one there; with
// multiplexers, the next one opens with the data after the cut.
static bool cut_frame()
{
    frame.cuts++;
    if (layer_count > 0) {
        wrap_end_frame();
        return true;
    }
    char sequences[3 * sequence_length];
    size_t n = stop_bytes(sequences);
    memcpy(sequences + n, start_sequence, sequence_length);
    if (!write_whole(sequences, n + sequence_length))
        return false;
    frame_begins();
    return true;
}

// Through screen, NUL and U+009C cannot pass: screen drops a NUL (after an
// ESC it cuts the rest of the string) and ends the string at U+009C, which
// is the byte 0x9C in a window without UTF-8 and C2 9C in one with it.
// They are left out, and counted. A C2 that ends the data is held until
// the next byte shows what it is.

static size_t leave_out_uncarriable(char *buf, size_t count)
{
    size_t kept = 0;
    for (size_t i = 0; i < count; i++) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        if (c == 0 || c == 0x9c) {
            left_out++;
            if (c == 0x9c && kept > 0 && static_cast<unsigned char>(buf[kept - 1]) == 0xc2) {
                kept--;
                left_out++;
            }
            continue;
        }
        buf[kept++] = buf[i];
    }
    c2_held = kept > 0 && static_cast<unsigned char>(buf[kept - 1]) == 0xc2;
    return c2_held ? kept - 1 : kept;
}

// Wraps data up to the first cut, or all of it; returns how much.
static size_t wrap_data(const char *p, size_t n, bool end_of_data)
{
    size_t cut = next_cut(&frame.scan, p, 0, n, end_of_data);
    wrap_feed(&frame.wrap, p, cut);
    frame.prefix = stop_prefix_after(frame.prefix, p, cut);
    if (cut < n)
        cut_frame();
    return cut;
}

// Whether the tmux string would pass its limit if the frame closed now.
static bool string_too_long()
{
    frame_state kept = frame;
    wrap_end();
    bool too_long = frame.wrap.too_long;
    frame = kept;
    return too_long;
}

// Wraps data, writing what is gathered as the layers need.
static bool wrap_bytes(const char *p, size_t n)
{
    while (n > 0) {
        if (!gathering && frame.wrap.length + wrap_bound(piece + 4 * sequence_length) > capacity && !flush())
            return false;
        size_t m = n < piece ? n : piece;
        // Through tmux: try a piece, and take it back for a smaller one
        // where the string would grow too long; where not a byte more
        // fits, the string goes out and the data goes on in a new one. A
        // frame opens with its first data, so none is ever empty.
        frame_state before = frame;
        for (;;) {
            if (!frame.open)
                wrap_start();
            size_t taken = wrap_data(p, m, m == n);
            if (!gathering || !string_too_long()) {
                p += taken;
                n -= taken;
                break;
            }
            frame = before;
            if (m > 1) {
                m /= 2;
                continue;
            }
            wrap_end();
            if (!flush())
                return false;
            break;
        }
    }
    return true;
}

static ssize_t print_wrapped(char *buf, size_t count)
{
    size_t n = count;
    if (through_screen) {
        if (c2_held && count > 0) {
            c2_held = false;
            if (static_cast<unsigned char>(buf[0]) == 0x9c)
                left_out++;
            else if (!wrap_bytes("\xc2", 1))
                return -1;
        }
        n = leave_out_uncarriable(buf, count);
    }
    if (!wrap_bytes(buf, n) || (!gathering && !flush()))
        return -1;
    return static_cast<ssize_t>(count);
}

ssize_t print_data(char *buf, size_t count)
{
    if (failed)
        return -1;
    if (layer_count > 0)
        return print_wrapped(buf, count);
    if (!frame.open && !open_frame())
        return -1;
    size_t at = 0;
    while (at < count) {
        stop_scan before = frame.scan;
        size_t cut = next_cut(&frame.scan, buf, at, count, true);
        ssize_t n = write_out(out_fd, buf + at, cut - at, false);
        if (n < 0) {
            fail();
            return -1;
        }
        frame.prefix = stop_prefix_after(frame.prefix, buf + at, static_cast<size_t>(n));
        if (at + static_cast<size_t>(n) < cut) {
            // Stopped early for a signal: the scan goes back to what was
            // written, for the job to go on from there.
            frame.scan = before;
            next_cut(&frame.scan, buf, at, at + static_cast<size_t>(n), false);
            return static_cast<ssize_t>(at) + n;
        }
        at = cut;
        if (cut < count && !cut_frame())
            return -1;
    }
    return static_cast<ssize_t>(count);
}
