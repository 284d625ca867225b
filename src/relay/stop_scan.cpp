#include "stop_scan.h"

#include "utf8.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define HAVE_AVX2_PATH 1
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

// xterm's UTF-8 reading keeps the set of progress values it may be at,
// bit p for progress p; progress 0 is always possible and not kept. A
// character below U+0080 is always seen; one from U+0080 up may be skipped,
// or seen, and then it starts a match again where its low 8 bits are ESC
// or CSI and ends the match under way otherwise.
static constexpr unsigned char text_step_of(unsigned char set, unsigned v)
{
    unsigned next = 0;
    for (int progress = 0; progress < 4; progress++)
        if (progress == 0 || (set >> progress & 1))
            next |= 1u << step_of(progress, v);
    return static_cast<unsigned char>(next & 0x1e);
}

static unsigned char text_high(unsigned char set, unsigned low)
{
    return static_cast<unsigned char>(set | (low == 0x1b ? 2 : low == 0x9b ? 4 : 0));
}

// The readings as tables, which the scan reads without a branch: the byte
// and 7-bit readings together, 4 * bytes + bits7; xterm's UTF-8 reading for
// a character below U+0080; screen's, of low 8 bits.
struct step_tables {
    unsigned char raw[16][256];
    unsigned char ascii[16][128];
    unsigned char screen[4][256];
    constexpr step_tables() : raw(), ascii(), screen()
    {
        for (int state = 0; state < 16; state++) {
            for (unsigned v = 0; v < 256; v++) {
                unsigned char bytes = step_of(state >> 2, v), bits7 = step_of(state & 3, v & 0x7f);
                raw[state][v] = bytes == 4 || bits7 == 4 ? matched : static_cast<unsigned char>(4 * bytes + bits7);
                if (v < 128)
                    ascii[state][v] = text_step_of(static_cast<unsigned char>(state & 0xe), v);
                if (state < 4)
                    screen[state][v] = step_of(state, v);
            }
        }
    }
};
static constexpr step_tables steps;

