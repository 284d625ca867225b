#include "stop_scan.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// One step of a reading through a stop sequence: its progress after the
// value v, or 4 where v completes a match.
static constexpr unsigned char step_of(int progress, unsigned v)
{
    switch (v) {
    case 0x00: // NUL, DC1 and DC3 are skipped
    case 0x11:
    case 0x13:
        return static_cast<unsigned char>(progress);
    case 0x1b:
        return 1;
    case 0x9b:
        return 2;
    case '[':
        return progress == 1 ? 2 : 0;
    case '4':
        return progress == 2 ? 3 : 0;
    case 'i':
        return progress == 3 ? 4 : 0;
    default:
        return 0;
    }
}

// A match completed, in any reading.
constexpr unsigned char matched = 16;

// The UTF-8 reading keeps the set of progress values it may be at, bit p
// for progress p; progress 0 is always possible and not kept. A character
// below U+0080 is always seen; one from U+0080 up (`may_skip`) may be
// skipped where a match is under way, or seen by its low 8 bits `v`.
static constexpr unsigned char text_step_of(unsigned char set, unsigned v, bool may_skip)
{
    unsigned next = may_skip ? set : 0;
    for (int progress = 0; progress < 4; progress++)
        if (progress == 0 || (set >> progress & 1))
            next |= 1u << step_of(progress, v);
    return static_cast<unsigned char>(next & 0x1e);
}

// The readings as tables, which the scan reads without a branch: the byte
// and 7-bit readings together, 4 * bytes + bits7; the UTF-8 reading for a
// character below U+0080 and for one from U+0080 up.
struct step_tables {
    unsigned char raw[16][256];
    unsigned char ascii[16][128];
    unsigned char high[16][256];
    constexpr step_tables() : raw(), ascii(), high()
    {
        for (int state = 0; state < 16; state++) {
            for (unsigned v = 0; v < 256; v++) {
                unsigned char bytes = step_of(state >> 2, v), bits7 = step_of(state & 3, v & 0x7f);
                raw[state][v] = bytes == 4 || bits7 == 4 ? matched : static_cast<unsigned char>(4 * bytes + bits7);
                high[state][v] = text_step_of(static_cast<unsigned char>(state & 0xe), v, true);
                if (v < 128)
                    ascii[state][v] = text_step_of(static_cast<unsigned char>(state & 0xe), v, false);
            }
        }
    }
};
static constexpr step_tables steps;

static bool continuation(unsigned char c)
{
    return (c & 0xc0) == 0x80;
}

// The continuation bytes a lead byte announces, read leniently (overlong
// forms, surrogates and values past U+10FFFF decode too, and five- and
// six-byte forms count); 0 for a byte that leads nothing.
static unsigned announced(unsigned char c)
{
    return c < 0xc0 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : c < 0xf8 ? 3 : c < 0xfc ? 4 : c < 0xfe ? 5 : 0;
}

// The low 8 bits of a character that ends in `end`, `last` before it.
static unsigned low_bits(unsigned char last, unsigned char end)
{
    return ((last & 3u) << 6) | (end & 0x3fu);
}

// Whether c, right after an ESC or a 0x9B that starts a match, leaves every
// reading idle: ASCII that is neither skipped nor goes on with a match.
static bool ends_a_start(unsigned char c)
{
    return c < 0x80 && c != 0 && c != 0x11 && c != 0x13 && c != 0x1b && c != '[' && c != '4';
}

void reset_stop_scan(stop_scan *scan)
{
    *scan = stop_scan{};
}

// The byte k places (1 to 5) before buf[at], looking back past `from`.
static unsigned char byte_before(const stop_scan *scan, const unsigned char *buf, size_t from, size_t at, size_t k)
{
    return at - from >= k ? buf[at - k] : scan->before[5 - (k - (at - from))];
}

// The UTF-8 reading at a 0x9B byte that an idle scan jumped to: the byte
// ends, or continues, the character whose lead is up to five bytes back;
// or it belongs to none and reads as itself (CSI) or as U+FFFD.
static void read_csi_byte(stop_scan *scan, const unsigned char *buf, size_t from, size_t at)
{
    scan->pending = 0;
    for (size_t k = 1; k <= 5; k++) {
        unsigned char c = byte_before(scan, buf, from, at, k);
        if (continuation(c))
            continue;
        if (announced(c) < k)
            break;
        scan->pending = static_cast<unsigned char>(announced(c) - k);
        scan->last = 0x9b;
        scan->lead_seen = at - from >= k;
        scan->lead = at - k;
        if (scan->pending == 0)
            scan->text = steps.high[0][low_bits(byte_before(scan, buf, from, at, 1), 0x9b)];
        return;
    }
    scan->text = steps.high[0][0x9b];
}

