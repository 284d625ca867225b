#include "frame.h"

#include "full_io.h"
#include "print_settings.h"
#include "stop_scan.h"
#include "terminal.h"
#include "wrap.h"

#include <cstring>
#include <termios.h>

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
// What the innermost layer receives: the line's output processing, done
// here while the line's is off, and what screen passes on.
static line_output line;
static bool translating;
static char translated[piece + 8];
static screen_window screen;
// Without multiplexers: the sequences written at once, a stop sequence
// (perhaps twice) and a start sequence at most.
static char sequences[3 * sequence_length];

static bool wrap_bytes(const char *p, size_t n);

bool allocate_frame_storage()
{
    if (layer_count == 0) {
        frame.wrap.out = sequences;
        return true;
    }
    for (int i = 0; i < layer_count; i++) {
        gathering = gathering || layers[i] == tmux_layer;
        through_screen = through_screen || layers[i] == screen_layer;
    }
    capacity = wrap_bound((gathering ? tmux_content_limit : 0) + 2 * piece + 64);
    frame.wrap.out = map_storage(capacity);
    return frame.wrap.out != nullptr;
}

void set_screen_utf8(bool utf8)
{
    screen.utf8 = utf8;
}

bool screen_utf8()
{
    return through_screen && screen.utf8;
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

// The sequences take one way out, with multiplexers or without: into the
// wrapping, or into a small store of their own (see above), until flush()
// writes what is gathered.

static void put(const char *p, size_t n)
{
    if (layer_count > 0) {
        wrap_feed(&frame.wrap, p, n);
        return;
    }
    memcpy(frame.wrap.out + frame.wrap.length, p, n);
    frame.wrap.length += n;
}

static void start_frame()
{
    put(start_sequence, sequence_length);
    frame_begins();
}

static void end_frame()
{
    if (!frame.open)
        return;
    char stop[2 * sequence_length];
    put(stop, stop_bytes(stop));
    frame.open = false;
}

// Ends the frame, if open, and the strings around it.
static void end_everything()
{
    end_frame();
    if (layer_count > 0)
        wrap_close(&frame.wrap);
}

// `closing`: see write_whole().
static bool flush(bool closing = true)
{
    size_t n = frame.wrap.length;
    frame.wrap.length = 0;
    return n == 0 || write_whole(frame.wrap.out, n, closing);
}

bool open_frame()
{
    if (failed)
        return false;
    if (layer_count > 0 || frame.open)
        return true; // with multiplexers, with the first data
    start_frame();
    return flush(false);
}

bool close_frame(bool for_good)
{
    if (gathering && !for_good)
        return true;
    if (for_good && screen.held != 0) {
        screen.held = 0; // a character the data never finished
        left_out++;
    }
    end_everything();
    return flush();
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
    end_everything();
    if (frame.wrap.length > 0)
        write_out(out_fd, frame.wrap.out, frame.wrap.length, true);
}

// Ends the frame just before the cut and opens the next one there; with
// multiplexers, the next one opens with the data after the cut.
static bool cut_frame()
{
    frame.cuts++;
    end_frame();
    if (layer_count > 0)
        return true;
    start_frame();
    return flush(false);
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
    end_everything();
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
                start_frame();
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
            end_everything();
            if (!flush())
                return false;
            break;
        }
    }
    return true;
}

// How the line between the program and the innermost layer treats the
// output now: the program does its processing itself, or nothing is
// processed, or the strings are sized for the most the line could add
// (an LF made CR LF, by a line as the terminals' default has it; on a
// terminal whose settings the program cannot reproduce, a TAB made eight
// spaces too).
static void find_line_output()
{
    long iflags;
    long here = output_processing_done_here(&iflags);
    translating = here > 0 && (here & OPOST) != 0;
    if (translating) {
        line.oflags = here;
        line.iflags = iflags;
    }
    if (here >= 0 || (raw_output != 0 && !output_is_terminal()))
        weigh_line_output(1, 1);
    else
        weigh_line_output(2, output_is_terminal() ? 8 : 1);
}

// Through screen: what screen cannot pass on unchanged is left out, and a
// lead byte that ended the last data goes with the byte after it.
static bool pass_through_screen(char **p, size_t *n)
{
    if (screen.held != 0 && *n > 0) {
        char pair[2] = {static_cast<char>(screen.held), **p};
        screen.held = 0;
        size_t kept = keep_for_screen(&screen, pair, 2, &left_out);
        ++*p;
        --*n;
        if (!wrap_bytes(pair, kept))
            return false;
    }
    *n = keep_for_screen(&screen, *p, *n, &left_out);
    return true;
}

static ssize_t print_wrapped(char *buf, size_t count)
{
    find_line_output();
    for (size_t at = 0; at < count;) {
        char *p = buf + at;
        size_t n = count - at;
        if (translating) {
            size_t used;
            n = translate_output(&line, p, n, translated, sizeof translated, &used);
            p = translated;
            at += used;
        } else {
            at = count;
        }
        if ((through_screen && !pass_through_screen(&p, &n)) || !wrap_bytes(p, n))
            return -1;
    }
    if (!gathering && !flush())
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
