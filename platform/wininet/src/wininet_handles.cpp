#include "wininet_handles.h"

#include <cstring>

#include "handle_table.h"

namespace wininet {

namespace {

using InternetHandles = platform::HandleTable<HINTERNET, HandleObject>;

// Never destroyed: a thread of the program (a worker inside InternetReadFile, a driver loop)
// may still look a handle up while the process ends.
InternetHandles& handleTable()
{
    static InternetHandles* const table = new InternetHandles(0x10004);
    return *table;
}

constexpr DWORD builtInConnectTimeout = 60000;
constexpr DWORD builtInReceiveTimeout = 30000;
std::atomic<DWORD> connectTimeoutDefault{builtInConnectTimeout};
std::atomic<DWORD> receiveTimeoutDefault{builtInReceiveTimeout};

template <class T>
void inherit(std::optional<T>& value, const std::optional<T>& fromParent)
{
    if (!value)
        value = fromParent;
}

} // namespace

void notifyStatus(const SessionShared& shared, HINTERNET handle, DWORD_PTR context, DWORD status,
                  const void* information, DWORD length)
{
    const INTERNET_STATUS_CALLBACK callback = shared.callback.load();
    if (context == 0 || callback == nullptr || callback == INTERNET_INVALID_STATUS_CALLBACK)
        return;
    callback(handle, context, status, const_cast<void*>(information), length);
}

HandleObject::HandleObject(HandleKind kind, DWORD_PTR context, std::shared_ptr<HandleObject> parent)
    : m_kind(kind)
    , m_context(context)
    , m_parent(std::move(parent))
{
}

std::shared_ptr<SessionShared> HandleObject::shared() const
{
    return m_parent ? m_parent->shared() : nullptr;
}

void HandleObject::setOptions(const HandleOptions& changes)
{
    std::lock_guard lock(m_mutex);
    if (changes.connectTimeout)
        m_options.connectTimeout = changes.connectTimeout;
    if (changes.receiveTimeout)
        m_options.receiveTimeout = changes.receiveTimeout;
    if (changes.userName)
        m_options.userName = changes.userName;
    if (changes.password)
        m_options.password = changes.password;
    if (changes.proxyUserName)
        m_options.proxyUserName = changes.proxyUserName;
    if (changes.proxyPassword)
        m_options.proxyPassword = changes.proxyPassword;
    if (changes.requestTimeout)
        m_options.requestTimeout = changes.requestTimeout;
    if (changes.certificateAuthorities)
        m_options.certificateAuthorities = changes.certificateAuthorities;
    if (changes.clientCertificate)
        m_options.clientCertificate = changes.clientCertificate;
    if (changes.clientKey)
        m_options.clientKey = changes.clientKey;
}

HandleOptions HandleObject::effectiveOptions() const
{
    HandleOptions options;
    {
        std::lock_guard lock(m_mutex);
        options = m_options;
    }
    if (!m_parent)
        return options;
    const HandleOptions fromParent = m_parent->effectiveOptions();
    inherit(options.connectTimeout, fromParent.connectTimeout);
    inherit(options.receiveTimeout, fromParent.receiveTimeout);
    inherit(options.userName, fromParent.userName);
    inherit(options.password, fromParent.password);
    inherit(options.proxyUserName, fromParent.proxyUserName);
    inherit(options.proxyPassword, fromParent.proxyPassword);
    inherit(options.requestTimeout, fromParent.requestTimeout);
    inherit(options.certificateAuthorities, fromParent.certificateAuthorities);
    inherit(options.clientCertificate, fromParent.clientCertificate);
    inherit(options.clientKey, fromParent.clientKey);
    return options;
}

void HandleObject::addChild(const std::shared_ptr<HandleObject>& child)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_children, [](const auto& weak) { return weak.expired(); });
    m_children.push_back(child);
}

void HandleObject::close()
{
    if (m_closed.exchange(true))
        return;
    handleTable().remove(m_handle);
    std::vector<std::weak_ptr<HandleObject>> children;
    {
        std::lock_guard lock(m_mutex);
        children.swap(m_children);
    }
    for (const auto& weak : children) {
        if (auto child = weak.lock())
            child->close();
    }
    if (closeResources())
        return;
    if (const auto session = shared()) {
        HINTERNET closing = m_handle;
        notifyStatus(*session, m_handle, m_context, INTERNET_STATUS_HANDLE_CLOSING, &closing, sizeof closing);
    }
}

DWORD connectTimeoutOf(const HandleOptions& options)
{
    const DWORD own = options.connectTimeout.value_or(0);
    const DWORD process = connectTimeoutDefault.load();
    return own != 0 ? own : process != 0 ? process : builtInConnectTimeout;
}

DWORD receiveTimeoutOf(const HandleOptions& options)
{
    const DWORD own = options.receiveTimeout.value_or(0);
    const DWORD process = receiveTimeoutDefault.load();
    return own != 0 ? own : process != 0 ? process : builtInReceiveTimeout;
}

