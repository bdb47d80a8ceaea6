// Raw libcurl, the yardstick: "get URL" reads one body and drops it; "keep URL" keeps it in memory
// as the component does (a string growing geometrically, reserved to Content-Length when known);
// "repeat N URL" performs N GETs over one easy handle, so the connection is reused as a
// well-written libcurl program does.
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

std::size_t Keep(char* data, std::size_t size, std::size_t count, void* body)
{
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// Reserves the body's buffer once the head says how long it is.
std::size_t Header(char* data, std::size_t size, std::size_t count, void* body)
{
    const std::string line(data, size * count);
    if (line.rfind("Content-Length:", 0) == 0 || line.rfind("content-length:", 0) == 0)
        static_cast<std::string*>(body)->reserve(std::strtoull(line.c_str() + 15, nullptr, 10));
    return size * count;
}

int Run(const char* url, long requests, bool keep = false)
{
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return 1;
    curl_easy_setopt(easy, CURLOPT_URL, url);
    std::string body;
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep ? Keep : Drop);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    if (keep) {
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, Header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &body);
    }
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
    else if (argc == 3 && std::strcmp(argv[1], "keep") == 0)
        status = Run(argv[2], 1, true);
    else if (argc == 4 && std::strcmp(argv[1], "repeat") == 0)
        status = Run(argv[3], std::strtol(argv[2], nullptr, 10));
    else
        std::fputs("usage: bench_raw_libcurl get URL | keep URL | repeat N URL\n", stderr);
    curl_global_cleanup();
    return status;
}
