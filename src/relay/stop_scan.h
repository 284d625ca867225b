#ifndef QUILLPASS_STOP_SCAN_H
#define QUILLPASS_STOP_SCAN_H

#include <cstddef>

// Finds where the data would end the frame. Terminals differ in how
// they match the stop sequence inside a frame, so the data is read as all
// of them read it, and a match in any reading counts:
// - byte by byte: ESC [ 4 i, or CSI 4 i with CSI the 8-bit 0x9B; NUL, DC1
//   and DC3 in between are skipped; an ESC or a CSI starts the match again
//   (PuTTY; xterm outside a UTF-8 locale; GNU screen's plain windows);
// - every byte reduced to its low 7 bits, with the same rules, so that
//   0x9B reads as ESC and 0xDB as `[` (xterm with eightBitOutput off);
// - as UTF-8 characters (xterm in a UTF-8 locale): the first character of
//   a match by its low 8 bits, so that U+041B reads as ESC, and the others
//   as they are. Forms of up to six bytes count, overlong ones too, whose
//   low 8 bits come from their last two bytes. Any character from U+0080
//   up may be one the terminal never shows the matcher (xterm hands
//   combining marks to the screen first), so after the first character of
//   a match each of them is taken both as seen and as skipped;
// - as the same characters reduced to their low 8 bits, every one seen
//   (GNU screen's UTF-8 windows pass them on so): U+015B reads as '['.
// The data is cut just before the character that would complete a match,
// and the frame is closed and opened again there.
struct stop_scan {
    unsigned char raw;       // progress of the byte and 7-bit readings, 4 * bytes + bits7
    unsigned char text;      // xterm's UTF-8 reading: bit p set where progress p (1 to 3) is possible
    unsigned char screen;    // progress of screen's reading of low 8 bits: 0 to 3
    unsigned char pending;   // continuation bytes the character in progress needs
    unsigned char last;      // the byte before them, for the low bits
    unsigned char before[5]; // the five bytes before the range, newest last
    bool lead_seen;          // the lead byte of that character is in the range
    size_t lead;             // where that lead byte is
};

// A new frame: nothing read yet.
void reset_stop_scan(stop_scan *scan);

// Reads buf[from, to) after what the scan has read so far and returns the
// offset of the first cut, or `to` when there is none; the scan then has
// read up to that offset. With end_of_data, a character whose end is not in
// the data yet and that could complete a match is cut before, too.
size_t next_cut(stop_scan *scan, const char *buf, size_t from, size_t to, bool end_of_data);

// Makes next_cut use the scan named "plain", "sse2" or "avx2" (its searches
// in plain C, or with those instructions), or "best", the fastest this
// processor runs, which it uses unless told; false where there is no such
// scan here. The scans find the same cuts.
bool use_stop_scan(const char *name);

// How far the data written last goes towards a stop sequence, read as a
// terminal that never starts a match again would (GNU screen): 0, or 1 to 3
// after ESC, ESC [ or ESC [ 4. Such a terminal takes a stop sequence that
// follows as data, so a frame ending there needs a second one.
unsigned char stop_prefix_after(unsigned char prefix, const char *buf, size_t count);

#endif
