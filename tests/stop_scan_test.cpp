// The scan that keeps data from ending printer mode, against a plain reading
// of the same rules, on data full of near misses cut into chunks at random.
#include "../src/relay/stop_scan.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// Whether any reading of a frame's data completes a stop sequence: bytes,
// or UTF-8 characters reduced to their low 8 bits (a broken one reads as
// U+FFFD); NUL, DC1 and DC3 skipped, ESC and CSI starting again.
bool ends_printing(const std::string &frame)
{
    auto step = [](int at, unsigned v) {
        if (v == 0 || v == 0x11 || v == 0x13)
            return at;
        if (v == 0x1b || v == 0x9b)
            return v == 0x1b ? 1 : 2;
        return (at == 1 && v == '[') ? 2 : (at == 2 && v == '4') ? 3 : (at == 3 && v == 'i') ? 4 : 0;
    };
    int bytes = 0, text = 0, need = 0;
    unsigned last = 0;
    for (unsigned char c : frame) {
        if ((bytes = step(bytes, c)) == 4)
            return true;
        if (need > 0 && (c & 0xc0) == 0x80) {
            if (--need == 0 && (text = step(text, ((last & 3) << 6) | (c & 0x3f))) == 4)
                return true;
            last = c;
            continue;
        }
        if (need > 0)
            need = text = 0;
        if (c < 0x80) {
            if ((text = step(text, c)) == 4)
                return true;
        } else if (c >= 0xc0 && c < 0xf8) {
            need = c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
            last = c;
        } else {
            text = 0;
        }
    }
    return false;
}

TEST(StopScan, NoFrameCanEndPrintingAndNoByteIsLost)
{
    // Pieces of stop sequences in both readings (U+041B reads as ESC, U+015B
    // as '[', U+0134 as '4', U+0169 as 'i'), skipped bytes, broken UTF-8.
    const std::string pieces[] = {"\x1b", "\x9b", "[", "4", "i", std::string(1, '\0'), "\x11", "a", "\xd0\x9b", "\xc2\x9b",
                                  "\xc5\x9b", "\xc4\xb4", "\xc5\xa9", "\xe2\x82", "\xf0\x90\x80", "\x80", "\xff"};
    std::mt19937 random(7);
    for (int round = 0; round < 3000; round++) {
        std::string data;
        while (data.size() < 1 + random() % 200)
            data += random() % 8 == 0 ? std::string(1, static_cast<char>(random())) : pieces[random() % std::size(pieces)];
        // Relayed in chunks as the job relays them: cut, then a new frame.
        std::vector<std::string> frames(1);
        stop_scan scan;
        reset_stop_scan(&scan);
        for (size_t at = 0; at < data.size();) {
            size_t end = std::min(data.size(), at + 1 + random() % 40);
            for (size_t cut; at < end; at = cut) {
                cut = next_cut(&scan, data.data(), at, end, true);
                frames.back() += data.substr(at, cut - at);
                if (cut < end) {
                    frames.emplace_back();
                    reset_stop_scan(&scan);
                }
            }
        }
        std::string joined;
        for (const std::string &frame : frames) {
            ASSERT_FALSE(ends_printing(frame)) << "round " << round;
            joined += frame;
        }
        ASSERT_EQ(joined, data) << "round " << round;
    }
}

} // namespace
