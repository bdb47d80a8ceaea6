// What <windows.h> gives the contract's client on Linux: the layer's own headers, so the client's
// source builds unchanged here and against the Windows headers.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "errhandlingapi.h"
#include "winbase.h"
#include "libloaderapi.h"
#include "synchapi.h"
#include "handleapi.h"
