/// @file
/// The base of every error the components raise: an exception that carries a message text only.
///
/// @code
/// try { http.SetURL("ftp://host/"); }
/// catch (const Exception& error) { show(error.Message()); }
/// @endcode
#pragma once

#include <exception>
#include <string>

#include "dorvane_http_export.h"

/// The base of every error the components raise: a message text only.
class DORVANE_HTTP_EXPORT Exception : public std::exception {
public:
    /// An error with this message.
    explicit Exception(std::string message);

    /// The message.
    const std::string& Message() const noexcept { return FMessage; }
    /// The message, as a C string.
    const char* what() const noexcept override;

private:
    std::string FMessage;
};
