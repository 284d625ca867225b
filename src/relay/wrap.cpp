#include "wrap.h"

#include "utf8.h"

#include <cstring>
#include <termios.h>

static unsigned lf_weight = 1, tab_weight = 1;

void weigh_line_output(unsigned lf, unsigned tab)
{
    lf_weight = lf;
    tab_weight = tab;
}

// The bytes n bytes of data become on the line, as the strings count them.
static size_t weighed(const char *p, size_t n)
{
    size_t size = n;
    if (lf_weight > 1)
        for (const char *q = p; (q = static_cast<const char *>(memchr(q, '\n', n - static_cast<size_t>(q - p)))) != nullptr; q++)
            size += lf_weight - 1;
    if (tab_weight > 1)
        for (const char *q = p; (q = static_cast<const char *>(memchr(q, '\t', n - static_cast<size_t>(q - p)))) != nullptr; q++)
            size += tab_weight - 1;
    return size;
}

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
        s.content += weighed(p, run);
        if (esc == nullptr)
            break;
        pass_in(w, layer, "\033\033", 2);
        s.content += 2;
        p += run + 1;
        n -= run + 1;
    }
    if (s.content > tmux_content_limit)
        w->too_long = true;
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
        size_t size = c == '\n' ? lf_weight : c == '\t' ? tab_weight : 1;
        if (s.open && (s.content + (size > 1 ? size : 1 + utf8_continuations(c)) > screen_content_limit || (c == '\\' && s.after_esc))) {
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
        s.content += size;
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

// The column as the line counts it: control characters take none, nor
// (Linux, with IUTF8) the continuation bytes of UTF-8.
static bool takes_a_column(const line_output *line, unsigned char c)
{
#ifdef __linux__
    if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0))
        return false;
    return (line->iflags & IUTF8) == 0 || (c & 0xc0) != 0x80;
#else
    (void)line;
    return c >= 0x20 && c != 0x7f;
#endif
}

size_t translate_output(line_output *line, const char *in, size_t n, char *out, size_t room, size_t *used)
{
    const long o = line->oflags;
    size_t i = 0, k = 0;
    for (; i < n && k + 8 <= room; i++) {
        char c = in[i];
        switch (c) {
        case '\n':
            if ((o & ONLCR) != 0)
                out[k++] = '\r';
            out[k++] = '\n';
            if ((o & (ONLCR | ONLRET)) != 0)
                line->column = 0;
            continue;
        case '\r':
            if ((o & ONOCR) != 0 && line->column == 0)
                continue;
            if ((o & OCRNL) != 0) {
                out[k++] = '\n';
#ifdef __linux__
                if ((o & ONLRET) == 0)
                    continue;
#endif
            } else {
                out[k++] = '\r';
            }
            line->column = 0;
            continue;
        case '\t': {
            unsigned spaces = 8 - (line->column & 7);
            line->column += spaces;
            if ((o & TABDLY) == TAB3) {
                memset(out + k, ' ', spaces);
                k += spaces;
            } else {
                out[k++] = c;
            }
            continue;
        }
        case '\b':
            if (line->column > 0)
                line->column--;
            out[k++] = c;
            continue;
#ifdef ONOEOT
        case '\004':
            if ((o & ONOEOT) == 0)
                out[k++] = c;
            continue;
#endif
        default: {
            unsigned char u = static_cast<unsigned char>(c);
#ifdef OLCUC
            // Linux's own case table: Latin-1 lower case too, y-diaeresis and sharp s included.
            if ((o & OLCUC) != 0 && ((u >= 'a' && u <= 'z') || (u >= 0xdf && u != 0xf7)))
                c = static_cast<char>(u - 0x20);
#endif
            out[k++] = c;
            if (takes_a_column(line, u))
                line->column++;
        }
        }
    }
    *used = i;
    return k;
}

size_t keep_for_screen(screen_window *w, char *p, size_t n, unsigned long *left_out)
{
    size_t kept = 0, i = 0;
    for (; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == 0 || (c == 0x9c && !w->utf8)) {
            ++*left_out;
        } else if (c < 0x80 || !w->utf8) {
            p[kept++] = static_cast<char>(c);
        } else if (c == 0xc2 || c == 0xc3) {
            if (i + 1 == n) {
                w->held = c;
                break;
            }
            unsigned char d = static_cast<unsigned char>(p[i + 1]);
            if ((d & 0xc0) != 0x80) {
                ++*left_out;
            } else if (c == 0xc2 && d == 0x9c) {
                *left_out += 2;
                i++;
            } else {
                p[kept++] = static_cast<char>(c);
                p[kept++] = static_cast<char>(d);
                i++;
            }
        } else {
            ++*left_out; // beyond U+00FF, or not UTF-8
        }
    }
    return kept;
}
