// The scan that keeps data from ending printer mode, against a plain reading
// of the same rules, on data full of near misses cut into chunks at random.
#include "../src/relay/stop_scan.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// A match of ESC [ 4 i (or CSI 4 i) after `at` of its characters, one
// character (value v) further on: NUL, DC1 and DC3 skipped, ESC and CSI
// starting again; 4 is a match.
int step(int at, unsigned v)
{
    if (v == 0 || v == 0x11 || v == 0x13)
        return at;
    if (v == 0x1b || v == 0x9b)
        return v == 0x1b ? 1 : 2;
    return (at == 1 && v == '[') ? 2 : (at == 2 && v == '4') ? 3 : (at == 3 && v == 'i') ? 4 : 0;
}

// Whether any reading of a frame's data completes a stop sequence: bytes;
// bytes reduced to 7 bits; UTF-8 characters of up to six bytes (a broken
// one reads as U+FFFD, a stray byte as itself), the first of a match by its
// low 8 bits, where any character from U+0080 up may also go unseen once a
// match is under way; or those characters reduced to their low 8 bits.
// NUL, DC1 and DC3 skipped, ESC and CSI starting again.
bool ends_printing(const std::string &frame)
{
    int bytes = 0, bits7 = 0;
    for (unsigned char c : frame)
        if ((bytes = step(bytes, c)) == 4 || (bits7 = step(bits7, c & 0x7f)) == 4)
            return true;
    std::vector<std::pair<unsigned, bool>> chars; // low 8 bits, from U+0080 up
    for (size_t i = 0; i < frame.size();) {
        unsigned char c = frame[i];
        size_t need = c < 0xc0 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : c < 0xf8 ? 3 : c < 0xfc ? 4 : c < 0xfe ? 5 : 0;
        size_t have = 0;
        while (have < need && i + 1 + have < frame.size() && (frame[i + 1 + have] & 0xc0) == 0x80)
            have++;
        if (c < 0x80)
            chars.push_back({c, false});
        else if (need == 0)
            chars.push_back({c, true});
        else if (have < need)
            chars.push_back({0xfd, true});
        else
            chars.push_back({((frame[i + need - 1] & 3u) << 6) | (frame[i + need] & 0x3fu), true});
        i += 1 + have;
    }
    std::set<int> text = {0};
    int low = 0;
    for (auto [v, high] : chars) {
        if ((low = step(low, v)) == 4)
            return true;
        std::set<int> next = high ? text : std::set<int>{};
        for (int at : text)
            next.insert(high ? (v == 0x1b || v == 0x9b ? step(0, v) : 0) : step(at, v));
        if (next.count(4))
            return true;
        text = next;
    }
    return false;
}

// The frames the data makes when relayed in chunks that end where
// `chunk_end` says, as the job relays them: cut, then a new frame.
template <typename Chunks> std::vector<std::string> frames_of(const std::string &data, Chunks chunk_end)
{
    std::vector<std::string> frames(1);
    stop_scan scan;
    reset_stop_scan(&scan);
    for (size_t at = 0; at < data.size();) {
        size_t end = std::min(data.size(), chunk_end(at));
        for (size_t cut; at < end; at = cut) {
            cut = next_cut(&scan, data.data(), at, end, true);
            frames.back() += data.substr(at, cut - at);
            if (cut < end) {
                frames.emplace_back();
                reset_stop_scan(&scan);
            }
        }
    }
    return frames;
}

void expect_safe_and_whole(const std::vector<std::string> &frames, const std::string &data)
{
    std::string joined;
    for (const std::string &frame : frames) {
        ASSERT_FALSE(ends_printing(frame)) << shown(frame);
        joined += frame;
    }
    ASSERT_EQ(joined, data);
}

