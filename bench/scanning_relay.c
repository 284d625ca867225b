/* The least a relay that must look at every byte can do: the frame, and a
 * read/write loop in 128 KiB chunks (or as many bytes as its argument says,
 * up to that) that finds every ESC and every 0x9B in each chunk with memchr
 * before writing it. bench/run.sh measures quillpass against it, and it
 * against dd in 512-byte chunks. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char buf[131072];

int main(int argc, char **argv)
{
    ssize_t n;
    size_t found = 0, size = argc > 1 ? strtoul(argv[1], NULL, 10) : sizeof buf;
    if (size == 0 || size > sizeof buf)
        size = sizeof buf;
    write(1, "\033[5i", 4);
    while ((n = read(0, buf, size)) > 0) {
        const char *end = buf + n, *p;
        for (p = buf; (p = (const char *)memchr(p, 0x1b, (size_t)(end - p))) != NULL; p++)
            found++;
        for (p = buf; (p = (const char *)memchr(p, 0x9b, (size_t)(end - p))) != NULL; p++)
            found++;
        write(1, buf, (size_t)n);
    }
    write(1, "\033[4i", 4);
    return found == (size_t)-1;
}
