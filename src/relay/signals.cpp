#include "signals.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

// What the handlers note. A stop remembers how many SIGCONTs had arrived
// by then: one more since means it was cancelled.
static volatile sig_atomic_t death, stop, stop_mark, continued, continue_count;
// Set while the job waits for input, when a handler may act at once, and
// while it acts, when handlers only note.
static volatile sig_atomic_t waiting, acting;

static void (*act_now_hook)();
static void (*last_resort_hook)(bool);
static sigset_t ignored; // at start, and so for good

// Every signal whose default action ends the process, but the faults below
// and the real-time ones. SIGIO ends a process on Linux only; the BSDs
// ignore it by default.
static const int death_signals[] = {
    SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU, SIGALRM,
    SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGSYS, SIGTRAP,
#if defined(__linux__)
    SIGIO, // also SIGPOLL
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGTHR
    SIGTHR, // FreeBSD's threads library keeps it for itself, where loaded
#endif
#ifdef SIGLIBRT
    SIGLIBRT,
#endif
};
// Faults: raised by the program itself at any point, so they cannot wait.
static const int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
static const int stop_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

static bool is_stop(int sig)
{
    return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

static int set_action(int sig, void (*handler)(int), int flags, struct sigaction *previous = nullptr)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags; // never SA_RESTART: a write in flight returns, so the job can act
    sigemptyset(&action.sa_mask);
    return sigaction(sig, &action, previous);
}

void die_of(int sig)
{
    set_action(sig, SIG_DFL, 0);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void stop_by_default(int sig, bool whole_group)
{
    sigset_t only, saved;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_BLOCK, &only, &saved);
    struct sigaction ours;
    set_action(sig, SIG_DFL, 0, &ours);
    if (whole_group)
        kill(0, sig);
    else
        raise(sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr); // the stop takes effect here
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    sigaction(sig, &ours, nullptr);
}

static void on_signal(int sig)
{
    int saved_errno = errno;
    if (sig == SIGCONT) {
        continue_count = continue_count + 1;
        if (!acting)
            continued = 1;
    } else if (is_stop(sig)) {
        stop_mark = continue_count;
        stop = sig;
    } else {
        // A second death while the first cannot finish (an output that
        // does not drain) ends the job at once.
        if (death != 0) {
            last_resort_hook(false);
            die_of(sig);
        }
        death = sig;
    }
    if (waiting && !acting)
        act_now_hook();
    errno = saved_errno;
}

static void on_fault(int sig)
{
    last_resort_hook(true);
    die_of(sig);
}

// One sigaction a signal: the handler goes in and, where the signal was
// ignored, the old action back, all while the signals are blocked; putting
// SIG_IGN back discards one that came meanwhile. The C library refuses the
// signals it keeps for itself.
static void install(int sig, void (*handler)(int), int flags)
{
    struct sigaction previous;
    if (set_action(sig, handler, flags, &previous) != 0)
        return;
    if (previous.sa_handler == SIG_IGN) {
        sigaction(sig, &previous, nullptr);
        sigaddset(&ignored, sig);
    }
}

void install_signal_handlers(void (*act_now)(), void (*last_resort)(bool))
{
    act_now_hook = act_now;
    last_resort_hook = last_resort;
    sigset_t all, saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    sigemptyset(&ignored);
    // A second death must reach a job stuck acting on the first.
    for (int sig : death_signals)
        install(sig, on_signal, SA_NODEFER);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        install(sig, on_signal, SA_NODEFER);
#endif
    for (int sig : fault_signals)
        install(sig, on_fault, SA_NODEFER | SA_RESETHAND);
    for (int sig : stop_signals)
        install(sig, on_signal, 0);
    install(SIGCONT, on_signal, 0);
    restore_signal_mask(&saved);
}

bool signals_pending()
{
    return death != 0 || stop != 0 || continued != 0;
}

int pending_death()
{
    return death;
}

int take_stop(long *mark)
{
    int sig = stop;
    *mark = stop_mark;
    stop = 0;
    return sig;
}

bool take_continue()
{
    bool was = continued != 0;
    continued = 0;
    return was;
}

long continues()
{
    return continue_count;
}

bool ignored_at_start(int sig)
{
    return sigismember(&ignored, sig) == 1;
}

bool begin_acting()
{
    if (acting)
        return false;
    acting = 1;
    return true;
}

void end_acting()
{
    acting = 0;
}

void begin_wait_for_input()
{
    waiting = 1;
    if (signals_pending() && !acting)
        act_now_hook();
}

void end_wait_for_input()
{
    waiting = 0;
}

void block_tty_output_stop(sigset_t *saved)
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
