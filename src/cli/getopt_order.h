#ifndef QUILLPASS_GETOPT_ORDER_H
#define QUILLPASS_GETOPT_ORDER_H

#include <unistd.h>

// Options end at the first operand, and nothing is reordered. glibc's getopt
// moves operands behind the options unless the option string starts with '+';
// the BSD getopt already stops at the first operand and would take '+' for an
// option letter.
#if defined(__GLIBC__)
#define GETOPT_STOP_AT_OPERAND "+"
#else
#define GETOPT_STOP_AT_OPERAND ""
#endif

#endif
