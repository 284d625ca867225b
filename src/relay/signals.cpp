#include "print_settings.h"
#include "relay.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

// While the frame is open the terminal shows nothing and prints everything,
// so a job that dies or stops must first take the terminal out of printer
// mode. Handlers only write with write_all, which is async-signal-safe.

static void on_fatal_signal(int sig)
{
    if (frame_open)
        write_all(out_fd, stop_sequence, sequence_length);
    flush_diagnostics();
    // SA_RESETHAND has restored the default action and SA_NODEFER leaves the
    // signal unblocked, so this ends the process with the caller seeing the
    // real cause, and a second signal while we write ends it too.
    raise(sig);
}

static void on_terminal_stop(int)
{
    int saved_errno = errno;
    bool was_open = frame_open;
    if (was_open)
        write_all(out_fd, stop_sequence, sequence_length);
    // SIGTSTP sent to ourselves would be discarded in an orphaned process
    // group; SIGSTOP never is.
    kill(getpid(), SIGSTOP);
    if (was_open)
        write_all(out_fd, start_sequence, sequence_length);
    errno = saved_errno;
}

static void install(int sig, void (*handler)(int), int flags)
{
    struct sigaction action = {}, previous;
    // A signal our caller chose to ignore (a background job of a
    // non-interactive shell ignores SIGINT) stays ignored.
    if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
        return;
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

void install_signal_handlers()
{
    static const int fatal[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int sig : fatal)
        install(sig, on_fatal_signal, SA_RESETHAND | SA_NODEFER | SA_RESTART);
    install(SIGTSTP, on_terminal_stop, SA_RESTART);
}

static sigset_t mask_before_hold;

void hold_terminal_stop()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTSTP);
    sigprocmask(SIG_BLOCK, &set, &mask_before_hold);
}

// Restores the mask as it was, so a SIGTSTP our caller blocked stays blocked.
void release_terminal_stop()
{
    sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr);
}
