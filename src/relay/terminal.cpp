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

// The output flags the program applies itself while the settings are
// applied, or -1 while the line (or nothing known) processes the output.
static long done_here = -1, iflags_here;

// With -r, no output processing. Wrapped for multiplexers, the program
// must know the bytes each layer receives, so it does the line's output
// processing itself, with the line's off, wherever it can do exactly
// what the line would.
static long take_over_output_processing(struct termios *printing)
{
    if (raw_output == 0 && layer_count == 0)
        return -1;
    if (raw_output != 0 || (found.c_oflag & OPOST) == 0) {
        printing->c_oflag &= ~static_cast<tcflag_t>(OPOST);
        return 0;
    }
#ifdef OLCUC
    if ((found.c_oflag & OLCUC) != 0)
        return -1; // case mapping: left to the line
#endif
    printing->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    return static_cast<long>(found.c_oflag);
}

long output_processing_done_here(long *iflags)
{
    *iflags = iflags_here;
    return done_here;
}

void apply_printing_settings()
{
    if (!is_terminal || changed || tcgetattr(out_fd, &found) != 0)
        return;
    struct termios printing = found;
    printing.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    printing.c_lflag |= TOSTOP;
    long here = take_over_output_processing(&printing);
    iflags_here = static_cast<long>(found.c_iflag);
    if (printing.c_lflag == found.c_lflag && printing.c_oflag == found.c_oflag) {
        done_here = here;
        return;
    }
    // Queued output drains first, so nothing written before is translated
    // differently.
    if (set_terminal(TCSADRAIN, &printing) == 0) {
        changed = 1;
        done_here = here;
    }
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
    done_here = -1;
}

void restore_settings_at_once()
{
    if (!changed)
        return;
    set_terminal(TCSANOW, &found);
    changed = 0;
}
