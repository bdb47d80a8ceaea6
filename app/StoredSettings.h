// The wizard's one setting and its results in the current user's settings hive:
//   HKEY_CURRENT_USER\Software\Dorvane Pro           wPath     (read: where the service lives)
//   HKEY_CURRENT_USER\Software\Dorvane Pro\Settings  UserName  (written: the login)
//                                                    PassWord  (written: the scrambled password)
//
//   std::string url = ReadWizardURL();           // "http://host/wizard_files/", or "" without the key
//   SaveCredentials(TrimBlanks(login), TrimBlanks(password));
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// A settings failure; its message is shown to the user as it stands.
class ESettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kServiceKey = "Software\\Dorvane Pro";
inline constexpr const char* kSettingsKey = "Software\\Dorvane Pro\\Settings";

// Scrambling maps 0x80 to NUL, and a NUL would cut the stored value short; such a password is
// refused with this message before anything is sent or stored.
inline constexpr std::string_view kUnstorablePasswordMessage =
    "This password contains a character that can't be stored. Please choose another password.";

// "http://" + wPath + "/wizard_files/"; empty when the service key is missing. A missing wPath
// reads as empty. Throws ESettingsError when wPath is not a string value, or when the hive can't
// be read (damaged, a folder where the file belongs, held by another program too long).
[[nodiscard]] std::string ReadWizardURL();

// Writes UserName and the scrambled PassWord, creating the Settings key when missing. The login
// and password are stored as given (the callers trim them). Throws ESettingsError when the
// password can't be stored, the key can be neither opened nor created, or a write fails.
void SaveCredentials(const std::string& login, const std::string& password);

// Flips the top bit of every byte; its own inverse.
[[nodiscard]] std::string ScramblePassword(std::string password);

// False when a byte would scramble to NUL (0x80).
[[nodiscard]] bool PasswordCanBeStored(std::string_view password);
