#include "wrap.h"

#include <cstring>

static void feed(wrapping *w, int layer, const char *p, size_t n);

// What layer `layer` writes goes to the layer inside it, or out.
static void pass_in(wrapping *w, int layer, const char *p, size_t n)
{
    if (n == 0)
        return;
    if (layer > 0) {
        feed(w, layer - 1, p, n);
        return;
    }
    memcpy(w->out + w->length, p, n);
    w->length += n;
}

static void tmux_feed(wrapping *w, int layer, const char *p, size_t n)
{
    layer_string &s = w->layer[layer];
    if (!s.open) {
        pass_in(w, layer, "\033Ptmux;", 7);
        s.open = true;
        s.content = 5;
    }
    while (n > 0) {
        const char *esc = static_cast<const char *>(memchr(p, '\033', n));
        size_t run = esc != nullptr ? static_cast<size_t>(esc - p) : n;
        pass_in(w, layer, p, run);
        s.content += run;
        if (esc == nullptr)
            break;
        pass_in(w, layer, "\033\033", 2);
        s.content++;
        p += run + 1;
        n -= run + 1;
    }
    if (s.content > tmux_content_limit)
        w->too_long = true;
}

// The bytes of the UTF-8 character that c leads, read leniently; 1 for
// any other byte.
static size_t utf8_length(unsigned char c)
{
    return c < 0xc0 || c >= 0xf8 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
}

static void end_string(wrapping *w, int layer)
{
    pass_in(w, layer, "\033\\", 2);
    w->layer[layer].open = false;
}

static void screen_feed(wrapping *w, int layer, const char *p, size_t n)
{
    layer_string &s = w->layer[layer];
    size_t run = 0; // bytes before p[k] not passed on yet
    for (size_t k = 0; k < n; k++) {
        unsigned char c = static_cast<unsigned char>(p[k]);
        if (s.open && (s.content + utf8_length(c) > screen_content_limit || (c == '\\' && s.after_esc))) {
            pass_in(w, layer, p + k - run, run);
            run = 0;
            end_string(w, layer);
        }
        if (!s.open) {
            pass_in(w, layer, "\033P", 2);
            s.open = true;
            s.content = 0;
        }
        run++;
        s.content++;
        s.after_esc = c == 0x1b;
    }
    pass_in(w, layer, p + n - run, run);
}

static void feed(wrapping *w, int layer, const char *p, size_t n)
{
    if (layers[layer] == tmux_layer)
        tmux_feed(w, layer, p, n);
    else
        screen_feed(w, layer, p, n);
}

void wrap_feed(wrapping *w, const char *p, size_t n)
{
    feed(w, layer_count - 1, p, n);
}

void wrap_close(wrapping *w)
{
    for (int layer = layer_count - 1; layer >= 0; layer--)
        if (w->layer[layer].open)
            end_string(w, layer);
}

size_t wrap_bound(size_t n)
{
    // A tmux string doubles every ESC; through screen, a backslash after an
    // ESC costs a string of its own: at worst three bytes a byte.
    for (int layer = layer_count - 1; layer >= 0; layer--)
        n = layers[layer] == tmux_layer ? 2 * n + 9 : 3 * n + 8;
    return n;
}
