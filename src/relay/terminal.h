#ifndef QUILLPASS_TERMINAL_H
#define QUILLPASS_TERMINAL_H

// The output's terminal: whether the output is one, whether it is the
// controlling terminal of our session, which process group owns it, and
// the settings the job changes while it prints.

// Looks at the output once, before the job.
void find_output_terminal();
bool output_is_terminal();
// The job is at a terminal only when its output is its controlling
// terminal; anything else (a pipe, a file, another session's terminal)
// has no foreground to wait for. A terminal-only call is made only on a
// descriptor that is a terminal: FreeBSD answers some of them on a pipe.
bool output_is_our_terminal();
// Whether the job may use its output: it is not at a terminal, or its
// process group owns the terminal. The one place that asks.
bool in_foreground();
// Whether the job leads its own session (ssh -t host quillpass, xterm -e
// quillpass): nothing could ever continue it once stopped.
bool leads_session();

// While the job prints on a terminal: no echo, so typed keys reach paper
// only as data; tostop, so the kernel stops every other writer in the
// background; noflsh, so Ctrl-C, Ctrl-\ and Ctrl-Z throw no queued output
// away; no discard key (Ctrl-O), which throws all output away; no kernel
// status line at Ctrl-T; no imaxbel, ixoff or ixany, with which the line
// discipline adds BELs, STOP and START to the output, or lets any key
// restart output the printer paused; with -r no output processing. On a
// terminal the user owns, no messages from other users (mesg n, biff n).
// Read afresh each time.
void apply_printing_settings();
// While the settings are applied to a job wrapped for multiplexers (or
// with -r), the output flags (c_oflag) whose processing the program does
// itself, with the line's output processing off; 0 when there is none to
// do; -1 when the line may process the output (not a terminal, or flags
// the program cannot reproduce). *iflags: the input flags then.
long output_processing_done_here(long *iflags);
// Puts the settings and the permission bits found back, once queued
// output has drained; where the terminal does not drain, at once, and
// says so.
void restore_settings();
// The same at once, from a signal handler.
void restore_settings_at_once();
// Makes sure the terminal writes what it is given: output discarding
// (FLUSHO) set behind the job's back would swallow the stop sequence.
// Async-signal-safe.
void stop_discarding_output();

#endif
