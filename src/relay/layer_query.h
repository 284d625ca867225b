#ifndef QUILLPASS_LAYER_QUERY_H
#define QUILLPASS_LAYER_QUERY_H

// Questions for the multiplexers the job runs in, asked before anything is
// written by running their own command-line clients (no shell), each
// answer awaited for two seconds at most.

// Whether the window of the innermost screen decodes UTF-8: screen is
// asked where STY names it (screen -Q info); where it cannot be asked,
// whether the job's locale is UTF-8.
bool screen_window_utf8();

// Whether the tmux that TMUX names lets passthrough strings from this pane
// through (allow-passthrough): 1 yes, 0 no, -1 when it cannot be asked (no
// TMUX, no tmux client, a tmux without the option).
int tmux_passes_through();

#endif
