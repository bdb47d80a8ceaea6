// Inside the Internet client layer: the objects behind HINTERNET values, the table that turns
// a value back into its object, options inherited down the handle tree, and the delivery of
// status notifications.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "errhandlingapi.h"
#include "wininet.h"

namespace wininet {

// What the handles of one Internet handle share, also with its layer thread.
struct SessionShared {
    std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
    bool async = false;
};

// Calls the status callback for a handle. A context of 0 means "no notifications", as does
// a missing callback.
void notifyStatus(const SessionShared& shared, HINTERNET handle, DWORD_PTR context, DWORD status,
                  const void* information, DWORD length);

enum class HandleKind { Internet, Connection, Request };

// The options a handle can carry; unset ones come from the parent handle.
struct HandleOptions {
    std::optional<DWORD> connectTimeout;
    std::optional<DWORD> receiveTimeout;
    std::optional<std::string> userName;
    std::optional<std::string> password;
    std::optional<std::string> proxyUserName;
    std::optional<std::string> proxyPassword;
    std::optional<DWORD> requestTimeout;
    std::optional<std::string> certificateAuthorities;
    std::optional<std::string> clientCertificate;
    std::optional<std::string> clientKey;
};

class HandleObject {
public:
    HandleObject(HandleKind kind, DWORD_PTR context, std::shared_ptr<HandleObject> parent);
    virtual ~HandleObject() = default;
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;

    HandleKind kind() const { return m_kind; }
    DWORD_PTR context() const { return m_context; }
    HINTERNET handle() const { return m_handle; }
    const std::shared_ptr<HandleObject>& parent() const { return m_parent; }
    virtual std::shared_ptr<SessionShared> shared() const;

    // Options: set on this handle; read through the chain of parents.
    void setOptions(const HandleOptions& changes);
    HandleOptions effectiveOptions() const;

    // Ends what the handle is doing and releases what it holds. Runs once, for the handle and
    // the handles opened under it (children first). Blocked calls on it end with 12017.
    void close();
    bool isClosed() const { return m_closed.load(); }

protected:
    // Releases what the handle holds. True when the closing notification is left to another
    // thread (see Transfer::cancel), which sends it once it is done with the handle.
    virtual bool closeResources() { return false; }

private:
    friend HINTERNET registerHandle(const std::shared_ptr<HandleObject>& object);
    void addChild(const std::shared_ptr<HandleObject>& child);

    const HandleKind m_kind;
    const DWORD_PTR m_context;
    const std::shared_ptr<HandleObject> m_parent;
    HINTERNET m_handle = nullptr;
    std::atomic<bool> m_closed{false};
    mutable std::mutex m_mutex;
    HandleOptions m_options;
    std::vector<std::weak_ptr<HandleObject>> m_children;
};

// A request's time-outs: its handles' own, else the process's (InternetSetOptionA on no
// handle), else the built-in ones; 0 sets none, so the next in that order applies.
DWORD connectTimeoutOf(const HandleOptions& options);
DWORD receiveTimeoutOf(const HandleOptions& options);

// Gives the object its HINTERNET value and records it under its parent.
HINTERNET registerHandle(const std::shared_ptr<HandleObject>& object);
// The open object behind a value; nullptr with the last error set (ERROR_INVALID_HANDLE for an
// unknown or closed value, ERROR_INTERNET_INCORRECT_HANDLE_TYPE for one of another kind).
std::shared_ptr<HandleObject> findHandle(HINTERNET handle);

template <class T>
std::shared_ptr<T> findHandleOf(HINTERNET handle, HandleKind kind)
{
    std::shared_ptr<HandleObject> object = findHandle(handle);
    if (!object)
        return nullptr;
    if (object->kind() != kind) {
        SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

} // namespace wininet
