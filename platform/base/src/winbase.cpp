#include "winbase.h"

#include <cstring>

#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "message_tables.h"
#include "module_handles.h"
#include "winerror.h"

namespace {

// Set once, while the libraries' initializers run, before any thread can ask.
platform::MessageTable internetMessages = nullptr;

// Texts of the system codes the platform layer reports.
constexpr struct {
    DWORD code;
    const char* text;
} systemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory is available to process this command."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_INVALID_THREAD_ID, "Invalid thread identifier."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
};

const char* systemText(DWORD code)
{
    for (const auto& entry : systemTexts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

const char* messageText(DWORD flags, LPCVOID source, DWORD messageId)
{
    if ((flags & FORMAT_MESSAGE_FROM_HMODULE) != 0 && source == platform::internetModule()) {
        if (const char* text = internetMessages != nullptr ? internetMessages(messageId) : nullptr)
            return text;
    }
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0)
        return systemText(messageId);
    return nullptr;
}

} // namespace

void platform::SetInternetMessageTable(MessageTable table)
{
    internetMessages = table;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD /*languageId*/, LPSTR buffer, DWORD size,
                     va_list* /*arguments*/)
{
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = messageText(flags, source, messageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::strlen(text);
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}
