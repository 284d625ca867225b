#include "../cli/options.h"
#include "diagnostics.h"
#include "frame.h"
#include "layer_query.h"
#include "print_job.h"
#include "print_settings.h"
#include "terminal.h"

#include <cstdlib>
#include <unistd.h>

// Hints for what commonly goes wrong at a terminal, before printing starts:
// operands that are not printed (standard input is a terminal), and a
// printer behind a multiplexer (the output is a terminal).
static void give_hints(int argc)
{
    if (first_file <= 0 && optind < argc && isatty(STDIN_FILENO))
        report("reading standard input; the operands are printed only with -f", "", "", "");
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
    give_hints(argc);
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
