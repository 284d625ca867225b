#include "options.h"

#include "../relay/print_settings.h"
#include "../relay/diagnostics.h"
#include "getopt_order.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

static const char usage_text[] =
    "\n"
    "USAGE:  quillpass [-n] [-t] [-S] [-b<buffersize>] [-f file1 file2 ...]\n"
    "\t -n  Print a form-feed character after everything else.\n"
    "\t -S  Do NOT print a form-feed between each separate file specified on\n"
    "\t     the command line\n"
    "\t -t  Write output to /dev/tty instead of stdout (in case something is\n"
    "\t     trapping stdout)\n"
    "\t -b<buffersize>  Set the read/write buffer to <buffersize>.\n"
    "\t                 (default = 512 bytes)\n"
    "\n"
    "DEFAULT BEHAVIOR:\n"
    "Unless '-f' is specified, files on the command line are ignored and stdin is\n"
    "printed.  If '-f' is specified, stdin is ignored and the listed files printed.\n"
    "\n"
    "When multiple files are specified on the command line, a form-feed is printed\n"
    "after each file except the last.  This may be turned off with '-S'; then files\n"
    "will only be separated by a line feed.\n"
    "\n"
    "Quillpass does not recognize multiple files piped to stdin, and will print them\n"
    "as one big lump.\n"
    "\n";

void show_usage()
{
    fputs(usage_text, stdout);
    exit(255);
}

bool parse_buffer_size(const char *text, int32_t *size)
{
    int32_t value = 0;
    if (*text == '\0')
        return false;
    for (; *text != '\0'; text++) {
        if (*text < '0' || *text > '9')
            return false;
        value = value * 10 + (*text - '0');
        if (value > max_buffer_size)
            return false;
    }
    if (value == 0)
        return false;
    *size = value;
    return true;
}

// The letter getopt stopped at, as a string to report.
static const char *option_name(int letter)
{
    static char name[2];
    name[0] = static_cast<char>(letter);
    return name;
}

void scan_options(int argc, char **argv)
{
    // The leading ':' makes getopt tell a missing value (':') from an
    // unknown letter ('?').
    static const char option_letters[] = GETOPT_STOP_AT_OPERAND ":Sntfb:pr";
    bool file_mode = false;
    bool tty_wanted = false;
    int tty_error = 0;
    int c;

    opterr = 0;
    while ((c = getopt(argc, argv, option_letters)) != -1) {
        switch (c) {
        case 'S':
            lf_separator = 1;
            break;
        case 'n':
            final_form_feed = 1;
            break;
        case 't':
            if (!tty_wanted) {
                tty_wanted = true;
                out_fd = open("/dev/tty", O_WRONLY);
                if (out_fd < 0)
                    tty_error = errno;
            }
            break;
        case 'f':
            file_mode = true;
            break;
        case 'b':
            if (!parse_buffer_size(optarg, &buffer_size)) {
                report("invalid buffer size '", optarg, "'", "");
                show_usage();
            }
            break;
        case 'p':
            passthrough = 1;
            break;
        case 'r':
            raw_output = 1;
            break;
        case ':':
            report("option '-", option_name(optopt), "' needs a value", "");
            show_usage();
        default:
            report("unknown option '-", option_name(optopt), "'", "");
            show_usage();
        }
    }
    if (file_mode)
        first_file = optind;
    // Reported only once the whole command line is known to be good.
    if (tty_error != 0) {
        warn("/dev/tty", tty_error);
        exit(1);
    }
}
