#ifndef QUILLPASS_FULL_IO_H
#define QUILLPASS_FULL_IO_H

#include <cstddef>
#include <sys/types.h>

// Complete I/O on raw descriptors. All of it retries EINTR and waits with
// poll() when an inherited descriptor is non-blocking. None of it acts on a
// signal: while it waits for input the handlers act at once, and a write
// that is allowed to stop early returns to the caller, which acts.

// Reads what is there, up to count bytes: the bytes read, 0 at end of
// input, -1 on error with errno set.
ssize_t read_input(int fd, char *buf, size_t count);

// Opens a file to read from, waiting as read_input() does (a FIFO blocks
// until it has a writer).
int open_input(const char *name);

// One write() that makes progress: the bytes written; 0 when a signal cut
// it short and waits to be acted on; or -1 with errno set (ENOSPC for a
// device that accepts nothing).
ssize_t write_some(int fd, const char *buf, size_t count);

// Writes buf. With `whole` false it stops early, anywhere, once a signal
// waits to be acted on; with `whole` true it always writes all of it, from
// the background too if it must, so that nothing is left half written.
// Returns the bytes written, or -1 on the first failure with errno set.
ssize_t write_out(int fd, const char *buf, size_t count, bool whole);

// Storage for I/O, mapped rather than taken from malloc(), which would set
// up its arena for one block: a measurable part of an empty job's
// start-up. Null when there is no room.
char *map_storage(size_t size);

#endif
