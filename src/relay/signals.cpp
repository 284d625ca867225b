#include "signals.h"

#include "diagnostics.h"
#include "print_job.h"
#include "print_settings.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

// What the handlers note for the job. A stop remembers how many SIGCONTs
// had arrived by then: one more since means it was cancelled.
static volatile sig_atomic_t pending_fatal, pending_stop, stop_mark, continues;
// Set while the job waits for input, when a handler may act at once, and
// while it acts, when handlers only note.
static volatile sig_atomic_t waiting, acting;

static const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ};
static const int stop_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

static bool is_stop(int sig)
{
    return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// Whether the job may use its terminal: the output is not our controlling
// terminal, or our process group is in its foreground.
static bool in_foreground()
{
    pid_t front = tcgetpgrp(out_fd);
    return front == -1 || front == getpgrp();
}

static void set_action(int sig, void (*handler)(int), struct sigaction *previous = nullptr)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    // A second fatal signal must reach a job stuck writing; nothing is
    // restarted, so that a write in flight returns and the job can act.
    action.sa_flags = handler == SIG_DFL || is_stop(sig) || sig == SIGCONT ? 0 : SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, previous);
}

// Ends the process by the signal's default action, so that its parent
// sees the real cause.
[[noreturn]] static void die_of(int sig)
{
    set_action(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    _exit(128 + sig);
}

[[noreturn]] static void die(int sig)
{
    // No stop sequence is owed to a pipe or file that is gone.
    leave_printer_mode(sig != SIGPIPE && sig != SIGXFSZ);
    flush_diagnostics();
    die_of(sig);
}

// Stops by the signal's default action, which the kernel discards for an
// orphaned process group: nothing could ever continue it.
static void stop_by_default(int sig, bool whole_group)
{
    sigset_t only, saved;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_BLOCK, &only, &saved);
    struct sigaction ours;
    set_action(sig, SIG_DFL, &ours);
    if (whole_group)
        kill(0, sig);
    else
        raise(sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr); // the stop takes effect here
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    sigaction(sig, &ours, nullptr);
}

bool await_foreground()
{
    while (pending_fatal == 0 && !in_foreground()) {
        sig_atomic_t before = continues;
        // As the terminal would stop a job writing under `stty tostop`.
        stop_by_default(SIGTTOU, true);
        if (continues == before)
            break; // not stopped: an orphaned group carries on
    }
    return pending_fatal == 0;
}

static void suspend(int sig, sig_atomic_t mark)
{
    if (continues != mark)
        return; // continued before it could stop
    bool was_running = job_running();
    leave_printer_mode(true);
    if (pending_fatal != 0)
        return;
    if (continues == mark)
        stop_by_default(sig, false);
    if (was_running)
        enter_printer_mode();
}

void take_pending_signals()
{
    if (acting || !signals_pending())
        return;
    acting = 1;
    sigset_t saved;
    hold_tty_output_stop(&saved);
    for (;;) {
        if (pending_fatal != 0)
            die(pending_fatal);
        int sig = pending_stop;
        if (sig == 0)
            break;
        sig_atomic_t mark = stop_mark;
        pending_stop = 0;
        suspend(sig, mark);
    }
    restore_signal_mask(&saved);
    acting = 0;
}

void with_signals_noted(void (*step)())
{
    if (acting) {
        step();
        return;
    }
    acting = 1;
    step();
    acting = 0;
    take_pending_signals();
}

bool signals_pending()
{
    return pending_fatal != 0 || pending_stop != 0;
}

static void on_signal(int sig)
{
    int saved_errno = errno;
    if (sig == SIGCONT) {
        continues = continues + 1;
        // Continued in the background after a stop we did not see
        // (SIGSTOP): leave printer mode as for a stop.
        if (!acting && job_running() && !in_foreground()) {
            stop_mark = continues;
            pending_stop = SIGTTOU;
        }
    } else if (is_stop(sig)) {
        stop_mark = continues;
        pending_stop = sig;
    } else {
        // A second death while the first waits on a write that cannot
        // finish ends the job at once.
        if (pending_fatal != 0)
            die_of(sig);
        pending_fatal = sig;
    }
    if (waiting && !acting)
        take_pending_signals();
    errno = saved_errno;
}

// A signal our caller chose to ignore (a background job of a
// non-interactive shell ignores SIGINT) stays ignored. One sigaction a
// signal: the handler goes in and, where the signal was ignored, the old
// action back, all while the signals are blocked; putting SIG_IGN back
// discards one that came meanwhile.
static void install(int sig)
{
    struct sigaction previous;
    set_action(sig, on_signal, &previous);
    if (previous.sa_handler == SIG_IGN)
        sigaction(sig, &previous, nullptr);
}

void install_signal_handlers()
{
    sigset_t all, saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    for (int sig : fatal_signals)
        install(sig);
    for (int sig : stop_signals)
        install(sig);
    install(SIGCONT);
    restore_signal_mask(&saved);
}

void begin_wait_for_input()
{
    waiting = 1;
    take_pending_signals();
}

void end_wait_for_input()
{
    waiting = 0;
}

void hold_tty_output_stop(sigset_t *saved)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTTOU);
    sigprocmask(SIG_BLOCK, &set, saved);
}

void restore_signal_mask(const sigset_t *saved)
{
    sigprocmask(SIG_SETMASK, saved, nullptr);
}
