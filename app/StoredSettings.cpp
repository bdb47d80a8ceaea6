#include "StoredSettings.h"

#include <memory>
#include <vector>

#include "registry_failure.h"
#include "registry_value.h"
#include "winreg.h"

namespace {

// Closes the key it holds when the operation that opened it ends, whichever way it ends.
struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<HKEY__, KeyCloser>;

std::string Quoted(std::string_view name)
{
    return "'" + std::string(name) + "'";
}

// What the hive said about its file, after a message that only names the value or key.
std::string WithHiveDetail(std::string message)
{
    const std::string detail = RegGetLastFailureText();
    return detail.empty() ? message : message + "\n" + detail;
}

// The string value's text up to its first NUL; "" when the value is missing.
std::string ReadString(HKEY key, const char* name)
{
    DWORD type = REG_NONE;
    std::string data;
    const LONG rc = RegReadValue(key, name, type, data);
    if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND))
        return {};
    if (rc != ERROR_SUCCESS)
        throw ESettingsError("Failed to get data for " + Quoted(name));
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ESettingsError("Invalid data type for " + Quoted(name));
    return std::string(data.c_str()); // ends at the first NUL
}

// REG_SZ with its terminating NUL counted in the stored length.
void WriteString(HKEY key, const char* name, const std::string& text)
{
    const LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>(text.size() + 1));
    if (rc != ERROR_SUCCESS)
        throw ESettingsError(WithHiveDetail("Failed to set data for " + Quoted(name)));
}

}  // namespace

std::string ReadWizardURL()
{
    HKEY opened = nullptr;
    // Read access is all it takes: a hive the wizard can't write still names the service.
    const LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, kServiceKey, 0, KEY_READ, &opened);
    if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND))
        return {};  // no service configured
    if (rc != ERROR_SUCCESS)  // a damaged, misplaced or busy hive: the user is told why
        throw ESettingsError(WithHiveDetail("The service's location could not be read from 'HKEY_CURRENT_USER\\" +
                                            std::string(kServiceKey) + "' (error " + std::to_string(rc) + ")"));
    const KeyHandle key(opened);
    return "http://" + ReadString(key.get(), "wPath") + "/wizard_files/";
}

void SaveCredentials(const std::string& login, const std::string& password)
{
    if (!PasswordCanBeStored(password))
        throw ESettingsError(std::string(kUnstorablePasswordMessage));

    HKEY opened = nullptr;
    DWORD disposition = 0;
    const LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &opened, &disposition);
    // Returning quietly here would let the wizard thank the user with nothing stored.
    if (rc != ERROR_SUCCESS)
        throw ESettingsError(WithHiveDetail("Failed to open or create the key 'HKEY_CURRENT_USER\\" +
                                            std::string(kSettingsKey) + "' (error " + std::to_string(rc) + ")"));
    const KeyHandle key(opened);
    // The two values go together: a new UserName beside the PassWord of the one before would
    // pair one account's name with another's password. So the name that was there is kept, and
    // put back when the password can't be written.
    DWORD previousType = REG_NONE;
    std::string previousName;
    const LONG previous = RegReadValue(key.get(), "UserName", previousType, previousName);
    if (previous != ERROR_SUCCESS && previous != static_cast<LONG>(ERROR_FILE_NOT_FOUND))
        throw ESettingsError(WithHiveDetail("Failed to get data for " + Quoted("UserName")));
    WriteString(key.get(), "UserName", login);
    try {
        WriteString(key.get(), "PassWord", ScramblePassword(password));
    } catch (const ESettingsError&) {
        const auto* bytes = reinterpret_cast<const BYTE*>(previousName.data());
        const LONG restored = previous == ERROR_SUCCESS
                                  ? RegSetValueExA(key.get(), "UserName", 0, previousType, bytes,
                                                   static_cast<DWORD>(previousName.size()))
                                  : RegDeleteValueA(key.get(), "UserName");
        if (restored != ERROR_SUCCESS)
            throw ESettingsError(WithHiveDetail("Failed to set data for " + Quoted("PassWord") +
                                                ", and the user name stored with it could not be put back"));
        throw;
    }
}

std::string ScramblePassword(std::string password)
{
    for (char& c : password)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x80u);
    return password;
}

bool PasswordCanBeStored(std::string_view password)
{
    return password.find('\x80') == std::string_view::npos;
}
