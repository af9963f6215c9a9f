// Defaults and range checks of the two option structs of the public header.
#pragma once

#include "vclone.h"

// The cores this process may run on.
int available_cores();

// Whether every field is in range and every reserved word zero. On failure
// records a message naming the first bad field and its range.
bool check_load_options(const vclone_load_options &options);
bool check_options(const vclone_options &options);
