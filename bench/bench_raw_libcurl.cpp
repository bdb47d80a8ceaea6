// Raw libcurl as a process, for the benchmark that measures clients from outside: "get URL" reads
// one body and drops it; "keep URL" keeps the server's big body in memory as the component does;
// "repeat N URL" performs N GETs of the server's small body over one easy handle, so the
// connection is reused as a well-written libcurl program does.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LoopbackServer.h"
#include "RawLibcurl.h"

namespace {

std::size_t Drop(char*, std::size_t size, std::size_t count, void*)
{
    return size * count;
}

bool GetAndDrop(const char* url)
{
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return false;
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Drop);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    const CURLcode result = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    return result == CURLE_OK;
}

} // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 2;
    if (argc == 3 && std::strcmp(argv[1], "get") == 0)
        status = GetAndDrop(argv[2]) ? 0 : 1;
    else if (argc == 3 && std::strcmp(argv[1], "keep") == 0)
        status = RawLibcurl::KeepBody(argv[2], LoopbackServer::BigBodySize) ? 0 : 1;
    else if (argc == 4 && std::strcmp(argv[1], "repeat") == 0)
        status = RawLibcurl::RepeatGets(argv[3], std::atoi(argv[2]), LoopbackServer::SmallBody) ? 0 : 1;
    else
        std::fputs("usage: bench_raw_libcurl get URL | keep URL | repeat N URL\n", stderr);
    if (status == 1)
        std::fputs("bench_raw_libcurl: a transfer failed or its body was wrong\n", stderr);
    curl_global_cleanup();
    return status;
}
