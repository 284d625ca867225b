#ifndef QUILLPASS_OPTIONS_H
#define QUILLPASS_OPTIONS_H

#include <cstdint>

// Largest chunk -b accepts: 16 MiB.
constexpr int32_t max_buffer_size = 16 * 1024 * 1024;

void scan_options(int argc, char **argv);
[[noreturn]] void show_usage();

// Accepts only decimal digits with a value from 1 to max_buffer_size.
bool parse_buffer_size(const char *text, int32_t *size);
// Fills in the multiplexers from a list such as "screen,tmux"; false, and
// nothing changed, for anything but 1 to 4 of tmux and screen.
bool parse_layers(const char *text);

#endif
