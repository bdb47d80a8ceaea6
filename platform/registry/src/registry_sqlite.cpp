// The registry calls over a per-user SQLite hive (sqlite_hive.h).
//
// The hive of HKEY_CURRENT_USER is $XDG_CONFIG_HOME/dorvane/registry.db ($HOME/.config when
// XDG_CONFIG_HOME is unset or not an absolute path). The variable is read again on every call
// made directly on the root, so a test or a trial run can point the registry elsewhere.
//
// An HKEY is an id in the table of open keys (handle_table.h), standing for the key's id, the
// access granted and a share of the open hive; a stale or made-up handle is reported as
// ERROR_INVALID_HANDLE.
#include "winreg.h"

#include "handle_table.h"
#include "registry_failure.h"
#include "sqlite_hive.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

struct HKEY__ {
    std::shared_ptr<SqliteHive> hive;
    SqliteHive::KeyId key = 0;
    REGSAM access = 0;
};

namespace {

// Limits of the names and data a caller can store.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxValueNameLength = 16383;
constexpr DWORD kMaxValueSize = 1024 * 1024;

constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
// Rights that change the hive: refused on a hive without write permission.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// Open keys. Their values lie apart from the other tables' and well below the predefined roots
// (0x80000000 onwards).
using KeyHandles = platform::HandleTable<HKEY, HKEY__>;

KeyHandles& keyHandles()
{
    static KeyHandles table(0x100000);
    return table;
}

HKEY openKeyHandle(std::shared_ptr<SqliteHive> hive, SqliteHive::KeyId key, REGSAM access)
{
    auto handle = std::make_shared<HKEY__>();
    handle->hive = std::move(hive);
    handle->key = key;
    handle->access = access;
    return keyHandles().add(std::move(handle));
}

bool isPredefined(HKEY key)
{
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

LONG hivePath(std::string& path)
{
    std::string base;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        base = configHome;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        passwd entry {};
        passwd* user = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &user) != 0 || user == nullptr
            || user->pw_dir == nullptr || user->pw_dir[0] != '/')
            return ERROR_PATH_NOT_FOUND;
        base = std::string(user->pw_dir) + "/.config";
    }
    path = base + "/dorvane/registry.db";
    return ERROR_SUCCESS;
}

REGSAM normalizedAccess(REGSAM desired)
{
    if (desired & kGenericRead)
        desired |= KEY_READ;
    if (desired & kGenericWrite)
        desired |= KEY_WRITE;
    if (desired & (kGenericAll | kMaximumAllowed))
        desired |= KEY_ALL_ACCESS;
    return desired & KEY_ALL_ACCESS;
}

bool wantsWrite(REGSAM access)
{
    return (access & kWriteRights) != 0;
}

// "Software\Dorvane Pro" -> {"Software", "Dorvane Pro"}. Null or empty names the key itself;
// one trailing backslash is allowed.
LONG splitKeyPath(LPCSTR subKey, std::vector<std::string>& parts)
{
    parts.clear();
    if (subKey == nullptr || *subKey == '\0')
        return ERROR_SUCCESS;
    std::string_view rest(subKey);
    if (rest.back() == '\\')
        rest.remove_suffix(1);
    while (true) {
        const auto slash = rest.find('\\');
        const std::string_view part = rest.substr(0, slash);
        if (part.empty() || part.size() > kMaxKeyNameLength || parts.size() == kMaxKeyDepth)
            return ERROR_INVALID_PARAMETER;
        parts.emplace_back(part);
        if (slash == std::string_view::npos)
            return ERROR_SUCCESS;
        rest.remove_prefix(slash + 1);
    }
}

