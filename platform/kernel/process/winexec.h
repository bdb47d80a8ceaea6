// Starting a program by its file name.
#pragma once

#include "windef.h"

// Starts commandLine detached from this process: in its own session, with standard input from
// /dev/null, standard output and error shared, no other descriptor, and no zombie left when it
// ends. The first word is the program, the rest its arguments, separated by blanks; double
// quotes keep blanks inside a word. A name with a '/' is a path; a bare name is looked up in
// this program's own folder, the current folder, then PATH. A name ending in ".exe" that isn't
// found as written is looked up without that extension. showCommand is ignored (the program
// decides how it shows itself).
// Returns 33 on success, else ERROR_FILE_NOT_FOUND (2), ERROR_PATH_NOT_FOUND (3, a path whose
// folder doesn't exist), ERROR_ACCESS_DENIED (5), ERROR_BAD_FORMAT (11, not a program) or 0
// (out of resources), and sets the last error to the same reason.
UINT WinExec(LPCSTR commandLine, UINT showCommand);
