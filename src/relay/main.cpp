#include "../cli/options.h"
#include "diagnostics.h"
#include "frame.h"
#include "layer_query.h"
#include "print_job.h"
#include "print_settings.h"
#include "terminal.h"

#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

// The key that a terminal setting names ("Ctrl-D"), in `name`; null when
// the setting is off or names no key that can be shown.
static const char *key_name(cc_t key, char (&name)[8])
{
    if (key == _POSIX_VDISABLE)
        return nullptr;
    if (key < 0x20 || key == 0x7f) {
        memcpy(name, "Ctrl-", 5);
        name[5] = static_cast<char>(key ^ 0x40);
        name[6] = '\0';
    } else if (key < 0x7f) {
        name[0] = '\'';
        name[1] = static_cast<char>(key);
        name[2] = '\'';
        name[3] = '\0';
    } else {
        return nullptr;
    }
    return name;
}

// Typed data is not shown while the job prints, so a job that reads the
// keyboard says so, and which keys end and cancel it, as the terminal is
// set up now.
static void keyboard_hint(bool operands_ignored)
{
    struct termios t;
    char eof[8], intr[8], line[128] = "reading the keyboard";
    if (operands_ignored)
        strcat(line, " (the operands are printed only with -f)");
    if (tcgetattr(STDIN_FILENO, &t) != 0) {
        report(line, "", "", "");
        return;
    }
    const char *eof_key = (t.c_lflag & ICANON) != 0 ? key_name(t.c_cc[VEOF], eof) : nullptr;
    const char *intr_key = (t.c_lflag & ISIG) != 0 ? key_name(t.c_cc[VINTR], intr) : nullptr;
    const char *between = "; ";
    if (eof_key != nullptr) {
        strcat(strcat(strcat(line, between), eof_key), " ends the job");
        between = ", ";
    }
    if (intr_key != nullptr)
        strcat(strcat(strcat(line, between), intr_key), " cancels it");
    report(line, "", "", "");
}

// Whether the data comes from a terminal: standard input is printed, or
// named as "-" among the files.
static bool reads_keyboard(int argc, char **argv)
{
    bool reads_stdin = first_file <= 0;
    for (int i = first_file; i > 0 && i < argc; i++)
        reads_stdin = reads_stdin || strcmp(argv[i], "-") == 0;
    return reads_stdin && isatty(STDIN_FILENO);
}

// Hints for what commonly goes wrong at a terminal, before printing starts:
// data typed at the keyboard (standard input is a terminal), and a printer
// behind a multiplexer (the output is a terminal).
static void give_hints(int argc, char **argv)
{
    if (reads_keyboard(argc, argv))
        keyboard_hint(first_file <= 0 && optind < argc);
    if (layer_count > 0 || !output_is_terminal())
        return;
    bool in_tmux = getenv("TMUX") != nullptr, in_screen = getenv("STY") != nullptr;
    if (in_tmux && in_screen)
        report("inside tmux and screen the printer is reached only with -P, naming them innermost first", "", "", "");
    else if (in_tmux)
        report("inside tmux the printer is reached only with -p (and tmux's allow-passthrough on)", "", "", "");
    else if (in_screen)
        report("inside screen the job reaches the printer in pieces, a printer run each; -p prints it in one", "", "", "");
}

// What the multiplexers must say before anything is written: whether
// screen's window decodes UTF-8; whether the tmux the job runs in passes
// strings on at all (false: it does not, and the job must not begin).
static bool ask_layers()
{
    for (int i = 0; i < layer_count; i++)
        if (layers[i] == screen_layer) {
            set_screen_utf8(screen_window_utf8());
            break;
        }
    if (layer_count == 0 || layers[0] != tmux_layer || !output_is_terminal() || tmux_passes_through() != 0)
        return true;
    report("tmux's allow-passthrough is off here, so nothing would reach the printer; nothing printed. "
           "Turn it on with `tmux set -p allow-passthrough on` (this pane) or `tmux set -g allow-passthrough on` (every pane)",
           "", "", "");
    exit_status = 1;
    return false;
}

int main(int argc, char **argv)
{
    scan_options(argc, argv);
    if (!allocate_relay_buffer())
        return exit_status;
    install_job_signal_handlers();
    find_output_terminal();
    give_hints(argc, argv);
    if (!ask_layers())
        return exit_status;
    begin_job();
    if (first_file <= 0)
        relay_source(in_fd, "stdin");
    else
        relay_file_list(argc, argv);
    if (final_form_feed == 1) {
        char form_feed = '\f';
        emit(&form_feed, 1);
    }
    end_job();
    return exit_status;
}