static bool continuation(unsigned char c)
{
    return (c & 0xc0) == 0x80;
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

// The byte k places (1 to 5) before buf[at], looking back past `from`.
static unsigned char byte_before(const stop_scan *scan, const unsigned char *buf, size_t from, size_t at, size_t k)
{
    return at - from >= k ? buf[at - k] : scan->before[5 - (k - (at - from))];
}

// Sets the UTF-8 decoder as it stands just before buf[at], from the bytes
// before it: the character in progress has its lead at most five bytes
// back, behind nothing but continuation bytes. The scan does not follow
// the decoder while it searches, and takes it up here.
static inline void resync(stop_scan *scan, const unsigned char *buf, size_t from, size_t at)
{
    scan->pending = 0;
    for (size_t k = 1; k <= 5; k++) {
        unsigned char c = byte_before(scan, buf, from, at, k);
        if (continuation(c))
            continue;
        if (utf8_continuations(c) >= k) {
            scan->pending = static_cast<unsigned char>(utf8_continuations(c) - (k - 1));
            scan->last = byte_before(scan, buf, from, at, 1);
            scan->lead_seen = at - from >= k;
            scan->lead = at - k;
        }
        return;
    }
}

constexpr size_t no_cut = SIZE_MAX;

// Reads one byte in every reading; returns where to cut, or no_cut.
static inline size_t read_byte(stop_scan *scan, const unsigned char *buf, size_t from, size_t at)
{
    unsigned char c = buf[at];
    unsigned char next = steps.raw[scan->raw][c];
    if (next == matched)
        return at;
    scan->raw = next;
    if (scan->pending > 0) {
        if (continuation(c)) {
            if (--scan->pending == 0) {
                unsigned low = low_bits(scan->last, c);
                next = steps.screen[scan->screen][low];
                if (next == 4)
                    return scan->lead_seen ? scan->lead : from;
                scan->screen = next;
                scan->text = text_high(scan->text, low);
            }
            scan->last = c;
            return no_cut;
        }
        // A broken character reads as U+FFFD, which xterm may skip, and
        // which screen passes on as 0xFD.
        scan->pending = 0;
        scan->screen = 0;
    }
    if (c < 0x80) {
        next = steps.ascii[scan->text][c];
        if (next & matched)
            return at;
        scan->text = next;
        next = steps.screen[scan->screen][c];
        if (next == 4)
            return at;
        scan->screen = next;
    } else if (utf8_continuations(c) > 0) {
        scan->pending = static_cast<unsigned char>(utf8_continuations(c));
        scan->last = c;
        scan->lead_seen = true;
        scan->lead = at;
    } else {
        // A byte that belongs to no character, read as the character of
        // that code (0x9B as CSI).
        scan->text = text_high(scan->text, c);
        scan->screen = steps.screen[scan->screen][c];
    }
    return no_cut;
}

// Where the data ends: a character not complete yet that could complete a
// match is cut before, with end_of_data; the last bytes are kept for the
// next range.
static size_t finish(stop_scan *scan, const unsigned char *buf, size_t from, size_t to, bool end_of_data)
{
    if (end_of_data && scan->screen == 3) {
        resync(scan, buf, from, to);
        if (scan->pending > 0 && scan->lead_seen)
            return scan->lead;
    }
    size_t n = to - from;
    if (n >= 5) {
        memcpy(scan->before, buf + to - 5, 5);
    } else {
        memmove(scan->before, scan->before + n, 5 - n);
        memcpy(scan->before + 5 - n, buf + from, n);
    }
    return to;
}

// Most ESC and 0x9B bytes start nothing: after them every reading is idle,
// or in the state a search sets up at the next ESC or 0x9B. Such a dead
// candidate is skipped without reading it. What the bytes around it are:
enum : unsigned char {
    goes_on = 1,   // NUL, DC1, DC3, '[', '4', or one of them in 7 bits (0x80, 0x91, 0x93, 0xDB)
    ascii = 2,
    csi = 4,       // 0x9B
    low_zero = 8,  // may lead or go on with a character whose low bits are 0 (0x80-0xFD, bits 0-1 clear)
    lead_3 = 16,   // leads a character of three or more bytes (0xE0-0xFD)
    odd_2 = 32,    // leads a two-byte character, bit 0 set (0xC1-0xDF)
    cont_odd = 64, // a continuation byte, bit 0 set
    lead_4 = 128,  // leads a character of four or more bytes (0xF0-0xFD)
};
struct class_table {
    unsigned char of[256];
    constexpr class_table() : of()
    {
        for (unsigned c = 0; c < 256; c++) {
            unsigned v = c & 0x7f;
            bool odd = c & 1;
            of[c] = static_cast<unsigned char>(((v == 0 || v == 0x11 || v == 0x13 || v == '[' || c == '4') ? goes_on : 0) |
                                               (c < 0x80 ? ascii : 0) | (c == 0x9b ? csi : 0) |
                                               (c >= 0x80 && c < 0xfe && (c & 3) == 0 ? low_zero : 0) |
                                               (c >= 0xe0 && c < 0xfe ? lead_3 : 0) | (c >= 0xc0 && c < 0xe0 && odd ? odd_2 : 0) |
                                               (c >= 0x80 && c < 0xc0 && odd ? cont_odd : 0) | (c >= 0xf0 && c < 0xfe ? lead_4 : 0));
        }
    }
};
static constexpr class_table classes;

// The rules of `dead` for a 0x9B candidate as a table: of the byte before
// it, whether it leads a character of three bytes or more or a two-byte one
// with bit 0 set, is a continuation byte with bit 0 set, is a continuation
// byte, may have low bits 0 (key bits 0 to 3); of the byte before that,
// whether it leads a character of three or of four bytes or more (bits 4
// and 5); of the byte after it, whether it is 0x9B, goes on (bits 6 and 7);
// bit 8 set for a 0x9B candidate (the rules hold for it alone).
struct csi_rule_table {
    unsigned char key[256];
    unsigned char dead[512];
    constexpr csi_rule_table() : key(), dead()
    {
        for (unsigned c = 0; c < 256; c++) {
            unsigned of = classes.of[c];
            key[c] = static_cast<unsigned char>(((of & (lead_3 | odd_2)) ? 1 : 0) | ((of & cont_odd) ? 2 : 0) | ((c & 0xc0) == 0x80 ? 4 : 0) |
                                                ((of & low_zero) ? 8 : 0) | ((of & lead_3) ? 16 : 0) | ((of & lead_4) ? 32 : 0) |
                                                ((of & csi) ? 64 : 0) | ((of & goes_on) ? 128 : 0));
        }
        for (unsigned k = 0; k < 256; k++) {
            bool plain = (k & 1) || ((k & 2) && (k & 16)) || ((k & 4) && (k & 32));
            dead[256 + k] = ((k & 64) && !(k & 8)) || (plain && !(k & 128));
        }
    }
};
static constexpr csi_rule_table csi_rules;

// Whether the 0xB4 at buf[at] may read as '4': it ends a character worth
// '4' only after a byte with its low two bits clear, and is '4' in the
// 7-bit reading only where that reading may be two bytes into a match,
// after '[' or a skipped byte in 7 bits. Any other 0xB4 leaves every
// reading as any other byte from 0x80 up does.
static inline bool may_be_four(const unsigned char *buf, size_t at)
{
    return buf[at] == 0xb4 && ((buf[at - 1] & 3) == 0 || (classes.of[buf[at - 1]] & goes_on));
}

// Whether the first ASCII byte after buf[at] stops every reading (it is
// neither skipped nor goes on) with no 0xB4 that may read as '4' before
// it: no reading can be a byte from a match on the way there, so there
// every reading is idle, or starts afresh at an ESC. Not looked for past
// 64 bytes.
static inline bool stops_after(const unsigned char *buf, size_t at, size_t to)
{
    size_t end = to - at > 64 ? at + 64 : to; // as far as the AVX2 search reads
    for (size_t j = at + 1; j < end; j++) {
        if (buf[j] < 0x80)
            return !(classes.of[buf[j]] & goes_on);
        if (may_be_four(buf, j))
            return false;
    }
    return false;
}

// Whether the candidate buf[at] is dead, b1 and b2 the two bytes before it:
// - the first ASCII byte after it stops every reading, as above, or comes
//   right after one of NUL, DC1, DC3 and '[' that follows it;
// - c1, the byte after it, and the candidate are 0x9B, and the candidate
//   cannot end a character worth ESC: the state after c1 is the one a
//   search sets up there;
// - the candidate is a 0x9B inside a character, or ends one whose low bits
//   are '[' or 0xDB (as the bytes before it show), and c1 does not go on:
//   every reading is idle after c1, or as a search sets it up at c1.
static inline bool dead(const unsigned char *buf, size_t at, size_t to, unsigned char b1, unsigned char b2)
{
    if (to - at < 2)
        return false;
    unsigned c1 = classes.of[buf[at + 1]];
    if ((c1 & (ascii | goes_on)) == ascii)
        return true;
    if (buf[at] == 0x9b) {
        unsigned before = classes.of[b1], earlier = classes.of[b2];
        if ((c1 & csi) && !(before & low_zero))
            return true;
        bool plain = (before & (lead_3 | odd_2)) || ((before & cont_odd) && (earlier & lead_3)) ||
                     ((b1 & 0xc0) == 0x80 && (earlier & lead_4));
        if (plain && !(c1 & goes_on))
            return true;
    }
    if ((c1 & (ascii | goes_on)) == (ascii | goes_on))
        return buf[at + 1] != '4' && stops_after(buf, at + 1, to);
    return stops_after(buf, at, to);
}

// The byte k places before buf[at], past `from` in `before`.
static inline unsigned char earlier_byte(const unsigned char *buf, size_t from, const unsigned char *before, size_t at, size_t k)
{
    return at - from >= k ? buf[at - k] : before[5 - (k - (at - from))];
}

static inline bool dead_at(const unsigned char *buf, size_t from, const unsigned char *before, size_t at, size_t to)
{
    return dead(buf, at, to, earlier_byte(buf, from, before, at, 1), earlier_byte(buf, from, before, at, 2));
}

// The bytes that change xterm's UTF-8 reading alone while it is under way
// and the others are idle: ASCII, and 0x9B, which may end a character
// worth ESC or CSI.
static inline bool turns(unsigned char c)
{
    return c < 0x80 || c == 0x9b;
}

// The searches, in plain C: the next live candidate in [at, to) (or `to`);
// the next byte that turns the UTF-8 reading.
static inline size_t find_live_plain(const unsigned char *buf, size_t from, const unsigned char *before, size_t at, size_t to)
{
    for (; at < to; at++)
        if ((buf[at] & 0x7f) == 0x1b && !dead_at(buf, from, before, at, to))
            break;
    return at;
}

static inline size_t find_turn_plain(const unsigned char *buf, size_t at, size_t to)
{
    while (at < to && !turns(buf[at]))
        at++;
    return at;
}

#if defined(__SSE2__)
// With SSE2 (every x86-64): candidates 16 bytes at a time, tested one by one.
static inline unsigned candidates16(const unsigned char *p)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(0x7f)), _mm_set1_epi8(0x1b))));
}

