#include "options.h"

#include "../relay/diagnostics.h"
#include "../relay/full_io.h"
#include "../relay/print_settings.h"
#include "getopt_order.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// Shown by --help after the usage text: the options it does not list, and
// what "-" means among the files.
static const char more_options_text[] =
    "MORE OPTIONS:\n"
    "\t -p  Print from inside tmux or GNU screen, whichever the environment\n"
    "\t     names (TMUX, STY).\n"
    "\t -P LIST  Print through the multiplexers in LIST, innermost first:\n"
    "\t          up to 4 of tmux and screen, comma-separated (screen,tmux).\n"
    "\t -r  On a terminal, send every byte as it is (no CR before LF).\n"
    "With '-f', a file named - is stdin, read once (./- names the file).\n"
    "\n";

void show_usage()
{
    // In full, even to a non-blocking pipe that is nearly full.
    write_out(STDOUT_FILENO, usage_text, sizeof usage_text - 1, true);
    exit(255);
}

// Writes an answer that was asked for on standard output and ends the
// process: 0 once all of it is written.
[[noreturn]] static void answer(const char *first, size_t first_length, const char *second, size_t second_length)
{
    if (write_out(STDOUT_FILENO, first, first_length, true) < 0 ||
        write_out(STDOUT_FILENO, second, second_length, true) < 0) {
        report_failure("stdout", errno);
        exit(1);
    }
    exit(0);
}

// An argument made of two hyphens and a word, which getopt would take for
// option letters: --help, --version, or an unknown option named whole.
[[noreturn]] static void long_option(const char *arg)
{
    static const char version_text[] = "quillpass " QUILLPASS_VERSION "\n";
    if (strcmp(arg, "--help") == 0)
        answer(usage_text, sizeof usage_text - 1, more_options_text, sizeof more_options_text - 1);
    if (strcmp(arg, "--version") == 0)
        answer(version_text, sizeof version_text - 1, "", 0);
    report("unknown option '", arg, "'", "");
    show_usage();
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

bool parse_layers(const char *text)
{
    layer_kind named[max_layers];
    int count = 0;
    for (const char *at = text;; at++) {
        size_t length = strcspn(at, ",");
        layer_kind kind;
        if (length == 4 && strncmp(at, "tmux", 4) == 0)
            kind = tmux_layer;
        else if (length == 6 && strncmp(at, "screen", 6) == 0)
            kind = screen_layer;
        else
            return false;
        if (count == max_layers)
            return false;
        named[count++] = kind;
        at += length;
        if (*at == '\0')
            break;
    }
    memcpy(layers, named, sizeof named);
    layer_count = count;
    return true;
}

// -p: the one multiplexer the environment names.
static void choose_layer()
{
    bool in_tmux = getenv("TMUX") != nullptr, in_screen = getenv("STY") != nullptr;
    if (in_tmux && in_screen) {
        report("both TMUX and STY are set: name the multiplexers with -P, innermost first", "", "", "");
        show_usage();
    }
    layers[0] = in_screen ? screen_layer : tmux_layer;
    layer_count = 1;
}

// The letter getopt stopped at, as a string to report.
static const char *option_name(int letter)
{
    static char name[2];
    name[0] = static_cast<char>(letter);
    return name;
}

// What the scan has seen that takes effect only once the whole command
// line is known to be good.
static bool file_mode, one_layer, layers_named, tty_wanted;
static int tty_error;

// -t: the first one opens the controlling terminal.
static void want_tty()
{
    if (tty_wanted)
        return;
    tty_wanted = true;
    out_fd = open("/dev/tty", O_WRONLY);
    output_name = "/dev/tty";
    if (out_fd < 0)
        tty_error = errno;
}

// Applies one option letter that getopt returned, with its value.
static void apply_option(int letter, const char *value)
{
    switch (letter) {
    case 'S':
        lf_separator = 1;
        break;
    case 'n':
        final_form_feed = 1;
        break;
    case 't':
        want_tty();
        break;
    case 'f':
        file_mode = true;
        break;
    case 'b':
        if (!parse_buffer_size(value, &buffer_size)) {
            report("invalid buffer size '", value, "'", "");
            show_usage();
        }
        break;
    case 'p':
        one_layer = true;
        break;
    case 'P':
        if (!parse_layers(value)) {
            report("invalid multiplexer list '", value, "': up to 4 of tmux and screen, innermost first, comma-separated", "");
            show_usage();
        }
        layers_named = true;
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

// The settings that wait for the end of the scan.
static void finish_scan()
{
    if (file_mode)
        first_file = optind;
    if (one_layer && !layers_named)
        choose_layer();
    // Reported only once the whole command line is known to be good.
    if (tty_error == ENXIO) {
        report("-t needs a controlling terminal, and this process has none", "", "", "");
        exit(1);
    }
    if (tty_error != 0) {
        report_failure("/dev/tty", tty_error);
        exit(1);
    }
}

void scan_options(int argc, char **argv)
{
    // The leading ':' makes getopt tell a missing value (':') from an
    // unknown letter ('?').
    static const char option_letters[] = GETOPT_STOP_AT_OPERAND ":Sntfb:prP:";
    opterr = 0;
    // getopt moves optind on only once it has taken all of an argument, so
    // an optind that the last call left unchanged is inside one (-nS); at
    // the start of one, "--help" is seen here before getopt reads letters.
    int previous = 0;
    while (optind < argc) {
        const char *arg = argv[optind];
        if (optind != previous && arg[0] == '-' && arg[1] == '-' && arg[2] != '\0')
            long_option(arg);
        previous = optind;
        int c = getopt(argc, argv, option_letters);
        if (c == -1)
            break;
        apply_option(c, optarg);
    }
    finish_scan();
}
