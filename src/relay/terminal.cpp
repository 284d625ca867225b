#include "terminal.h"

#include "diagnostics.h"
#include "print_settings.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static bool is_terminal, is_ours;
// The settings and the permission bits found when the job last changed
// them, while changed.
static volatile sig_atomic_t changed, mode_changed;
static struct termios found;
static volatile mode_t found_mode;

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
// processing itself, exactly as the line would, with the line's off.
static long take_over_output_processing(struct termios *printing)
{
    if (raw_output == 0 && layer_count == 0)
        return -1;
    if (raw_output != 0 || (found.c_oflag & OPOST) == 0) {
        printing->c_oflag &= ~static_cast<tcflag_t>(OPOST);
        return 0;
    }
    long flags = static_cast<long>(printing->c_oflag);
    printing->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    return flags;
}

long output_processing_done_here(long *iflags)
{
    *iflags = iflags_here;
    return done_here;
}

// What the job changes in the settings found (see terminal.h).
static struct termios printing_settings(const struct termios &user)
{
    struct termios printing = user;
    printing.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    printing.c_lflag |= TOSTOP | NOFLSH;
#ifdef NOKERNINFO
    printing.c_lflag |= NOKERNINFO;
#endif
    printing.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
#ifdef IMAXBEL
    printing.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
#ifdef VDISCARD
    printing.c_cc[VDISCARD] = _POSIX_VDISABLE;
#endif
    // Output processing that would change the frame's own sequences or the
    // bytes of the data's: mapping to upper case makes the start sequence
    // ESC [ 5 I, which starts nothing, and dropping Ctrl-D would join
    // ESC [ ^D 4 i in the data into a stop sequence.
#ifdef OLCUC
    printing.c_oflag &= ~static_cast<tcflag_t>(OLCUC);
#endif
#ifdef ONOEOT
    printing.c_oflag &= ~static_cast<tcflag_t>(ONOEOT);
#endif
    return printing;
}

static bool same_settings(const struct termios &a, const struct termios &b)
{
#ifdef VDISCARD
    if (a.c_cc[VDISCARD] != b.c_cc[VDISCARD])
        return false;
#endif
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag;
}

// Takes the write bits of group and others and the execute bits of owner
// and group off a terminal the user owns, as `mesg n` and `biff n` do:
// write, talk and comsat write to a terminal that lets them, and tostop
// cannot hold them back, as they are not of our session. Where the bits
// cannot change, they stay as they are, without a word. A descriptor
// opened as /dev/tty stays on that node on Linux, which every user
// shares: its bits are left alone.
static void refuse_messages()
{
    struct stat st, shared;
    if (mode_changed || fstat(out_fd, &st) != 0 || st.st_uid != geteuid() ||
        (stat("/dev/tty", &shared) == 0 && shared.st_rdev == st.st_rdev))
        return;
    mode_t mode = st.st_mode & 07777;
    mode_t closed = mode & ~static_cast<mode_t>(S_IWGRP | S_IWOTH | S_IXUSR | S_IXGRP);
    if (closed != mode && fchmod(out_fd, closed) == 0) {
        found_mode = mode;
        mode_changed = 1;
    }
}

// Async-signal-safe.
static void allow_messages()
{
    if (!mode_changed)
        return;
    int err = errno;
    fchmod(out_fd, found_mode);
    errno = err;
    mode_changed = 0;
}

void apply_printing_settings()
{
    if (!is_terminal)
        return;
    refuse_messages();
    struct termios now;
    if (changed || tcgetattr(out_fd, &now) != 0)
        return;
    found = now;
#ifdef FLUSHO
    // Output being thrown away (Ctrl-O) is no setting to keep: the frame
    // must reach the terminal, and so must what follows the job.
    found.c_lflag &= ~static_cast<tcflag_t>(FLUSHO);
#endif
    struct termios printing = printing_settings(found);
    long here = take_over_output_processing(&printing);
    iflags_here = static_cast<long>(found.c_iflag);
    if (same_settings(printing, now)) {
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

void stop_discarding_output()
{
#ifdef FLUSHO
    int err = errno;
    struct termios now;
    if (is_terminal && tcgetattr(out_fd, &now) == 0 && (now.c_lflag & FLUSHO) != 0) {
        now.c_lflag &= ~static_cast<tcflag_t>(FLUSHO);
        set_terminal(TCSANOW, &now);
    }
    errno = err;
#endif
}

void restore_settings()
{
    if (changed && set_terminal(TCSADRAIN, &found) != 0) {
        // FreeBSD gives up draining after kern.tty_drainwait and applies
        // nothing: the settings must go back all the same.
        int err = errno;
        if (set_terminal(TCSANOW, &found) == 0)
            report("", output_name, ": the output did not drain; settings put back at once: ", strerror(err));
    }
    changed = 0;
    allow_messages();
    done_here = -1;
}

void restore_settings_at_once()
{
    if (changed) {
        set_terminal(TCSANOW, &found);
        changed = 0;
    }
    allow_messages();
}
