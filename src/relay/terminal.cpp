#include "terminal.h"

#include "diagnostics.h"
#include "print_settings.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <termios.h>
#include <unistd.h>

static bool is_terminal, is_ours;
// The settings found when the job last changed them, while changed.
static volatile sig_atomic_t changed;
static struct termios found;

void find_output_terminal()
{
    is_terminal = isatty(out_fd) == 1;
    is_ours = is_terminal && tcgetsid(out_fd) == getsid(0);
}

bool output_is_terminal()
{
    return is_terminal;
}

bool output_is_our_terminal()
{
    return is_ours;
}

bool in_foreground()
{
    return !is_ours || tcgetpgrp(out_fd) == getpgrp();
}

bool leads_session()
{
    return getpgrp() == getsid(0);
}

// Sets the terminal with SIGTTOU blocked, so that a job in the background may
// put its settings back.
static int set_terminal(int when, const struct termios *settings)
{
    sigset_t saved;
    block_tty_output_stop(&saved);
    int result;
    while ((result = tcsetattr(out_fd, when, settings)) != 0 && errno == EINTR) {
    }
    int err = errno;
    restore_signal_mask(&saved);
    errno = err;
    return result;
}

void apply_printing_settings()
{
    if (!is_terminal || changed || tcgetattr(out_fd, &found) != 0)
        return;
    struct termios printing = found;
    printing.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    printing.c_lflag |= TOSTOP;
    if (raw_output != 0)
        printing.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (printing.c_lflag == found.c_lflag && printing.c_oflag == found.c_oflag)
        return;
    // Queued output drains first, so nothing written before is translated
    // differently.
    if (set_terminal(TCSADRAIN, &printing) == 0)
        changed = 1;
}

void restore_settings()
{
    if (!changed)
        return;
    if (set_terminal(TCSADRAIN, &found) != 0) {
        // FreeBSD gives up draining after kern.tty_drainwait and applies
        // nothing: the settings must go back all the same.
        int err = errno;
        if (set_terminal(TCSANOW, &found) == 0)
            report("", output_name, ": the output did not drain; settings put back at once: ", strerror(err));
    }
    changed = 0;
}

void restore_settings_at_once()
{
    if (!changed)
        return;
    set_terminal(TCSANOW, &found);
    changed = 0;
}
