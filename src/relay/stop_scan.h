#ifndef QUILLPASS_STOP_SCAN_H
#define QUILLPASS_STOP_SCAN_H

#include <cstddef>

// Finds where the data would end the frame. Terminals differ in how
// they match the stop sequence inside a frame, so the data is read as all
// of them read it, and a match in any reading counts:
// - byte by byte: ESC [ 4 i, or CSI 4 i with CSI the 8-bit 0x9B; NUL, DC1
//   and DC3 in between are skipped; an ESC or a CSI starts the match again;
// - as UTF-8 characters reduced to their low 8 bits (xterm in a UTF-8
//   locale), with the same rules: U+041B reads as ESC, U+009B as CSI.
// The data is cut just before the character that would complete a match,
// and the frame is closed and opened again there.
struct stop_scan {
    unsigned char bytes;     // progress of the byte reading: 0 to 3
    unsigned char text;      // progress of the UTF-8 reading: 0 to 3
    unsigned char pending;   // continuation bytes the character in progress needs
    unsigned char last;      // the byte before them, for the low bits
    unsigned char before[3]; // the three bytes before the range, newest last
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

// How far the data written last goes towards a stop sequence, read as a
// terminal that never starts a match again would (GNU screen): 0, or 1 to 3
// after ESC, ESC [ or ESC [ 4. Such a terminal takes a stop sequence that
// follows as data, so a frame ending there needs a second one.
unsigned char stop_prefix_after(unsigned char prefix, const char *buf, size_t count);

#endif
