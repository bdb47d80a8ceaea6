// Inside the Internet client layer: the texts of its error codes and the translation of the
// transfer library's failures into those codes.
#pragma once

#include "windef.h"

namespace wininet {

// Our wording for an Internet error code (12001 onwards); nullptr for a code we never produce.
const char* errorText(DWORD code);

// What a failed transfer means in Internet error codes. curlCode is the transfer's result,
// osError the last socket error (errno), verifyResult the certificate check's result, and
// followedRedirect whether the failure came after following a redirect.
DWORD errorFromTransfer(int curlCode, long osError, long verifyResult, bool followedRedirect);

// What a failed setup step (an option set on a handle) means: 0 for none, out of memory, or an
// internal error of this layer.
DWORD errorFromSetup(int curlCode);

} // namespace wininet
