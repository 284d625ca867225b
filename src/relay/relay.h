#ifndef QUILLPASS_RELAY_H
#define QUILLPASS_RELAY_H

#include <csignal>
#include <cstddef>
#include <sys/types.h>

// Complete I/O on raw descriptors. Both retry EINTR and wait with poll()
// when an inherited descriptor is non-blocking; both are safe to call from
// a signal handler.
ssize_t read_some(int fd, char *buf, size_t count);
bool write_all(int fd, const char *buf, size_t count);

// Diagnostics. While the frame is open, anything written to the terminal
// would land on paper, so messages are held until the frame closes.
// report() writes "quillpass: BEFORE NAME AFTER REASON", with control
// characters in NAME escaped; warn() reports "quillpass: NAME: strerror"
// and makes the exit status 1.
void report(const char *before, const char *name, const char *after, const char *reason);
void warn(const char *name, int err);
void flush_diagnostics();
extern int exit_status; // 0, or 1 after any reported failure

// The print job.
constexpr char start_sequence[] = "\033[5i";
constexpr char stop_sequence[] = "\033[4i";
constexpr size_t sequence_length = sizeof start_sequence - 1;

// relay_chunk() results below 0.
constexpr int relay_read_failed = -1;
constexpr int relay_write_failed = -2;

// Set from just before the start sequence until the stop sequence is out:
// while it is set, the signal handlers owe the terminal a stop sequence.
extern volatile sig_atomic_t frame_open;

void install_signal_handlers();
void hold_terminal_stop();
void release_terminal_stop();

bool allocate_relay_buffer();
void open_frame();
void close_frame();
// Writes all of buf to the output. After the first failure, which it
// reports, it writes nothing more and returns false.
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