// The first byte in [at, to) that is ESC or 0x9B, which differ in bit 7
// alone, or `to`. With SSE2 (every x86-64), 64 bytes at a time.
static size_t find_escape(const unsigned char *buf, size_t at, size_t to)
{
#if defined(__SSE2__)
    const __m128i low7 = _mm_set1_epi8(0x7f), esc = _mm_set1_epi8(0x1b);
    auto compare = [&](size_t i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + i));
        return _mm_cmpeq_epi8(_mm_and_si128(v, low7), esc);
    };
    auto hits = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(compare(i)))); };
    for (; to - at >= 64; at += 64) {
        __m128i any = _mm_or_si128(_mm_or_si128(compare(at), compare(at + 16)), _mm_or_si128(compare(at + 32), compare(at + 48)));
        if (_mm_movemask_epi8(any) != 0) {
            uint64_t found = hits(at) | hits(at + 16) << 16 | hits(at + 32) << 32 | hits(at + 48) << 48;
            return at + static_cast<size_t>(__builtin_ctzll(found));
        }
    }
    for (; to - at >= 16; at += 16)
        if (uint64_t found = hits(at))
            return at + static_cast<size_t>(__builtin_ctzll(found));
#endif
    for (; at < to; at++)
        if ((buf[at] & 0x7f) == 0x1b)
            break;
    return at;
}

static inline size_t scan_to_cut(stop_scan *scan, const unsigned char *buf, size_t from, size_t to, bool end_of_data)
{
    size_t at = from;
    scan->lead_seen = false;
    while (at < to) {
        if (scan->raw == 0 && scan->text == 0) {
            // Idle: in every reading only an ESC or a 0x9B byte can start
            // a match (a character whose low bits are ESC or CSI ends in
            // 0x9B, and the UTF-8 reading is taken up again there), so the
            // scan jumps to the next of them.
            at = find_escape(buf, at, to);
            if (at == to)
                break;
            // Most often the next byte ends whatever the ESC or CSI began.
            if (at + 1 < to && ends_a_start(buf[at + 1])) {
                at += 2;
                continue;
            }
            scan->raw = steps.raw[0][buf[at]];
            if (buf[at] == 0x1b) {
                scan->pending = 0;
                scan->text = steps.ascii[0][0x1b];
            } else {
                read_csi_byte(scan, buf, from, at);
            }
            at++;
            continue;
        }
        unsigned char c = buf[at];
        unsigned char next = steps.raw[scan->raw][c];
        if (next == matched)
            return at;
        scan->raw = next;
        if (scan->pending > 0) {
            if (continuation(c)) {
                if (--scan->pending == 0) {
                    next = steps.high[scan->text][low_bits(scan->last, c)];
                    if (next & matched)
                        return scan->lead_seen ? scan->lead : from;
                    scan->text = next;
                }
                scan->last = c;
                at++;
                continue;
            }
            // A broken character reads as U+FFFD, which may be skipped:
            // the set stays as it is.
            scan->pending = 0;
        }
        if (c < 0x80) {
            next = steps.ascii[scan->text][c];
            if (next & matched)
                return at;
            scan->text = next;
        } else if (announced(c) > 0) {
            scan->pending = static_cast<unsigned char>(announced(c));
            scan->last = c;
            scan->lead_seen = true;
            scan->lead = at;
        } else {
            scan->text = steps.high[scan->text][c]; // a byte that belongs to no character
        }
        at++;
    }
    if (end_of_data && scan->pending > 0 && (scan->text & 8) && scan->lead_seen)
        return scan->lead;
    size_t n = to - from;
    if (n >= 5) {
        memcpy(scan->before, buf + to - 5, 5);
    } else {
        memmove(scan->before, scan->before + n, 5 - n);
        memcpy(scan->before + 5 - n, buf + from, n);
    }
    return to;
}

size_t next_cut(stop_scan *scan, const char *data, size_t from, size_t to, bool end_of_data)
{
    // On a copy, which the compiler may keep in registers: the data could
    // alias the scan itself.
    stop_scan copy = *scan;
    size_t cut = scan_to_cut(&copy, reinterpret_cast<const unsigned char *>(data), from, to, end_of_data);
    *scan = copy;
    return cut;
}

unsigned char stop_prefix_after(unsigned char prefix, const char *buf, size_t count)
{
    if (count > 0) {
        unsigned char end = static_cast<unsigned char>(buf[count - 1]);
        if (end != 0x1b && end != '[' && end != '4')
            return 0; // most often
    }
    size_t at = 0;
    if (count > 3) {
        at = count - 3;
        prefix = 0;
    }
    for (; at < count; at++) {
        unsigned char c = static_cast<unsigned char>(buf[at]);
        prefix = c == 0x1b ? 1 : prefix == 1 && c == '[' ? 2 : prefix == 2 && c == '4' ? 3 : 0;
    }
    return prefix;
}