static inline size_t find_live_sse2(const unsigned char *buf, size_t from, const unsigned char *before, size_t at, size_t to)
{
    for (; to - at >= 16; at += 16) {
        for (unsigned found = candidates16(buf + at); found != 0; found &= found - 1) {
            size_t i = at + static_cast<size_t>(__builtin_ctz(found));
            if (!dead_at(buf, from, before, i, to))
                return i;
        }
    }
    // The last bytes: their block overlaps what was read, and mostly holds
    // no candidate at all.
    if (at < to && to >= 16 && (candidates16(buf + to - 16) >> (16 - (to - at))) == 0)
        return to;
    return find_live_plain(buf, from, before, at, to);
}

static inline size_t find_turn_sse2(const unsigned char *buf, size_t at, size_t to)
{
    for (; to - at >= 16; at += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + at));
        unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0x9b))))) |
                         (~static_cast<unsigned>(_mm_movemask_epi8(v)) & 0xffff);
        if (found != 0)
            return at + static_cast<size_t>(__builtin_ctz(found));
    }
    return find_turn_plain(buf, at, to);
}
#endif

#if defined(HAVE_AVX2_PATH)
#define AVX2 __attribute__((target("avx2,popcnt"), always_inline))

AVX2 static inline __m256i load32(const unsigned char *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

AVX2 static inline unsigned mask32(__m256i v)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(v));
}

