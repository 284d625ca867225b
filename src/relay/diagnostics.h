#ifndef QUILLPASS_DIAGNOSTICS_H
#define QUILLPASS_DIAGNOSTICS_H

// While the terminal may be in printer mode, anything written to it would
// land on paper, so messages are held until the job has left it, in a
// store of bounded size. report() writes "quillpass: BEFORE NAME AFTER
// REASON", with NAME made safe for a terminal.
void report(const char *before, const char *name, const char *after, const char *reason);
// Reports "quillpass: NAME: strerror" and makes the exit status 1.
void report_failure(const char *name, int err);

// Holds messages from now until flush_diagnostics().
void hold_diagnostics();
// Writes what is held. Returns false when a signal cut it short and waits
// to be acted on; the next call goes on where this one stopped, so no
// message is written twice.
bool flush_diagnostics();

// value in decimal, in text.
const char *decimal(unsigned long value, char (&text)[24]);

extern int exit_status; // 0, or 1 after any reported failure

#endif
