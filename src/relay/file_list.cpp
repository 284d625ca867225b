#include "print_settings.h"
#include "relay.h"

void relay_file_list(int, char **)
{
    // Named files are not relayed yet: a file-list body is empty.
}