// Data that ends printing at a real terminal, wherever a chunk ends.
TEST(StopScan, CutsWhatEndsPrintingAtEveryChunkBoundary)
{
    const std::string injecting[] = {
        "\xf8\x80\x80\x80\x9b[4i",         // five-byte form worth ESC
        "\xf8\x88\x80\x80\x9b[4i",         // ... not overlong
        "\xfb\xbf\xbf\xbc\x9b[4i",         // ... past U+10FFFF
        "\xfc\x80\x80\x80\x80\x9b[4i",     // six-byte form worth ESC
        "\xf8\x80\x80\x82\x9b" "4i",       // five-byte form worth CSI
        "\xc1\x9b[4i",                     // overlong two-byte form
        "\033[4\xcc\x81i",                 // a combining mark inside
        "\033\xcc\x81[4i",                 // ... right after ESC
        "\033[\xef\xb8\x8f" "4i",          // a variation selector
        "\xd0\x9b\xcc\x81[4\xcc\x81i",     // U+041B, and marks
        "\033\xdb\xb4\xe9",                // ESC then [4i with bit 7 set
        "\x9b\xdb\xb4\xe9",                // 0x9B reads as ESC in 7 bits
        "\033[\x80\x91" "4\x93i",          // 7-bit NUL, DC1, DC3 skipped
    };
    for (const std::string &data : injecting) {
        SCOPED_TRACE(shown(data));
        ASSERT_TRUE(ends_printing(data));
        for (size_t split = 0; split <= data.size(); split++) {
            auto frames = frames_of(data, [&](size_t at) { return at < split ? split : data.size(); });
            EXPECT_GT(frames.size(), 1u) << "split at " << split;
            expect_safe_and_whole(frames, data);
        }
        auto frames = frames_of(data, [](size_t at) { return at + 1; });
        EXPECT_GT(frames.size(), 1u) << "a byte a chunk";
        expect_safe_and_whole(frames, data);
    }
}

TEST(StopScan, NoFrameCanEndPrintingAndNoByteIsLost)
{
    // Pieces of stop sequences in every reading (U+041B reads as ESC, U+015B
    // as '[', U+0134 as '4', U+0169 as 'i'; 0xDB as '[' in 7 bits), skipped
    // bytes, five- and six-byte forms, combining marks, broken UTF-8.
    const std::string pieces[] = {"\x1b", "\x9b", "[", "4", "i", std::string(1, '\0'), "\x11", "a", "\xd0\x9b", "\xc2\x9b",
                                  "\xc5\x9b", "\xc4\xb4", "\xc5\xa9", "\xe2\x82", "\xf0\x90\x80", "\x80", "\xff",
                                  "\xf8\x80\x80\x80\x9b", "\xfc\x80\x80\x80\x80\x9b", "\xf8\x88\x80", "\xcc\x81", "\xdb", "\xb4",
                                  "\xe9", "\x91", "\xfd"};
    std::mt19937 random(7);
    for (int round = 0; round < 3000; round++) {
        SCOPED_TRACE(round);
        std::string data;
        while (data.size() < 1 + random() % 200)
            data += random() % 8 == 0 ? std::string(1, static_cast<char>(random())) : pieces[random() % std::size(pieces)];
        expect_safe_and_whole(frames_of(data, [&](size_t at) { return at + 1 + random() % 40; }), data);
        if (HasFatalFailure())
            return;
    }
}

// The same reading, byte by byte, as plainly as it can be written: the
// cuts of the scan, whose searches skip what cannot matter, must be exactly
// these.
struct reference_scan {
    int bytes = 0, bits7 = 0; // the byte and 7-bit readings
    unsigned text = 0;        // xterm's UTF-8 reading: bit p where progress p (1 to 3) may be
    int low = 0;              // the reading of low 8 bits
    int need = 0;             // continuation bytes the character in progress needs
    unsigned char last = 0;
    size_t lead = 0;
    bool lead_here = false;
};

