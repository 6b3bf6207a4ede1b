// The name the platform's start-up shows for this program in --help and in its messages.
extern "C" const char *teskel_program_name = "pemblo";
