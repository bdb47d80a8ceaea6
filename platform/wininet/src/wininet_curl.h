// Inside the Internet client layer: owners of libcurl's handles, so that every multi, share and
// easy handle, header list and URL handle is freed by the type that holds it. The layer's
// headers stay free of libcurl's own: its handle types are void, the others named only.
#pragma once

#include <memory>

struct curl_slist;
struct Curl_URL;

namespace wininet::curl {

struct EasyCleanup {
    void operator()(void* easy) const noexcept;
};
struct MultiCleanup {
    void operator()(void* multi) const noexcept;
};
struct ShareCleanup {
    void operator()(void* share) const noexcept;
};
struct HeaderListCleanup {
    void operator()(curl_slist* list) const noexcept;
};
struct UrlCleanup {
    void operator()(Curl_URL* url) const noexcept;
};

using Easy = std::unique_ptr<void, EasyCleanup>;
using Multi = std::unique_ptr<void, MultiCleanup>;
using Share = std::unique_ptr<void, ShareCleanup>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListCleanup>;
using Url = std::unique_ptr<Curl_URL, UrlCleanup>;

// New handles; empty when libcurl has none to give (or a test build makes it fail).
[[nodiscard]] Easy newEasy();
[[nodiscard]] Multi newMulti();
// A session's own store between its easy handles: its cookies and, with connections set, its
// connection pool too (its sessions then share a multi handle without sharing connections).
// Only the thread that drives the session uses it, so it needs no locks.
[[nodiscard]] Share newSessionShare(bool connections);
[[nodiscard]] Url newUrl();
// The list with the line appended; false (the list unchanged) when it couldn't be.
[[nodiscard]] bool append(HeaderList& list, const char* line);

} // namespace wininet::curl