LONG valueNameOf(LPCSTR valueName, std::string& name)
{
    name = valueName != nullptr ? valueName : "";
    return name.size() <= kMaxValueNameLength ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// The key a call works on: an open handle, or the root of the current user's hive opened now.
struct Target {
    std::shared_ptr<HKEY__> handle; // keeps the handle alive for the call
    std::shared_ptr<SqliteHive> hive;
    SqliteHive::KeyId key = 0;
    REGSAM access = 0;
};

LONG requireAccess(const Target& target, REGSAM needed)
{
    return (target.access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// missingRoot: the answer for a predefined root that has no storage here. needed: the access the
// call needs of an open handle (ERROR_ACCESS_DENIED without it).
LONG resolve(HKEY key, SqliteHive::Intent intent, LONG missingRoot, Target& target, REGSAM needed = 0)
{
    if (key == HKEY_CURRENT_USER) {
        std::string path;
        LONG rc = hivePath(path);
        if (rc == ERROR_SUCCESS)
            rc = SqliteHive::open(path, intent, target.hive);
        target.key = SqliteHive::kRootKey;
        target.access = KEY_ALL_ACCESS;
        return rc == ERROR_SUCCESS ? requireAccess(target, needed) : rc;
    }
    if (isPredefined(key))
        return missingRoot;
    target.handle = keyHandles().find(key); // a share, so a RegCloseKey on another thread can't free it mid-call
    if (!target.handle)
        return ERROR_INVALID_HANDLE;
    target.hive = target.handle->hive;
    target.key = target.handle->key;
    target.access = target.handle->access;
    return requireAccess(target, needed);
}

LONG grant(const Target& target, SqliteHive::KeyId key, REGSAM desired, PHKEY result)
{
    if (wantsWrite(desired) && !target.hive->writable()) {
        static_cast<void>(target.hive->requireWritable());  // notes why
        return ERROR_ACCESS_DENIED;
    }
    *result = openKeyHandle(target.hive, key, desired);
    return ERROR_SUCCESS;
}

// Copies a value's data into a caller's buffer under the usual rules: no buffer asks for the
// size only; a buffer too small gives ERROR_MORE_DATA and the size needed.
LONG copyData(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD dataSize)
{
    const auto size = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        if (dataSize != nullptr)
            *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0)
        std::memcpy(data, bytes.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

// Copies a name with its NUL; on success *length is the name's length without the NUL, when the
// buffer is too small it is the buffer length needed, NUL included.
LONG copyName(const std::string& text, LPSTR name, LPDWORD length)
{
    const auto needed = static_cast<DWORD>(text.size() + 1);
    if (*length < needed) {
        *length = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, text.c_str(), needed);
    *length = needed - 1;
    return ERROR_SUCCESS;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result)
{
    SqliteHive::clearFailure();
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    desired = normalizedAccess(desired);
    std::vector<std::string> parts;
    LONG rc = splitKeyPath(subKey, parts);
    if (rc != ERROR_SUCCESS)
        return rc;

    Target target;
    // Only a writable handle to the root itself needs the file made now; any other key can't
    // exist in a hive that doesn't.
    auto intent = SqliteHive::Intent::Read;
    if (wantsWrite(desired))
        intent = parts.empty() ? SqliteHive::Intent::Create : SqliteHive::Intent::Write;
    rc = resolve(key, intent, ERROR_FILE_NOT_FOUND, target);
    if (rc != ERROR_SUCCESS)
        return rc;
    SqliteHive::KeyId found = 0;
    rc = target.hive->findKey(target.key, parts, found);
    if (rc != ERROR_SUCCESS)
        return rc;
    return grant(target, found, desired, result);
}

// Volatile keys are kept like the others: outliving the session loses nothing.
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR /*keyClass*/, DWORD options, REGSAM desired,
                     LPSECURITY_ATTRIBUTES /*security*/, PHKEY result, LPDWORD disposition)
{
    SqliteHive::clearFailure();
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (reserved != 0 || (options & ~REG_OPTION_VOLATILE) != 0)
        return ERROR_INVALID_PARAMETER;
    desired = normalizedAccess(desired);
    std::vector<std::string> parts;
    LONG rc = splitKeyPath(subKey, parts);
    if (rc != ERROR_SUCCESS)
        return rc;

    Target target;
    rc = resolve(key, SqliteHive::Intent::Create, ERROR_ACCESS_DENIED, target);
    if (rc != ERROR_SUCCESS)
        return rc;
    SqliteHive::KeyId found = 0;
    bool created = false;
    rc = target.hive->findKey(target.key, parts, found);
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = requireAccess(target, KEY_CREATE_SUB_KEY);
        if (rc == ERROR_SUCCESS)
            rc = target.hive->createKey(target.key, parts, found, created);
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = grant(target, found, desired, result);
    if (rc == ERROR_SUCCESS && disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return rc;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    SqliteHive::clearFailure();
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::string name;
    LONG rc = valueNameOf(valueName, name);
    if (rc != ERROR_SUCCESS)
        return rc;
    Target target;
    rc = resolve(key, SqliteHive::Intent::Read, ERROR_FILE_NOT_FOUND, target, KEY_QUERY_VALUE);
    SqliteHive::Value value;
    if (rc == ERROR_SUCCESS)
        rc = target.hive->readValue(target.key, name, value);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != nullptr)
        *type = value.type;
    return copyData(value.data, data, dataSize);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data, DWORD dataSize)
{
    SqliteHive::clearFailure();
    if ((data == nullptr && dataSize != 0) || dataSize > kMaxValueSize)
        return ERROR_INVALID_PARAMETER;
    std::string name;
    LONG rc = valueNameOf(valueName, name);
    if (rc != ERROR_SUCCESS)
        return rc;
    Target target;
    rc = resolve(key, SqliteHive::Intent::Create, ERROR_ACCESS_DENIED, target, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS)
        return rc;
    return target.hive->writeValue(target.key, name, type, data, dataSize);
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName)
{
    SqliteHive::clearFailure();
    std::string name;
    LONG rc = valueNameOf(valueName, name);
    if (rc != ERROR_SUCCESS)
        return rc;
    Target target;
    rc = resolve(key, SqliteHive::Intent::Write, ERROR_ACCESS_DENIED, target, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS)
        return rc;
    return target.hive->deleteValue(target.key, name);
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    SqliteHive::clearFailure();
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    LONG rc = splitKeyPath(subKey, parts);
    if (rc != ERROR_SUCCESS)
        return rc;
    Target target;
    rc = resolve(key, SqliteHive::Intent::Write, ERROR_ACCESS_DENIED, target);
    if (rc != ERROR_SUCCESS)
        return rc;
    return target.hive->deleteKey(target.key, parts);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD /*reserved*/, LPSTR keyClass,
                   LPDWORD classLength, void* /*lastWriteTime*/)
{
    SqliteHive::clearFailure();
    if (name == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    Target target;
    LONG rc = resolve(key, SqliteHive::Intent::Read, ERROR_FILE_NOT_FOUND, target, KEY_ENUMERATE_SUB_KEYS);
    std::string subkey;
    if (rc == ERROR_SUCCESS)
        rc = target.hive->subkeyAt(target.key, index, subkey);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = copyName(subkey, name, nameLength);
    if (rc == ERROR_SUCCESS && classLength != nullptr) {
        // Keys carry no class here.
        if (keyClass != nullptr && *classLength > 0)
            keyClass[0] = '\0';
        *classLength = 0;
    }
    return rc;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameLength, LPDWORD reserved, LPDWORD type,
                   LPBYTE data, LPDWORD dataSize)
{
    SqliteHive::clearFailure();
    if (valueName == nullptr || valueNameLength == nullptr || reserved != nullptr
        || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    Target target;
    LONG rc = resolve(key, SqliteHive::Intent::Read, ERROR_FILE_NOT_FOUND, target, KEY_QUERY_VALUE);
    SqliteHive::Value value;
    if (rc == ERROR_SUCCESS)
        rc = target.hive->valueAt(target.key, index, value);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != nullptr)
        *type = value.type;
    // Both sizes are checked before anything is copied, so a retry with larger buffers works.
    const bool nameFits = *valueNameLength > value.name.size();
    const bool dataFits = data == nullptr || *dataSize >= value.data.size();
    if (!nameFits || !dataFits) {
        if (!nameFits)
            *valueNameLength = static_cast<DWORD>(value.name.size() + 1);
        if (dataSize != nullptr)
            *dataSize = static_cast<DWORD>(value.data.size());
        return ERROR_MORE_DATA;
    }
    rc = copyName(value.name, valueName, valueNameLength);
    if (rc == ERROR_SUCCESS)
        rc = copyData(value.data, data, dataSize);
    return rc;
}

std::string RegGetLastFailureText()
{
    return SqliteHive::lastFailure();
}

LONG RegCloseKey(HKEY key)
{
    if (isPredefined(key))
        return ERROR_SUCCESS;
    return keyHandles().remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