size_t reference_cut(reference_scan &r, const unsigned char *buf, size_t from, size_t to, bool end_of_data)
{
    // xterm's reading of a character below U+0080, seen as it is, or of
    // one from U+0080 up, skipped or seen by its low bits v.
    auto seen = [&](unsigned v) {
        unsigned next = 0;
        for (int at = 0; at < 4; at++)
            if (at == 0 || (r.text >> at & 1))
                next |= 1u << step(at, v);
        r.text = next & 0xe;
        return (next & 16) != 0;
    };
    auto high = [&](unsigned v) { r.text |= v == 0x1b ? 2 : v == 0x9b ? 4 : 0; };
    r.lead_here = false;
    for (size_t i = from; i < to; i++) {
        unsigned char c = buf[i];
        r.bytes = step(r.bytes, c);
        r.bits7 = step(r.bits7, c & 0x7f);
        if (r.bytes == 4 || r.bits7 == 4)
            return i;
        if (r.need > 0 && (c & 0xc0) == 0x80) {
            if (--r.need == 0) {
                unsigned v = ((r.last & 3u) << 6) | (c & 0x3fu);
                if ((r.low = step(r.low, v)) == 4)
                    return r.lead_here ? r.lead : from;
                high(v);
            }
            r.last = c;
            continue;
        }
        if (r.need > 0)
            r.low = 0; // U+FFFD
        r.need = 0;
        int need = c < 0xc0 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : c < 0xf8 ? 3 : c < 0xfc ? 4 : c < 0xfe ? 5 : 0;
        if (need > 0) {
            r.need = need;
            r.last = c;
            r.lead = i;
            r.lead_here = true;
            continue;
        }
        if (c < 0x80 ? seen(c) : (high(c), false))
            return i;
        if ((r.low = step(r.low, c)) == 4)
            return i;
    }
    if (end_of_data && r.need > 0 && r.low == 3 && r.lead_here)
        return r.lead;
    return to;
}

// The cuts in data relayed in the chunks `ends` gives (end_of_data with
// each where `whole` says so), by the scan or by the reference.
template <typename State, typename Cut>
std::vector<size_t> cuts_of(const std::vector<unsigned char> &data, const std::vector<size_t> &ends, const std::vector<bool> &whole, Cut cut_at)
{
    std::vector<size_t> cuts;
    State state{};
    size_t at = 0;
    for (size_t k = 0; k < ends.size(); k++) {
        for (size_t cut; at < ends[k]; at = cut) {
            cut = cut_at(state, data.data(), at, ends[k], whole[k]);
            if (cut < ends[k]) {
                cuts.push_back(cut);
                state = State{};
            }
        }
    }
    return cuts;
}

std::vector<size_t> scan_cuts(const std::vector<unsigned char> &data, const std::vector<size_t> &ends, const std::vector<bool> &whole)
{
    return cuts_of<stop_scan>(data, ends, whole, [](stop_scan &s, const unsigned char *b, size_t f, size_t t, bool e) {
        return next_cut(&s, reinterpret_cast<const char *>(b), f, t, e);
    });
}

std::vector<size_t> reference_cuts(const std::vector<unsigned char> &data, const std::vector<size_t> &ends, const std::vector<bool> &whole)
{
    return cuts_of<reference_scan>(data, ends, whole, reference_cut);
}

const char *const scans[] = {"plain", "sse2", "avx2"};

