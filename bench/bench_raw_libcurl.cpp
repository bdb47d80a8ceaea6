// Raw libcurl, the yardstick: "get URL" reads one body and drops it; "repeat N URL" performs N
// GETs over one easy handle, so the connection is reused as a well-written libcurl program does.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::size_t Drop(char*, std::size_t size, std::size_t count, void*)
{
    return size * count;
}

int Run(const char* url, long requests)
{
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return 1;
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Drop);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    int status = 0;
    for (long i = 0; i < requests && status == 0; ++i) {
        const CURLcode result = curl_easy_perform(easy);
        if (result != CURLE_OK) {
            std::fprintf(stderr, "bench_raw_libcurl: %s\n", curl_easy_strerror(result));
            status = 1;
        }
    }
    curl_easy_cleanup(easy);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 2;
    if (argc == 3 && std::strcmp(argv[1], "get") == 0)
        status = Run(argv[2], 1);
    else if (argc == 4 && std::strcmp(argv[1], "repeat") == 0)
        status = Run(argv[3], std::strtol(argv[2], nullptr, 10));
    else
        std::fputs("usage: bench_raw_libcurl get URL | repeat N URL\n", stderr);
    curl_global_cleanup();
    return status;
}