AVX2 static inline unsigned equal32(__m256i v, int c)
{
    return mask32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(c))));
}

// The bytes of v from lo to hi (both from 0x80 up).
AVX2 static inline unsigned within32(__m256i v, int lo, int hi)
{
    // Compared as signed bytes, 0x80 the least.
    unsigned below = mask32(_mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), v)) & mask32(v);
    return lo == 0x80 ? below : below & mask32(_mm256_cmpgt_epi8(v, _mm256_set1_epi8(static_cast<char>(lo - 1))));
}

AVX2 static inline unsigned candidates32(const unsigned char *p)
{
    return mask32(_mm256_cmpeq_epi8(_mm256_and_si256(load32(p), _mm256_set1_epi8(0x7f)), _mm256_set1_epi8(0x1b)));
}

// The bytes of v that go on with a match (NUL, DC1, DC3, '[', '4' and the
// first four with bit 7 set): a bit from a table for each nibble.
AVX2 static inline unsigned going_on32(__m256i v)
{
    const __m256i high = _mm256_setr_epi8(1, 2, 0, 8, 0, 4, 0, 0, 1, 2, 0, 0, 0, 4, 0, 0, 1, 2, 0, 8, 0, 4, 0, 0, 1, 2, 0, 0, 0, 4, 0, 0);
    const __m256i low = _mm256_setr_epi8(1, 2, 0, 2, 8, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 1, 2, 0, 2, 8, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    __m256i h = _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    __m256i l = _mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble));
    return ~mask32(_mm256_cmpeq_epi8(_mm256_and_si256(h, l), _mm256_setzero_si256()));
}

// The 0xB4 bytes among the 32 at p that may read as '4' (as `may_be_four`
// says, from the byte before each): a bit from a table for each nibble of
// that byte, for low bits 0; NUL, DC1 and DC3 in 7 bits; '[' in 7 bits.
AVX2 static inline unsigned fours32(const unsigned char *p, __m256i v)
{
    const __m256i high = _mm256_setr_epi8(1, 3, 1, 1, 1, 5, 1, 1, 1, 3, 1, 1, 1, 5, 1, 1, 1, 3, 1, 1, 1, 5, 1, 1, 1, 3, 1, 1, 1, 5, 1, 1);
    const __m256i low = _mm256_setr_epi8(1, 2, 0, 2, 1, 0, 0, 0, 1, 0, 0, 4, 1, 0, 0, 0, 1, 2, 0, 2, 1, 0, 0, 0, 1, 0, 0, 4, 1, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    __m256i before = load32(p - 1);
    __m256i h = _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(before, 4), nibble));
    __m256i l = _mm256_shuffle_epi8(low, _mm256_and_si256(before, nibble));
    return equal32(v, 0xb4) & ~mask32(_mm256_cmpeq_epi8(_mm256_and_si256(h, l), _mm256_setzero_si256()));
}