HINTERNET registerHandle(const std::shared_ptr<HandleObject>& object)
{
    object->m_handle = handleTable().add(object);
    if (object->m_parent)
        object->m_parent->addChild(object);
    return object->m_handle;
}

std::shared_ptr<HandleObject> findHandle(HINTERNET handle)
{
    std::shared_ptr<HandleObject> object = handle == nullptr ? nullptr : handleTable().find(handle);
    if (!object || object->isClosed()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

} // namespace wininet

using namespace wininet;

BOOL InternetCloseHandle(HINTERNET handle)
{
    const std::shared_ptr<HandleObject> object = findHandle(handle);
    if (!object)
        return FALSE;
    object->close();
    return TRUE;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET internet, INTERNET_STATUS_CALLBACK callback)
{
    const std::shared_ptr<HandleObject> object = findHandle(internet);
    if (!object)
        return INTERNET_INVALID_STATUS_CALLBACK;
    const auto session = object->shared();
    if (!session) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return INTERNET_INVALID_STATUS_CALLBACK;
    }
    return session->callback.exchange(callback);
}

namespace {

bool readTimeout(LPVOID buffer, DWORD length, std::optional<DWORD>& value)
{
    if (buffer == nullptr || length != sizeof(DWORD)) {
        SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
        return false;
    }
    DWORD milliseconds = 0;
    std::memcpy(&milliseconds, buffer, sizeof milliseconds);
    value = milliseconds;
    return true;
}

// A string option: length counts the characters (0: empty); a NUL inside ends it early.
std::string readString(LPVOID buffer, DWORD length)
{
    if (buffer == nullptr || length == 0)
        return {};
    const char* text = static_cast<const char*>(buffer);
    return std::string(text, strnlen(text, length));
}

// With no handle, the time-outs become the defaults of every request that has none of its own.
bool setDefaultOption(DWORD option, LPVOID buffer, DWORD bufferLength)
{
    std::optional<DWORD> value;
    std::atomic<DWORD>* target = option == INTERNET_OPTION_CONNECT_TIMEOUT ? &connectTimeoutDefault
                                 : option == INTERNET_OPTION_RECEIVE_TIMEOUT ? &receiveTimeoutDefault
                                                                             : nullptr;
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!readTimeout(buffer, bufferLength, value))
        return false;
    target->store(*value);
    return true;
}

} // namespace

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength)
{
    if (handle == nullptr)
        return setDefaultOption(option, buffer, bufferLength) ? TRUE : FALSE;
    const std::shared_ptr<HandleObject> object = findHandle(handle);
    if (!object)
        return FALSE;
    HandleOptions changes;
    switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
        if (!readTimeout(buffer, bufferLength, changes.connectTimeout))
            return FALSE;
        break;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
        if (!readTimeout(buffer, bufferLength, changes.receiveTimeout))
            return FALSE;
        break;
    case INTERNET_OPTION_USERNAME:
        changes.userName = readString(buffer, bufferLength);
        break;
    case INTERNET_OPTION_PASSWORD:
        changes.password = readString(buffer, bufferLength);
        break;
    case INTERNET_OPTION_PROXY_USERNAME:
        changes.proxyUserName = readString(buffer, bufferLength);
        break;
    case INTERNET_OPTION_PROXY_PASSWORD:
        changes.proxyPassword = readString(buffer, bufferLength);
        break;
    case INTERNET_OPTION_REQUEST_TIMEOUT:
        if (!readTimeout(buffer, bufferLength, changes.requestTimeout))
            return FALSE;
        break;
    case INTERNET_OPTION_CA_CERTIFICATES:
        changes.certificateAuthorities = readString(buffer, bufferLength);
        break;
    case INTERNET_OPTION_CLIENT_CERTIFICATE_FILE:
        changes.clientCertificate = readString(buffer, bufferLength);
        break;
    case INTERNET_OPTION_CLIENT_KEY_FILE:
        changes.clientKey = readString(buffer, bufferLength);
        break;
    default:
        SetLastError(ERROR_INTERNET_INVALID_OPTION);
        return FALSE;
    }
    object->setOptions(changes);
    return TRUE;
}

namespace {
struct LastResponseInfo {
    DWORD error = 0;
    std::string text;
};
thread_local LastResponseInfo lastResponseInfo;
} // namespace

// HTTP servers give no extended error beyond the status, which the request already holds; the
// thread's record therefore stays empty, and callers get error 0 with an empty text.
BOOL InternetGetLastResponseInfoA(LPDWORD error, LPSTR buffer, LPDWORD bufferLength)
{
    if (error == nullptr || bufferLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *error = lastResponseInfo.error;
    const std::string& text = lastResponseInfo.text;
    if (buffer == nullptr || text.size() + 1 > *bufferLength) {
        *bufferLength = static_cast<DWORD>(text.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *bufferLength = static_cast<DWORD>(text.size());
    return TRUE;
}
