// Closing kernel handles: the handle goes at once, the object when its last user lets go.
#include "handleapi.h"

#include "errhandlingapi.h"
#include "kernelobject.h"

BOOL CloseHandle(HANDLE handle)
{
    if (!platform::kernel::Handles().remove(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