// The bytes among the 32 at p that stop every reading: ASCII bytes that do
// not go on with a match.
AVX2 static inline unsigned stopped32(const unsigned char *p)
{
    __m256i v = load32(p);
    return ~mask32(v) & ~going_on32(v);
}

// Of the 0x9B candidates `csi0` at p, c1 `c1`, those dead by the rules for
// 0x9B: the one where c1 is 0x9B too, and with `plain`, the other.
AVX2 static inline unsigned dead_csi32(const unsigned char *p, unsigned csi0, __m256i c1, unsigned on1, bool plain)
{
    __m256i b1 = load32(p - 1);
    unsigned odd1 = mask32(_mm256_slli_epi16(b1, 7));
    unsigned low_zero1 = within32(b1, 0x80, 0xfd) & ~mask32(_mm256_slli_epi16(b1, 6)) & ~odd1;
    unsigned dead = csi0 & equal32(c1, 0x9b) & ~low_zero1;
    if (!plain)
        return dead;
    __m256i b2 = load32(p - 2);
    unsigned inside = within32(b1, 0xe0, 0xfd) | (within32(b1, 0xc0, 0xdf) & odd1) |
                      (within32(b1, 0x80, 0xbf) & ((within32(b2, 0xe0, 0xef) & odd1) | within32(b2, 0xf0, 0xfd)));
    return dead | (csi0 & inside & ~on1);
}

// The positions at p from which the next ASCII byte stops every reading
// with no 0xB4 that may read as '4' before it, within the 64 bytes at p,
// shifted by one (so for the candidates themselves), or by two after NUL,
// DC1, DC3 or '['.
AVX2 static inline unsigned dead_ahead32(const unsigned char *p, __m256i c0)
{
    __m256i ahead = load32(p + 32);
    uint64_t ascii = ~(mask32(c0) | static_cast<uint64_t>(mask32(ahead)) << 32);
    uint64_t on = going_on32(c0) | static_cast<uint64_t>(going_on32(ahead)) << 32;
    uint64_t four = fours32(p, c0) | static_cast<uint64_t>(fours32(p + 32, ahead)) << 32;
    // The bytes that stop every reading, and those that lead on to them
    // (any other byte from 0x80 up).
    uint64_t stops = ascii & ~on, through = ~ascii & ~four;
    for (int n = 1; n < 64; n *= 2) {
        stops |= through & (stops >> n);
        through &= through >> n;
    }
    uint64_t first_on = ascii & on & ~(equal32(c0, '4') | static_cast<uint64_t>(equal32(ahead, '4')) << 32);
    return static_cast<unsigned>((stops >> 1) | ((first_on >> 1) & (stops >> 2)));
}

// The live candidates among `found` in the 32 bytes at p (two bytes before
// p in the range, and 64 bytes from p): the rules of `dead` for 32
// candidates at once, reading ahead as far as the 64 bytes go. Where
// candidates are many (every byte ESC or 0x9B, say), the rules are tried
// cheapest first and the rest skipped once every candidate is dead; where
// they are few, those that kill most first, so that a branch after them
// mostly goes one way.
AVX2 static inline unsigned live32(const unsigned char *p, unsigned found)
{
    __m256i c1 = load32(p + 1), c0 = load32(p);
    unsigned on1 = going_on32(c1);
    unsigned dead = ~mask32(c1) & ~on1; // an ASCII byte right after that stops every reading
    if (found & (found - 1)) {
        if ((found & ~dead) == 0)
            return 0;
        unsigned csi0 = found & equal32(c0, 0x9b);
        dead |= dead_csi32(p, csi0 & ~dead, c1, on1, false);
        if ((found & ~dead) == 0)
            return 0;
        dead |= dead_csi32(p, csi0 & ~dead, c1, on1, true);
        if ((found & ~dead) == 0)
            return 0;
        return found & ~(dead | dead_ahead32(p, c0));
    }
    // One candidate, as mostly: the first byte after it (or after the NUL,
    // DC1, DC3 or '[' right after it) that is ASCII or an 0xB4 that may
    // read as '4' tells, and is mostly among the 32 bytes after it; where
    // it is not, the 64 bytes at p are read as above.
    unsigned csi0 = found & equal32(c0, 0x9b);
    unsigned at = static_cast<unsigned>(__builtin_ctz(found));
    if (!(dead >> at & 1)) {
        unsigned ends = ~mask32(c1) | fours32(p + 1, c1);
        unsigned start = at + (p[at + 1] < 0x80 && p[at + 1] != '4');
        unsigned rest = start < 32 ? ends >> start : 0;
        if (rest != 0)
            dead |= (dead >> (start + static_cast<unsigned>(__builtin_ctz(rest))) & 1) << at;
        else
            dead |= dead_ahead32(p, c0);
    }
    if (found & ~dead & csi0)
        dead |= dead_csi32(p, csi0 & ~dead, c1, on1, true);
    return found & ~dead;
}

