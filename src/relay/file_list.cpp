#include "diagnostics.h"
#include "full_io.h"
#include "print_job.h"
#include "print_settings.h"

#include <cerrno>
#include <unistd.h>

// Relays one named file. A file that cannot be opened or read is reported
// and contributes what it could; only a failed output returns false.
static bool relay_file(const char *name)
{
    in_fd = open_input(name);
    if (in_fd < 0) {
        warn(name, errno);
        return true;
    }
    bool output_ok = relay_source(name);
    close(in_fd);
    return output_ok;
}

void relay_file_list(int argc, char **argv)
{
    const char separator = lf_separator != 0 ? '\n' : '\f';
    for (int i = first_file; i < argc; i++) {
        if (!relay_file(argv[i]))
            return;
        if (i < argc - 1 && !emit(&separator, 1))
            return;
    }
}
