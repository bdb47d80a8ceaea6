// Events and waits over the kernel object table (std::mutex + std::condition_variable).
#include "synchapi.h"

#include <new>

#include "errhandlingapi.h"
#include "fault_injection.h"
#include "kernelobject.h"

namespace {

using platform::kernel::FindAs;
using platform::kernel::Handles;
using platform::kernel::KernelObject;

class EventObject final : public KernelObject {
public:
    using KernelObject::KernelObject;
};

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*security*/, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    // Named events are shared between processes on the other platform; nothing here needs that.
    if (name != nullptr && *name != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (platform::fault::Injected(platform::fault::Kind::CreateEvent)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const auto mode = manualReset ? KernelObject::ResetMode::Manual : KernelObject::ResetMode::Automatic;
    try {
        const HANDLE event = Handles().add(std::make_shared<EventObject>(mode, initialState != FALSE));
        SetLastError(NO_ERROR);
        return event;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL SetEvent(HANDLE event)
{
    const auto object = FindAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    const auto object = FindAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    // The wait holds its own reference, so closing the handle meanwhile can't free the object
    // under it; the wait then ends by signal or time-out as usual.
    const auto object = Handles().find(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