// Whether the first of the 64 bytes at p that is ASCII or an 0xB4 that may
// read as '4' is ASCII that stops every reading (where there is none, the
// last byte is read, which is not ASCII then).
AVX2 static inline bool stops_within64(const unsigned char *p)
{
    __m256i v0 = load32(p), v1 = load32(p + 32);
    uint64_t high = mask32(v0) | static_cast<uint64_t>(mask32(v1)) << 32;
    uint64_t ends = ~high | fours32(p, v0) | static_cast<uint64_t>(fours32(p + 32, v1)) << 32;
    unsigned first = static_cast<unsigned>(__builtin_ctzll(ends | uint64_t{1} << 63));
    return (classes.of[p[first]] & (ascii | goes_on)) == ascii;
}

// Whether one of the 32 bytes at p is ASCII or an 0xB4 that may read as
// '4'; `stops` 1 where the first of them is ASCII that stops every
// reading, else 0.
AVX2 static inline bool first_end32(const unsigned char *p, unsigned *stops)
{
    __m256i v = load32(p);
    unsigned ascii_bytes = ~mask32(v);
    uint64_t ends = ascii_bytes | fours32(p, v) | uint64_t{1} << 32;
    unsigned first = static_cast<unsigned>(__builtin_ctzll(ends));
    *stops = static_cast<unsigned>((static_cast<uint64_t>(ascii_bytes & ~going_on32(v)) >> first) & 1);
    return first < 32;
}

// Whether the candidate at c is dead, by the rules of `dead`, with two
// bytes before it and 66 after: the first byte after it (or after the NUL,
// DC1, DC3 or '[' right after it) that is ASCII or an 0xB4 that may read as
// '4' is looked for among the next 64. Where ASCII is `sparse` (text of
// characters of two bytes and more), the 64 are read at once (whether the
// first 32 hold it would go either way there), and only where the bytes
// around the candidate have not told already: in CJK text most 0x9B bytes
// are inside a character and followed by one that does not go on.
// Elsewhere the first 32 are read whatever the bytes around it say (a
// branch there costs random data more than it saves), where it mostly is,
// and only where it is not and nothing has told, 32 more.
AVX2 static inline bool dead_one(const unsigned char *c, bool sparse)
{
    unsigned c1 = classes.of[c[1]];
    unsigned dead = (c1 & (ascii | goes_on)) == ascii;
    unsigned key = (csi_rules.key[c[-1]] & 0x0f) | (csi_rules.key[c[-2]] & 0x30) | (csi_rules.key[c[1]] & 0xc0);
    dead |= csi_rules.dead[key | (c[0] & 0x80u) << 1]; // the candidate is ESC or 0x9B
    unsigned past = ((c1 & (ascii | goes_on)) == (ascii | goes_on)) & (c[1] != '4');
    const unsigned char *p = c + 1 + past;
    if (sparse)
        return dead != 0 || stops_within64(p);
    unsigned stops;
    bool found = first_end32(p, &stops);
    dead |= stops;
    if (dead != 0 || found)
        return dead != 0;
    first_end32(p + 32, &stops);
    return stops != 0;
}

AVX2 static inline uint64_t candidates64(const unsigned char *p)
{
    return candidates32(p) | static_cast<uint64_t>(candidates32(p + 32)) << 32;
}

