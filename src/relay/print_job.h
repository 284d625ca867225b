#ifndef QUILLPASS_PRINT_JOB_H
#define QUILLPASS_PRINT_JOB_H

#include <cstddef>

// The job: everything from the first start sequence to the last stop
// sequence. The terminal prints only while the job runs in its foreground:
// every way out (the end, a death, a stop, a failure) closes the frame and
// puts the terminal's settings back first, and a job that cannot have the
// terminal gives up rather than print behind another job.

// relay_chunk() results below 0.
constexpr int relay_read_failed = -1;
constexpr int relay_write_failed = -2;

// Obtains the storage the relay needs, once, before the first read.
bool allocate_relay_buffer();
void install_job_signal_handlers();

// Waits for the terminal, sets it up for printing and opens the frame.
void begin_job();
// Closes the frame, puts the terminal back and writes the held messages.
void end_job();

// Writes one unit of the body (a chunk, a separator, the final form-feed),
// which it may change in place. After the first failure, which it reports,
// it writes nothing more and returns false.
bool emit(char *buf, size_t count);
// Relays one chunk from fd: the bytes relayed, 0 at end of input, or one of
// the failures above.
int relay_chunk(int fd);
// Relays fd to its end, reporting a read failure under `name`, which has
// `files_after` more files after it. Returns false only when the output
// has failed and the job must stop.
bool relay_source(int fd, const char *name, int files_after = 0);
// Relays the files named from argv[first_file] on, with their separators.
void relay_file_list(int argc, char **argv);

#endif
