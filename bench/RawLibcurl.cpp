#include "RawLibcurl.h"

#include <curl/curl.h>
#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace RawLibcurl {
namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
using Multi = std::unique_ptr<CURLM, MultiCleanup>;

constexpr auto TransferLimit = std::chrono::seconds(60);

std::size_t Keep(char* data, std::size_t size, std::size_t count, void* body)
{
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// Reserves the body's buffer once the head says how long it is.
std::size_t ReserveOnLength(char* data, std::size_t size, std::size_t count, void* body)
{
    constexpr std::string_view name = "content-length:";
    if (size * count > name.size() && ::strncasecmp(data, name.data(), name.size()) == 0)
        static_cast<std::string*>(body)->reserve(std::strtoull(data + name.size(), nullptr, 10));
    return size * count;
}

Easy NewEasy(const std::string& url, std::string& body)
{
    Easy easy(curl_easy_init());
    if (!easy)
        return easy;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, Keep);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy.get(), CURLOPT_NOPROXY, "*");
    return easy;
}

// Drives the multi handle until every added transfer is done; false when one failed or the
// limit passed.
bool RunMulti(CURLM* multi, int transfers)
{
    const auto deadline = std::chrono::steady_clock::now() + TransferLimit;
    bool ok = true;
    for (int done = 0; done < transfers;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            return false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            ok = ok && message->data.result == CURLE_OK;
            ++done;
        }
        if (done == transfers)
            break;
        if (std::chrono::steady_clock::now() > deadline || curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK)
            return false;
    }
    return ok;
}

} // namespace

bool KeepBody(const std::string& url, std::uint64_t expectedSize)
{
    std::string body;
    Easy easy = NewEasy(url, body);
    if (!easy)
        return false;
    curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, ReserveOnLength);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &body);
    return curl_easy_perform(easy.get()) == CURLE_OK && body.size() == expectedSize;
}

bool RepeatGets(const std::string& url, int count, std::string_view expectedBody)
{
    std::string body;
    Easy easy = NewEasy(url, body);
    if (!easy)
        return false;
    for (int i = 0; i < count; ++i) {
        body.clear();
        if (curl_easy_perform(easy.get()) != CURLE_OK || body != expectedBody)
            return false;
    }
    return true;
}

bool RepeatGetsNewEasyHandles(const std::string& url, int count, std::string_view expectedBody)
{
    Multi multi(curl_multi_init());
    if (!multi)
        return false;
    std::string body;
    for (int i = 0; i < count; ++i) {
        body.clear();
        Easy easy = NewEasy(url, body);
        if (!easy || curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK)
            return false;
        const bool ok = RunMulti(multi.get(), 1);
        curl_multi_remove_handle(multi.get(), easy.get());
        if (!ok || body != expectedBody)
            return false;
    }
    return true;
}

bool ManyAtOnce(const std::string& url, int count, std::string_view expectedBody)
{
    Multi multi(curl_multi_init());
    if (!multi)
        return false;
    std::vector<std::string> bodies(static_cast<std::size_t>(count));
    std::vector<Easy> easies;
    easies.reserve(bodies.size());
    bool ok = true;
    for (std::string& body : bodies) {
        easies.push_back(NewEasy(url, body));
        CURL* easy = easies.back().get();
        ok = ok && easy != nullptr;
        if (!ok)
            break;
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        ok = curl_multi_add_handle(multi.get(), easy) == CURLM_OK;
    }
    ok = ok && RunMulti(multi.get(), count);
    for (std::size_t i = 0; i < easies.size(); ++i) {
        long connects = 0;
        curl_easy_getinfo(easies[i].get(), CURLINFO_NUM_CONNECTS, &connects);
        ok = ok && connects == 1 && bodies[i] == expectedBody;
        curl_multi_remove_handle(multi.get(), easies[i].get());
    }
    return ok;
}

} // namespace RawLibcurl
