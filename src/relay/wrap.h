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
// a string whose content, "tmux;" included and a doubled ESC counted once,
// passes 1048575 bytes.
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

// Feeds n bytes of the frame to the outermost layer.
void wrap_feed(wrapping *w, const char *p, size_t n);
// Ends every open string, outermost first.
void wrap_close(wrapping *w);
// The most bytes that n bytes fed can become, their strings' ends included.
size_t wrap_bound(size_t n);

#endif
