#ifndef QUILLPASS_PRINT_SETTINGS_H
#define QUILLPASS_PRINT_SETTINGS_H

#include <cstdint>

// The run's settings and the two descriptors the relay copies between.
// The option scanner fills them in; after that only the file list changes
// in_fd, once per file it opens.
extern int32_t out_fd;          // where every byte of the output goes
extern int32_t buffer_size;     // bytes asked for in each read
extern uint8_t lf_separator;    // separate files with LF instead of FF
extern uint8_t final_form_feed; // one FF after the body
extern int32_t first_file;      // 0: relay stdin; else argv index of the first file
extern int32_t in_fd;           // the descriptor being relayed
extern uint8_t raw_output;      // no output post-processing on a terminal
extern const char *output_name; // the output as diagnostics name it

// The terminal multiplexers between the program and the terminal,
// innermost first; the output is wrapped for each of them.
enum layer_kind : uint8_t { tmux_layer, screen_layer };
constexpr int max_layers = 4;
extern int32_t layer_count;
extern layer_kind layers[max_layers];

#endif
