#ifndef QUILLPASS_PRINT_JOB_H
#define QUILLPASS_PRINT_JOB_H

#include <cstddef>

constexpr char start_sequence[] = "\033[5i";
constexpr char stop_sequence[] = "\033[4i";
constexpr size_t sequence_length = sizeof start_sequence - 1;

// relay_chunk() results below 0.
constexpr int relay_read_failed = -1;
constexpr int relay_write_failed = -2;

// Obtains the storage the relay needs, once, before the first read.
bool allocate_relay_buffer();

// The job: open_frame() waits for the foreground and puts the terminal in
// printer mode; close_frame() takes it out and writes the held messages.
void open_frame();
void close_frame();

// Whether the job has been opened and not yet closed.
bool job_running();
// Takes the terminal out of printer mode and puts its settings back, as a
// stop or a death needs; enter_printer_mode() undoes it on resume.
// `output_alive` false: the output is gone, so nothing is written to it.
void leave_printer_mode(bool output_alive);
void enter_printer_mode();

// Writes one unit of the body (a chunk, a separator, the final form-feed)
// to the output. After the first failure, which it reports, it writes
// nothing more and returns false.
bool emit(const char *buf, size_t count);
// Relays one chunk from in_fd to out_fd: the bytes relayed, 0 at end of
// input, or one of the failures above.
int relay_chunk();
// Relays in_fd to its end, reporting a read failure under `name`. Returns
// false only when the output has failed and the job must stop.
bool relay_source(const char *name);
// Relays the files named from argv[first_file] on, with their separators.
void relay_file_list(int argc, char **argv);

#endif
