// The name the platform's start-up shows for this program in --help and in its messages.
#include "teskel/ui_program.h"

const char *teskel_program_name = "pemblo";
