#ifndef QUILLPASS_SIGNALS_H
#define QUILLPASS_SIGNALS_H

#include <csignal>

// Job control. The terminal is in printer mode only while the job runs in
// its foreground: a job that dies or stops takes it out of printer mode
// first, and a job continued in the background waits, stopped, until it is
// brought to the foreground before it goes back in.
//
// Handlers only note a signal, unless the job is waiting for input, when
// nothing is half written and they act at once. Otherwise the job acts on
// it as soon as the write in flight returns (take_pending_signals).

void install_signal_handlers();

// Whether a noted signal waits to be acted on.
bool signals_pending();
// Acts on noted signals: a death does not return; a stop returns once the
// job runs again in the foreground with its printer mode restored.
void take_pending_signals();

// Around a call that waits for input: signals are acted on at once.
// Neither touches errno.
void begin_wait_for_input();
void end_wait_for_input();

// Runs step, which moves the terminal into or out of printer mode, with
// signals only noted, then acts on them.
void with_signals_noted(void (*step)());

// Waits, stopped, while out_fd is a terminal whose foreground is another
// process group; where nothing could ever continue the job, carries on.
// Returns false when a death is pending instead.
bool await_foreground();

// Holds SIGTTOU off, so that the job may write to or set up its terminal
// from the background while it leaves printer mode.
void hold_tty_output_stop(sigset_t *saved);
void restore_signal_mask(const sigset_t *saved);

#endif
