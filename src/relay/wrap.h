#ifndef QUILLPASS_WRAP_H
#define QUILLPASS_WRAP_H

#include "print_settings.h"

#include <cstddef>

// Wrapping for the terminal multiplexers between the program and the
// terminal. Each passes the content of a DCS string (ESC P ... ESC \) on to
// the terminal it runs in; the wrapping is built from the outermost layer
// inwards, so what the program writes is unwrapped once by each layer.
//
// tmux: ESC P tmux; CONTENT ESC \, every ESC in CONTENT doubled. tmux drops
// a string whose content, "tmux;" included, passes 1048575 bytes. tmux 3.3
// keeps one ESC of each pair, but the pair is counted as written, two
// bytes, so that no tmux that counts what it received drops a string.
// screen: ESC P CONTENT ESC \, ESC as it is. screen drops a string of 768
// bytes or more, so longer content goes in several strings, never cut
// inside a UTF-8 character; an ESC followed by a backslash would end the
// string, so a string ends after such an ESC and the next one begins with
// the backslash (screen keeps one ESC of ESC ESC \).

constexpr size_t tmux_content_limit = 1048575;
constexpr size_t screen_content_limit = 767;

struct layer_string {
    bool open;
    bool after_esc;  // its content so far ends in ESC
    size_t content;  // content bytes, as the multiplexer counts them
};

struct wrapping {
    layer_string layer[max_layers];
    bool too_long;   // a tmux string has passed its limit
    char *out;       // the wrapped bytes, to be written
    size_t length;
};

// Where the line between the program and the innermost layer may still
// process the output, every string is sized for the most it can add: an
// LF counts `lf` bytes, a TAB `tab` (1 and 1: nothing added).
void weigh_line_output(unsigned lf, unsigned tab);

// Feeds n bytes of the frame to the outermost layer.
void wrap_feed(wrapping *w, const char *p, size_t n);
// Ends every open string, outermost first.
void wrap_close(wrapping *w);
// The most bytes that n bytes fed can become, their strings' ends included.
size_t wrap_bound(size_t n);

// The line's output processing, done by the program while the line's is
// off: `oflags` and `iflags` as the terminal's settings had them, and the
// column as the line would count it, from 0 at the job's start.
struct line_output {
    long oflags, iflags;
    unsigned column;
};
// Translates in[0, n) into out as the line would, writing at most `room`
// bytes (8 or more); returns the bytes written, and in *used the bytes of
// `in` translated.
size_t translate_output(line_output *line, const char *in, size_t n, char *out, size_t room, size_t *used);

// What a screen window passes on unchanged. Without UTF-8 every byte but
// NUL and 0x9C. In UTF-8 screen decodes the string, keeps the low byte of
// each character and re-encodes it for the display: only ASCII and
// U+0080 to U+00FF arrive as they were sent, and what it passes on is
// then what it was given (or the Latin-1 bytes for a display without
// UTF-8), so the outer layers are wrapped for those bytes.
struct screen_window {
    bool utf8;
    unsigned char held; // a lead byte that ended the data, or 0
};
// Leaves out, in place, what cannot pass and returns the bytes kept,
// adding the bytes left out to *left_out. A lead byte at the end is held:
// the caller passes it again with the byte that follows it, before the
// rest, or counts it as left out where the data ends.
size_t keep_for_screen(screen_window *w, char *p, size_t n, unsigned long *left_out);

#endif
