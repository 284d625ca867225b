#ifndef QUILLPASS_FRAME_H
#define QUILLPASS_FRAME_H

#include <cstddef>
#include <sys/types.h>

// The bytes on the output. A frame is a start sequence, data and a stop
// sequence; while one is open the terminal prints instead of showing. The
// data is cut where it would end the frame itself, and everything is
// wrapped for the multiplexers between the program and the terminal.
//
// Without multiplexers each chunk of data is one write, straight from the
// caller's buffer. Through tmux, a frame goes out as one tmux string in one
// write, when the job ends or the string is full: a tmux string must reach
// tmux whole. Through screen alone, strings go out as the data comes.

constexpr char start_sequence[] = "\033[5i";
constexpr char stop_sequence[] = "\033[4i";
constexpr size_t sequence_length = sizeof start_sequence - 1;

// Obtains the storage the wrapping needs, once, before the first frame.
bool allocate_frame_storage();

// Whether the window of the innermost screen (if any) is in UTF-8, which
// changes what screen can pass on; and whether it is, through screen.
void set_screen_utf8(bool utf8);
bool screen_utf8();

// Opens a frame: without multiplexers the start sequence goes out at
// once, else with the first data. Returns false when the output failed.
bool open_frame();
// Closes the frame and writes everything gathered for the output. With
// `for_good` false, for a job that stops, a frame gathered for tmux and not
// written yet stays open: the terminal is not printing it.
bool close_frame(bool for_good);
// Forgets the frame and what is gathered for it, writing nothing.
void drop_frame();
// Whether frames are gathered and written whole (through tmux).
bool frames_gathered();
// From a signal handler: closes the frame at once, whatever the job was
// doing.
void close_frame_at_once();

// Writes data into the frame, changing buf in place where it must. Returns
// how much was taken: all of it, or less when a signal waits to be acted
// on; or -1 when the output failed, with errno set.
ssize_t print_data(char *buf, size_t count);

// Once a write has failed, nothing more is written but one last try at
// closing the frame.
bool output_failed();

// How many times the data had to be cut, and how many of its bytes cannot
// pass through screen and were left out.
unsigned long cuts_made();
unsigned long bytes_left_out();

#endif
