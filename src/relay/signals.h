#ifndef QUILLPASS_SIGNALS_H
#define QUILLPASS_SIGNALS_H

#include <csignal>

// The signal handlers and what they note. A handler only notes a signal;
// the job decides what it means and acts on it at a point where the output
// may be left. Two cases cannot wait for such a point: while the job waits
// for input nothing is half written, so the handler calls `act_now` at
// once; and a second death, or a fault the program raised itself, ends the
// process from the handler after `last_resort` has put the terminal right.

// Installs the handlers. A signal that was ignored when the program started
// stays ignored. last_resort(close_output) must be async-signal-safe; with
// close_output false the output is stuck and must not be written.
void install_signal_handlers(void (*act_now)(), void (*last_resort)(bool close_output));

// Whether a noted signal waits to be acted on.
bool signals_pending();
// The death waiting to be acted on, or 0.
int pending_death();
// Takes the stop waiting to be acted on, or returns 0. *mark is the count
// of continues when it was noted: a continue since then cancels it.
int take_stop(long *mark);
// Takes the note that the job was continued without having stopped itself
// (SIGSTOP, then SIGCONT): it may have been continued in the background.
bool take_continue();
// How many SIGCONTs have arrived.
long continues();
// Whether sig was ignored when the program started, and stays so.
bool ignored_at_start(int sig);

// While the job acts, handlers only note (the job acts on what they note
// when it is done); they never act at once. begin_acting() returns false
// when the job is acting already.
bool begin_acting();
void end_acting();

// Around a call that waits for input: noted signals are acted on before it,
// and new ones at once. Neither touches errno.
void begin_wait_for_input();
void end_wait_for_input();

// Stops the process as the signal's default action would: the kernel
// discards the stop for an orphaned process group. Returns once running.
void stop_by_default(int sig, bool whole_group);
// Ends the process by the signal's default action, so that its parent sees
// the real cause.
[[noreturn]] void die_of(int sig);

// Blocks SIGTTOU, so that the job may write to its terminal, or set it
// up, from the background.
void block_tty_output_stop(sigset_t *saved);
void restore_signal_mask(const sigset_t *saved);

#endif
