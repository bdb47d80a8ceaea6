// Starting a program by its file name.
#pragma once

#include "windef.h"

// Starts commandLine (a program name, optionally followed by arguments separated by spaces)
// detached from this process. A bare name is looked up in the program's own folder, the current
// folder, then PATH. Returns a value above 31 on success, or 0 / ERROR_FILE_NOT_FOUND (2) /
// ERROR_PATH_NOT_FOUND (3) on failure.
UINT WinExec(LPCSTR commandLine, UINT showCommand);
