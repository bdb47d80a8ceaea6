// Arbitrary writes to URL and its parts: a write either succeeds, after which URL and the parts
// agree (host, port and scheme; a URL write keeps the text as written), or fails and changes
// nothing of URL, HostName, URLPath, ExtraInfo (Port and SSL keep the value just written).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "uAdvHttp.h"
#include "wininet.h"

namespace {

struct Snapshot {
    std::string url, host, path, extra;
    std::int32_t port;
    bool ssl;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const TAdvHttp& http)
{
    return {http.URL(), http.HostName(), http.URLPath(), http.ExtraInfo(), http.Port(), http.SSL()};
}

bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// URL, cracked again, names the host, port and scheme the parts hold.
void CheckAgreement(const TAdvHttp& http)
{
    if (http.URL().empty())
        return;
    char host[1024];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    if (!InternetCrackUrlA(http.URL().c_str(), static_cast<DWORD>(http.URL().size()), 0, &parts))
        std::abort(); // a URL the component accepted must split again
    if (!EqualIgnoringCase(host, http.HostName()) || parts.nPort != http.Port() ||
        (parts.nScheme == INTERNET_SCHEME_HTTPS) != http.SSL()) {
        std::fprintf(stderr, "URL \"%s\" names host \"%s\" port %d scheme %d; the parts hold host \"%s\" port %d SSL %d\n",
                     http.URL().c_str(), host, parts.nPort, parts.nScheme, http.HostName().c_str(), http.Port(),
                     http.SSL());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    TAdvHttp http(nullptr);
    static const char* const names[] = {"URL", "HostName", "URLPath", "ExtraInfo", "Port", "SSL"};
    for (int step = 0; step < 8; ++step) {
        const std::uint8_t which = input.TakeByte() % 6;
        const std::string text = input.TakeString();
        const Snapshot before = Take(http);
        bool failed = false;
        try {
            switch (which) {
            case 0: http.SetURL(text); break;
            case 1: http.SetHostName(text); break;
            case 2: http.SetURLPath(text); break;
            case 3: http.SetExtraInfo(text); break;
            case 4: http.SetPort(static_cast<std::int32_t>(input.TakeU32() % 70000)); break;
            default: http.SetSSL((input.TakeByte() & 1) != 0); break;
            }
        } catch (const Exception&) {
            failed = true;
        }
        const std::string written = std::string(names[which]) + (which >= 4 ? "" : " := \"" + text + "\"") +
                                 (failed ? " (failed)" : "") + " -> URL \"" + http.URL() + "\"\n";
        if (std::getenv("FUZZ_URL_TRACE") != nullptr)
            std::fputs(written.c_str(), stderr);
        const Snapshot after = Take(http);
        if (failed) {
            Snapshot expected = before;
            expected.port = after.port; // Port and SSL keep what was written even when the rebuild fails
            expected.ssl = after.ssl;
            if (after != expected)
                std::abort();
            continue;
        }
        if (which == 0 && after.url != text)
            std::abort(); // a URL write keeps the text exactly as written
        if (which == 0 || (before.url.empty() && after.url.empty()))
            continue;
        CheckAgreement(http);
    }
    return 0;
}
