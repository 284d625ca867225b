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

// The same as a table, which the scan reads without a branch.
struct step_table {
    unsigned char next[4][256];
    constexpr step_table() : next()
    {
        for (int progress = 0; progress < 4; progress++)
            for (unsigned v = 0; v < 256; v++)
                next[progress][v] = step_of(progress, v);
    }
};
static constexpr step_table steps;

static int step(int progress, unsigned v)
{
    return steps.next[progress][v];
}

// Whether c, right after an ESC or a CSI in either reading, leaves both
// readings idle: ASCII that is neither skipped nor goes on with a match.
static bool ends_a_start(unsigned char c)
{
    return c < 0x80 && c != 0 && c != 0x11 && c != 0x13 && c != 0x1b && c != '[' && c != '4';
}

static bool continuation(unsigned char c)
{
    return (c & 0xc0) == 0x80;
}

// The continuation bytes a lead byte announces, read leniently (overlong
// forms and surrogates decode too); 0 for a byte that leads nothing.
static unsigned announced(unsigned char c)
{
    return c < 0xc0 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : c < 0xf8 ? 3 : 0;
}

// The low 8 bits of a character that ends in `end`, `last` before it.
static unsigned low_bits(unsigned char last, unsigned char end)
{
    return ((last & 3u) << 6) | (end & 0x3fu);
}

void reset_stop_scan(stop_scan *scan)
{
    *scan = stop_scan{};
}

// The byte k places (1 to 3) before buf[at], looking back past `from`.
static unsigned char byte_before(const stop_scan *scan, const unsigned char *buf, size_t from, size_t at, size_t k)
{
    return at - from >= k ? buf[at - k] : scan->before[3 - (k - (at - from))];
}

// The UTF-8 reading at a 0x9B byte that an idle scan jumped to: the byte
// ends, or continues, the character whose lead is up to three bytes back;
// or it belongs to none and reads as U+FFFD.
static void read_csi_byte(stop_scan *scan, const unsigned char *buf, size_t from, size_t at)
{
    for (size_t k = 1; k <= 3; k++) {
        unsigned char c = byte_before(scan, buf, from, at, k);
        if (continuation(c))
            continue;
        if (announced(c) < k)
            return;
        scan->pending = static_cast<unsigned char>(announced(c) - k);
        scan->last = 0x9b;
        scan->lead_seen = at - from >= k;
        scan->lead = at - k;
        if (scan->pending == 0)
            scan->text = static_cast<unsigned char>(step(0, low_bits(byte_before(scan, buf, from, at, 1), 0x9b)));
        return;
    }
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
        if (scan->bytes == 0 && scan->text == 0) {
            // Idle: in either reading only an ESC or a 0x9B byte can start
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
            scan->pending = 0;
            if (buf[at] == 0x1b) {
                scan->bytes = scan->text = 1;
            } else {
                scan->bytes = 2;
                read_csi_byte(scan, buf, from, at);
            }
            at++;
            continue;
        }
        unsigned char c = buf[at];
        int progress = step(scan->bytes, c);
        if (progress == 4)
            return at;
        scan->bytes = static_cast<unsigned char>(progress);
        if (scan->pending > 0) {
            if (continuation(c)) {
                if (--scan->pending == 0) {
                    progress = step(scan->text, low_bits(scan->last, c));
                    if (progress == 4)
                        return scan->lead_seen ? scan->lead : from;
                    scan->text = static_cast<unsigned char>(progress);
                }
                scan->last = c;
                at++;
                continue;
            }
            scan->pending = 0; // a broken character reads as U+FFFD
            scan->text = 0;
        }
        if (c < 0x80) {
            progress = step(scan->text, c);
            if (progress == 4)
                return at;
            scan->text = static_cast<unsigned char>(progress);
        } else if (announced(c) > 0) {
            scan->pending = static_cast<unsigned char>(announced(c));
            scan->last = c;
            scan->lead_seen = true;
            scan->lead = at;
        } else {
            scan->text = 0;
        }
        at++;
    }
    if (end_of_data && scan->pending > 0 && scan->text == 3 && scan->lead_seen)
        return scan->lead;
    size_t n = to - from;
    if (n >= 3) {
        memcpy(scan->before, buf + to - 3, 3);
    } else {
        memmove(scan->before, scan->before + n, 3 - n);
        memcpy(scan->before + 3 - n, buf + from, n);
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
