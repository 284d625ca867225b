#include "diagnostics.h"
#include "full_io.h"
#include "print_job.h"
#include "print_settings.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// Relays one named file, `files_after` more after it. A file that cannot be
// opened or read is reported and contributes what it could; only a failed
// output returns false.
static bool relay_file(const char *name, int files_after)
{
    // "-" is standard input, which is read to its end once: a second "-"
    // finds nothing more. "./-" names the file.
    static bool stdin_taken;
    if (strcmp(name, "-") == 0) {
        if (stdin_taken)
            return true;
        stdin_taken = true;
        in_fd = STDIN_FILENO;
        return relay_source(in_fd, "stdin", files_after);
    }
    in_fd = open_input(name);
    if (in_fd < 0) {
        report_failure(name, errno);
        return true;
    }
    bool output_ok = relay_source(in_fd, name, files_after);
    close(in_fd);
    return output_ok;
}

void relay_file_list(int argc, char **argv)
{
    char separator = lf_separator != 0 ? '\n' : '\f';
    for (int i = first_file; i < argc; i++) {
        if (!relay_file(argv[i], argc - 1 - i))
            return;
        if (i < argc - 1 && !emit(&separator, 1))
            return;
    }
}
