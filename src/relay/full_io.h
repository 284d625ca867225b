#ifndef QUILLPASS_FULL_IO_H
#define QUILLPASS_FULL_IO_H

#include <cstddef>
#include <sys/types.h>

// Complete I/O on raw descriptors. All of it retries EINTR and waits with
// poll() when an inherited descriptor is non-blocking. A signal that needs
// the job's attention is taken at once while the job waits for input, and
// otherwise as soon as the write in flight returns at a point where the
// output may be left (see write_all).

// Reads what is there, up to count bytes: the bytes read, 0 at end of
// input, -1 on error with errno set.
ssize_t read_input(int fd, char *buf, size_t count);

// Opens a file to read from, waiting as read_input() does (a FIFO blocks
// until it has a writer).
int open_input(const char *name);

// One write() that makes progress: the bytes written; 0 when a signal cut
// it short and waits to be acted on; or -1 with errno set (ENOSPC for a
// device that accepts nothing). Takes no signals itself.
ssize_t write_some(int fd, const char *buf, size_t count);

// Writes all of buf. `breaks` lists the offsets, in increasing order and
// ending with count, at which the output may be left when a signal needs
// the job: a stop or a death then waits until the next one has been
// written. No breaks means the output may be left anywhere. Returns false
// on the first failure, with errno set.
bool write_all(int fd, const char *buf, size_t count, const size_t *breaks = nullptr, size_t nbreaks = 0);

#endif