AVX2 static inline size_t find_live_avx2(const unsigned char *buf, size_t from, const unsigned char *before, size_t at, size_t to)
{
    // Ranges of fewer than 96 bytes (the rest of a chunk after a cut near
    // its end, or chunks of a small -b) are read in plain C.
    if (to - from < 96)
        return find_live_plain(buf, from, before, at, to);
    // The blocks read the two bytes before them: the first two bytes of the
    // range are tested one by one, where they are candidates at all.
    for (; at < from + 2; at++)
        if ((buf[at] & 0x7f) == 0x1b && !dead_at(buf, from, before, at, to))
            return at;
    // The candidates near the end are told on a copy of the last 96 bytes
    // followed by 0xB4, a byte that neither stops a reading nor leads on to
    // one that does, so that nothing past the end kills a candidate; the
    // last byte's own candidate is live, as its next byte is unknown.
    unsigned char padded[192];
    bool padded_made = false;
    auto make_padded = [&] {
        if (!padded_made) {
            memcpy(padded, buf + to - 96, 96);
            memset(padded + 96, 0xb4, 96);
            padded_made = true;
        }
    };
    // Up to 512 bytes at a time, the last of them an overlapping window of
    // the last 64 bytes: the candidates of each 64 bytes as bits, then one
    // candidate after another, each told live or dead without a branch, so
    // that random data, with a few candidates in every 64 bytes, mostly
    // takes the same way. Where they are more (ESC-dense raster, every byte
    // ESC or 0x9B), the rules for 32 at once thin them out first: those
    // followed by a byte that stops every reading (raster's `ESC *`) go,
    // and where 64 bytes hold many, the rest of the rules.
    while (at < to) {
        size_t full = (to - at - 1) / 64 < 8 ? (to - at - 1) / 64 : 8;
        uint64_t bits[8], any = 0;
        if (full > 0) {
            bits[0] = candidates64(buf + at);
            if (__builtin_popcount(static_cast<unsigned>(bits[0])) > 8) {
                // Dense with candidates, as where every byte is ESC or
                // 0x9B: 32 at a time, for as long as they stay dense and
                // the rules for 32 reach, the cheapest first: a candidate
                // followed by ESC, which stops every reading, is dead, and
                // so is a 0x9B between two more (it cannot end a character
                // worth ESC, and the next is 0x9B).
                // The last 64 bytes are read on the padded copy.
                for (; at < to; at += 32) {
                    const unsigned char *p = buf + at;
                    if (to - at < 64) {
                        make_padded();
                        p = padded + (at + 96 - to);
                    }
                    __m256i c0 = load32(p), c1 = load32(p + 1);
                    unsigned found = mask32(_mm256_cmpeq_epi8(_mm256_and_si256(c0, _mm256_set1_epi8(0x7f)), _mm256_set1_epi8(0x1b)));
                    if (__builtin_popcount(found) <= 8)
                        break;
                    unsigned last = to - at <= 32 ? found & 1u << (to - 1 - at) : 0;
                    found &= ~(equal32(c1, 0x1b) | (equal32(c0, 0x9b) & equal32(c1, 0x9b) & equal32(load32(p - 1), 0x9b)));
                    if (unsigned live = (found == 0 ? 0 : live32(p, found)) | last)
                        return at + static_cast<size_t>(__builtin_ctz(live));
                }
                continue;
            }
        }
        size_t windows = full, next = at + 64 * full;
        unsigned count = 0;
        for (size_t w = 0; w < full; w++) {
            if (w > 0)
                bits[w] = candidates64(buf + at + 64 * w);
            any |= bits[w];
            count += static_cast<unsigned>(__builtin_popcountll(bits[w]));
        }
        if (full < 8) {
            // The last bytes, fewer than 64: their window overlaps what was read.
            size_t skip = next - (to - 64);
            bits[full] = candidates64(buf + to - 64) >> skip << skip;
            any |= bits[full];
            count += static_cast<unsigned>(__builtin_popcountll(bits[full]));
            windows++;
            next = to;
        }
        if (any == 0) {
            at = next;
            continue;
        }
        if (next + 66 > to)
            make_padded();
        if (count > 8) {
            uint64_t last = full < 8 ? bits[full] & uint64_t{1} << 63 : 0;
            for (size_t w = 0; w < windows; w++) {
                const unsigned char *p = w < full ? buf + at + 64 * w : padded + 32;
                unsigned low = static_cast<unsigned>(bits[w]), high = static_cast<unsigned>(bits[w] >> 32);
                if (__builtin_popcountll(bits[w]) > 4) {
                    low = low == 0 ? 0 : live32(p, low);
                    if (high != 0 && (w == full || at + 64 * w + 96 <= to))
                        high = live32(p + 32, high);
                } else {
                    low &= ~stopped32(p + 1);
                    high &= ~stopped32(p + 33);
                }
                bits[w] = low | static_cast<uint64_t>(high) << 32;
            }
            if (full < 8)
                bits[full] |= last;
        }
        unsigned some = 0;
        for (size_t w = 0; w < windows; w++)
            some |= static_cast<unsigned>(bits[w] != 0) << w;
        // Few ASCII bytes, as in text of characters of two bytes and more:
        // there the next ASCII byte is as often past 32 bytes as not.
        bool sparse = __builtin_popcount(~mask32(load32(buf + next - 32))) < 8;
        while (some != 0) {
            unsigned w = static_cast<unsigned>(__builtin_ctz(some));
            size_t q = (w < full ? at + 64 * w : to - 64) + static_cast<size_t>(__builtin_ctzll(bits[w]));
            bits[w] &= bits[w] - 1;
            some &= ~(static_cast<unsigned>(bits[w] == 0) << w);
            if (!dead_one(q + 66 > to ? padded + (q + 96 - to) : buf + q, sparse) || q + 1 == to)
                return q;
        }
        at = next;
    }
    return to;
}

