// What the registry calls can't say with a code: the last failure on this thread that came from
// the settings hive's file, as a sentence that names the file, for a message to the user.
//
//   if (RegSetValueExA(key, "x", 0, REG_SZ, data, size) != ERROR_SUCCESS)
//       report(RegGetLastFailureText());   // "Cannot write the settings hive /home/ann/.config/
//                                          //  dorvane/registry.db: database or disk is full."
//
// Empty after a call that succeeded or that failed for another reason (a missing key, a bad name,
// rights the handle lacks). This platform's own addition to the registry calls of winreg.h.
#pragma once

#include <string>

[[nodiscard]] std::string RegGetLastFailureText();
