#pragma once
#include <termios.h>

// What a signal that ends or suspends the run must undo first: the terminal's
// key mode and a temporary output file not yet renamed over its target.
// Ending signals (interrupt, quit, terminate, hang-up) then take their usual
// effect, so a shell sees the program killed by them (status 130 after
// Ctrl-C) and a script loop stops; Ctrl-Z leaves the terminal as it was
// found, and key mode comes back when the run continues in the foreground.

// Installs the handlers; again later is harmless.
void signals_install();

// The attributes to restore and to re-apply after a stop; nullptr for both
// when key mode is off. The records must outlive the run.
void signals_key_mode(const termios* saved, const termios* key_mode);

// The temporary file being written (nullptr once renamed or removed). The
// string must stay alive while it is named here.
void signals_temporary_file(const char* path);

// Ending signals wait while held, so that creating a temporary file and
// naming it here, or renaming it and forgetting it, happen as one step.
void signals_hold();
void signals_release();
