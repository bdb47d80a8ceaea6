#include "wininet_curl.h"

#include <curl/curl.h>

#include "fault_injection.h"

namespace wininet::curl {

namespace {

bool setupFails()
{
    return platform::fault::Injected(platform::fault::Kind::CurlSetup);
}

// libcurl's global state is set up once, before the first handle, and never torn down: other
// parts of the program may use libcurl too.
bool libraryReady()
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return initialised;
}

} // namespace

// libcurl keeps the cookie file names given to an easy handle in a list, and an entry of it
// could be left behind at cleanup (LeakSanitizer showed it). Clearing the list by hand frees it
// and keeps the cookies, which belong to the share.
void EasyCleanup::operator()(void* easy) const noexcept
{
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
    curl_easy_cleanup(easy);
}

void MultiCleanup::operator()(void* multi) const noexcept
{
    curl_multi_cleanup(multi);
}

void ShareCleanup::operator()(void* share) const noexcept
{
    curl_share_cleanup(share);
}

void HeaderListCleanup::operator()(curl_slist* list) const noexcept
{
    curl_slist_free_all(list);
}

void UrlCleanup::operator()(Curl_URL* url) const noexcept
{
    curl_url_cleanup(url);
}

Easy newEasy()
{
    if (setupFails() || !libraryReady())
        return nullptr;
    return Easy(curl_easy_init());
}

Multi newMulti()
{
    if (setupFails() || !libraryReady())
        return nullptr;
    return Multi(curl_multi_init());
}

Share newSessionShare(bool connections)
{
    if (setupFails() || !libraryReady())
        return nullptr;
    Share share(curl_share_init());
    if (share && (setupFails() || curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK
                  || (connections && curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK)))
        share.reset();
    return share;
}

Url newUrl()
{
    if (setupFails())
        return nullptr;
    return Url(curl_url());
}

bool append(HeaderList& list, const char* line)
{
    if (setupFails())
        return false;
    curl_slist* longer = curl_slist_append(list.get(), line);
    if (longer == nullptr)
        return false;
    static_cast<void>(list.release()); // the longer list starts with the same entries
    list.reset(longer);
    return true;
}

} // namespace wininet::curl