AVX2 static inline size_t find_turn_avx2(const unsigned char *buf, size_t at, size_t to)
{
    for (; to - at >= 32; at += 32) {
        __m256i v = load32(buf + at);
        if (unsigned found = equal32(v, 0x9b) | ~mask32(v))
            return at + static_cast<size_t>(__builtin_ctz(found));
    }
    return find_turn_plain(buf, at, to);
}
#endif

// The scan itself, once for each set of searches.
#define SCAN_NAME scan_plain
#define SCAN_ATTRIBUTES
#define FIND_LIVE find_live_plain
#define FIND_TURN find_turn_plain
#include "stop_scan_loop.inc"
#if defined(__SSE2__)
#define SCAN_NAME scan_sse2
#define SCAN_ATTRIBUTES
#define FIND_LIVE find_live_sse2
#define FIND_TURN find_turn_sse2
#include "stop_scan_loop.inc"
#endif
#if defined(HAVE_AVX2_PATH)
#define SCAN_NAME scan_avx2
#define SCAN_ATTRIBUTES __attribute__((target("avx2,popcnt")))
#define FIND_LIVE find_live_avx2
#define FIND_TURN find_turn_avx2
#include "stop_scan_loop.inc"
#endif

using scan_function = size_t (*)(stop_scan *, const unsigned char *, size_t, size_t, bool);
static scan_function chosen_scan;

#if defined(HAVE_AVX2_PATH)
// Whether the processor has AVX2 (and POPCNT, which every processor with
// AVX2 has) and the system saves its registers. Asked
// with cpuid itself: the compilers' own test needs a runtime library that
// not every system links.
static bool have_avx2()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX) || !(c & bit_POPCNT))
        return false;
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6) != 6) // SSE and AVX state
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
}
#endif

// The fastest scan this processor runs.
static scan_function best_scan()
{
#if defined(HAVE_AVX2_PATH)
    if (have_avx2())
        return scan_avx2;
#endif
#if defined(__SSE2__)
    return scan_sse2;
#else
    return scan_plain;
#endif
}

bool use_stop_scan(const char *name)
{
    scan_function scan = nullptr;
    if (strcmp(name, "plain") == 0)
        scan = scan_plain;
#if defined(__SSE2__)
    if (strcmp(name, "sse2") == 0)
        scan = scan_sse2;
#endif
#if defined(HAVE_AVX2_PATH)
    if (strcmp(name, "avx2") == 0 && have_avx2())
        scan = scan_avx2;
#endif
    if (strcmp(name, "best") == 0)
        scan = best_scan();
    if (scan != nullptr)
        chosen_scan = scan;
    return scan != nullptr;
}

size_t next_cut(stop_scan *scan, const char *data, size_t from, size_t to, bool end_of_data)
{
    if (chosen_scan == nullptr)
        chosen_scan = best_scan();
    // On a copy, which the compiler may keep in registers: the data could
    // alias the scan itself.
    stop_scan copy = *scan;
    size_t cut = chosen_scan(&copy, reinterpret_cast<const unsigned char *>(data), from, to, end_of_data);
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
