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

// Whether any reading of a frame's data completes a stop sequence: bytes;
// bytes reduced to 7 bits; or UTF-8 characters of up to six bytes reduced
// to their low 8 bits (a broken one reads as U+FFFD, a stray byte as
// itself), where any character from U+0080 up may also go unseen once a
// match is under way. NUL, DC1 and DC3 skipped, ESC and CSI starting again.
bool ends_printing(const std::string &frame)
{
    auto step = [](int at, unsigned v) {
        if (v == 0 || v == 0x11 || v == 0x13)
            return at;
        if (v == 0x1b || v == 0x9b)
            return v == 0x1b ? 1 : 2;
        return (at == 1 && v == '[') ? 2 : (at == 2 && v == '4') ? 3 : (at == 3 && v == 'i') ? 4 : 0;
    };
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
    for (auto [v, high] : chars) {
        std::set<int> next = high ? text : std::set<int>{};
        for (int at : text)
            next.insert(step(at, v));
        next.insert(step(0, v));
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

} // namespace