// Every string of four of the bytes that matter, at the edges of the blocks
// the searches read and at the end of the data, in one chunk and split.
TEST(StopScan, SameCutsAsAPlainReadingOnEveryShortString)
{
    const unsigned char alphabet[] = {0x1b, 0x9b, '[', '4', 'i', 0, 'x', 0x80, 0xdb, 0xc5, 0xc0, 0xe9, 0xf8, 0xb4, 0xa9, 0x81};
    const size_t n = std::size(alphabet);
    const struct { size_t at, size; unsigned char filler; } layouts[] = {
        {0, 4, 'x'}, {0, 40, 'x'}, {1, 40, 0xa5}, {14, 40, 'x'}, {29, 104, 'x'}, {30, 104, 0xa5}, {31, 104, 'x'},
        {32, 104, 'x'}, {33, 104, 0xa5}, {34, 104, 'x'}, {36, 40, 'x'}, {30, 34, 'x'}, {61, 65, 0xa5}, {36, 104, 0xa5},
        {63, 104, 'x'}, {94, 98, 'x'}, {98, 104, 0xa5}, {100, 104, 'x'}};
    for (const char *name : scans) {
        if (!use_stop_scan(name))
            continue;
        SCOPED_TRACE(name);
        for (size_t code = 0; code < n * n * n * n; code++) {
            for (const auto &layout : layouts) {
                std::vector<unsigned char> data(layout.size, layout.filler);
                for (size_t k = 0, c = code; k < 4; k++, c /= n)
                    data[layout.at + k] = alphabet[c % n];
                std::vector<size_t> ends = {data.size()};
                std::vector<bool> whole = {true};
                if (code % 7 == 0 || (layout.at > 64 && code % 3 != 0)) { // and split inside the string
                    ends = {layout.at + 2, data.size()};
                    whole = {code % 2 == 0, true};
                }
                auto want = reference_cuts(data, ends, whole);
                auto got = scan_cuts(data, ends, whole);
                if (got != want) {
                    ADD_FAILURE() << "at " << layout.at << " in " << layout.size << ": "
                                  << shown(std::string(data.begin(), data.end())) << ": " << got.size() << " cuts, want " << want.size();
                    use_stop_scan("best");
                    return;
                }
            }
        }
        // Longer strings that a search could get wrong, at every offset,
        // whole and with a chunk ending three bytes before their end.
        std::vector<std::string> longer = {"\xc0\x9b\x9b[\xcc\x81" "4i", "\x1b\x9b[\xcc\x81" "4i", "\xd0\x9b\xcc\x81[4\xcc\x81i",
                                      "\xf8\x80\x80\x82\x9b" "4i", "\xfc\x80\x80\x80\x80\x9b[4i", "\x9b\xe4\xb8\x9b\xe4\xb8\x9b[4i",
                                      "\xe4\x82\x9b\xe4\xb8\xb4i", // CJK worth CSI, 4, then i
                                      "\xd0\x9b" "\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81"
                                      "\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81\xcc\x81[4i"};
        std::string raster; // dense candidates, then a chunk's end inside a character
        while (raster.size() < 100)
            raster += "\x1b*";
        longer.push_back(raster + "\xe4\x9b[4i");
        longer.push_back(std::string(40, '\x9b') + "x\xc0" + std::string(20, '\x9b') + "\xcc\x81[4i"); // in a run of 0x9B, one worth ESC
        for (const std::string &s : longer) {
            for (size_t at = 0; at < 48; at++) {
                for (unsigned char filler : {0x78, 0xa5}) {
                    std::vector<unsigned char> data(100 + s.size(), filler);
                    std::copy(s.begin(), s.end(), data.begin() + static_cast<long>(at));
                    for (size_t split : {data.size(), at + s.size() - 3}) {
                        std::vector<size_t> ends = {split, data.size()};
                        std::vector<bool> whole = {split == data.size() || at % 2 == 0, true};
                        EXPECT_EQ(scan_cuts(data, ends, whole), reference_cuts(data, ends, whole)) << shown(s) << " at " << at << ", split at " << split;
                    }
                }
            }
        }
    }
    use_stop_scan("best");
}

// Random streams in random chunks: random bytes, or pieces of stop
// sequences in every reading (characters worth ESC, CSI, '[' and '4',
// combining marks, broken and stray bytes) among random bytes.
TEST(StopScan, SameCutsAsAPlainReadingOnRandomStreams)
{
    const std::string pieces[] = {"\x1b", "\x9b", "[", "4", "i", std::string(1, '\0'), "\x11", "x", "\x80", "\x91", "\xdb", "\xb4",
                                  "\xe9", "\xc0\x9b", "\xc2\x9b", "\xd0\x9b", "\xc5\x9b", "\xc4\xb4", "\xc5\xa9", "\xcc\x81",
                                  "\xe4\xb8\x9b", "\xf8\x80\x80\x80\x9b", "\xfc\x80\x80\x80\x80\x9b", "\xe2\x82", "\xff"};
    std::mt19937 random(23);
    for (const char *name : scans) {
        if (!use_stop_scan(name))
            continue;
        SCOPED_TRACE(name);
        for (int round = 0; round < 1500; round++) {
            std::string text;
            size_t size = 1 + random() % (random() % 8 == 0 ? 3000 : 200);
            unsigned odds = 1 + random() % 16; // how often a random byte comes
            while (text.size() < size)
                text += random() % odds == 0 ? std::string(1, static_cast<char>(random())) : pieces[random() % std::size(pieces)];
            std::vector<unsigned char> data(text.begin(), text.end());
            std::vector<size_t> ends;
            std::vector<bool> whole;
            for (size_t at = 0; at < data.size();) {
                at = std::min(data.size(), at + 1 + random() % (random() % 2 ? 40 : 700));
                ends.push_back(at);
                whole.push_back(random() % 4 != 0);
            }
            whole.back() = true;
            ASSERT_EQ(scan_cuts(data, ends, whole), reference_cuts(data, ends, whole)) << "round " << round << ": " << shown(text);
        }
    }
    use_stop_scan("best");
}

} // namespace
