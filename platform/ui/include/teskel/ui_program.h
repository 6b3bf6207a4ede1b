// What a Win32 program built for the handheld provides so that teskel_ui_main can start it.
// teskel_ui_main defines main(): it parses the command line, opens the registry store and the UI
// session, loads the module from teskel_program_res and calls WinMain.
#pragma once

#include <windows.h>

// The program's entry point is WinMain, declared by windows.h as on the device.

extern "C" {
// The compiled resources (a standard 32-bit .res file as windres -O res writes it), linked in from
// a generated source (see teskel_embed_res in platform/ui/CMakeLists.txt).
extern const unsigned char teskel_program_res[];
extern const unsigned long teskel_program_res_size;
// The name shown by --help; a weak default ("program") stands when the program defines none.
extern const char *teskel_program_name;
}
