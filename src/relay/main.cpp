#include "../cli/options.h"
#include "diagnostics.h"
#include "print_job.h"
#include "print_settings.h"
#include "signals.h"

#include <cstdlib>
#include <unistd.h>

// Hints for what commonly goes wrong at a terminal, before printer mode
// starts: operands that are not printed, and a printer that tmux hides.
static void give_hints(int argc)
{
    if (first_file <= 0 && optind < argc && isatty(STDIN_FILENO))
        report("reading standard input; the operands are printed only with -f", "", "", "");
    if (passthrough == 0 && getenv("TMUX") != nullptr && isatty(out_fd))
        report("inside tmux the printer is reached only with -p (and tmux's allow-passthrough on)", "", "", "");
}

int main(int argc, char **argv)
{
    scan_options(argc, argv);
    if (!allocate_relay_buffer())
        return exit_status;
    install_signal_handlers();
    give_hints(argc);
    open_frame();
    if (first_file <= 0)
        relay_source("stdin");
    else
        relay_file_list(argc, argv);
    if (final_form_feed == 1)
        emit("\f", 1);
    close_frame();
    return exit_status;
}
