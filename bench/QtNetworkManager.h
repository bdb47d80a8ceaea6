// Qt's own network manager, the yardstick a program that fires many requests would otherwise
// use: one QNetworkAccessManager with Qt's defaults, driven by a local event loop on the calling
// thread (a QCoreApplication must exist). Each returns false when a request fails or a body is
// not the one expected.
#pragma once

#include <string>
#include <string_view>

namespace QtNetworkManager {

// count sequential GETs through one manager (it keeps the connection alive), each body checked.
[[nodiscard]] bool RepeatGets(const std::string& url, int count, std::string_view expectedBody);

// count GETs through one manager, all asked for before the first answer is taken, every body
// checked. Qt's defaults hold: at most six connections to one server, the rest queued.
[[nodiscard]] bool ManyAtOnce(const std::string& url, int count, std::string_view expectedBody);

} // namespace QtNetworkManager
