// The base of every error the components raise: an exception that carries a message text only.
//
//   try { http.SetURL("ftp://host/"); }
//   catch (const Exception& error) { show(error.Message()); }
#pragma once

#include <exception>
#include <string>

#include "dorvane_http_export.h"

class DORVANE_HTTP_EXPORT Exception : public std::exception {
public:
    explicit Exception(std::string message);

    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override;

private:
    std::string FMessage;
};
