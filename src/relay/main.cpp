#include "../cli/options.h"
#include "print_settings.h"
#include "relay.h"

int main(int argc, char **argv)
{
    scan_options(argc, argv);
    if (!allocate_relay_buffer())
        return exit_status;
    install_signal_handlers();
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
