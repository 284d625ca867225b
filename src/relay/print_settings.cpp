#include "print_settings.h"

int32_t out_fd = 1;
int32_t buffer_size = 512;
uint8_t lf_separator = 0;
uint8_t final_form_feed = 0;
int32_t first_file = 0;
int32_t in_fd = 0;
uint8_t raw_output = 0;
const char *output_name = "stdout";
int32_t layer_count = 0;
layer_kind layers[max_layers];
