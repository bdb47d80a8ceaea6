// fetch URL: one GET with TAdvHttp, synchronous. The body goes to standard output, each event
// the component raises to standard error. Exit status 0 when the request completed (whatever
// the HTTP status), 1 when it failed, 2 for bad arguments.
//
//   fetch http://127.0.0.1:8000/index.html > index.html
#include <dorvane/uAdvHttp.h>

#include <QCoreApplication>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fetch URL\n");
        return 2;
    }

    // No owner: the events run on the request's own threads, here while Execute(true) waits.
    TAdvHttp http(nullptr);
    http.SetRaiseExceptions(false);
    auto print = [](const char* event) {
        return [event](TObject*) { std::fprintf(stderr, "fetch: %s\n", event); };
    };
    http.OnResolvingName = print("resolving name");
    http.OnNameResolved = print("name resolved");
    http.OnConnectingToServer = print("connecting");
    http.OnConnectedToServer = print("connected");
    http.OnSendingRequest = print("sending request");
    http.OnRequestSent = print("request sent");
    http.OnReceivingResponse = print("receiving response");
    http.OnResponseReceived = print("response received");
    http.OnRedirect = print("redirect");
    http.OnClosingConnection = print("closing connection");
    http.OnConnectionClosed = print("connection closed");
    http.OnDataAvailable = [&http](TObject*) {
        std::fprintf(stderr, "fetch: data available, %lu bytes so far\n",
                     static_cast<unsigned long>(http.TotalBytesReceived()));
    };
    http.OnRequestComplete = print("request complete");
    http.OnError = [&http](TObject*) {
        std::fprintf(stderr, "fetch: error %lu: %s\n", static_cast<unsigned long>(http.LastError()),
                     http.ErrorText(http.LastError()).c_str());
    };

    try {
        http.SetURL(argv[1]);
    } catch (const Exception& error) {  // a URL the component can't take, even without raising
        std::fprintf(stderr, "fetch: %s\n", error.Message().c_str());
        return 2;
    }
    // Without raising, a failure while the response is read (a body cut short, say) is told by
    // OnError and LastError, and the request still completes: only a clean LastError is a whole
    // response.
    if (!http.Execute(true) || http.LastError() != ERROR_SUCCESS)
        return 1;  // OnError has said why
    std::fprintf(stderr, "fetch: HTTP status %lu\n", static_cast<unsigned long>(http.StatusCode()));
    const std::string& body = http.ResponseBody();
    std::fwrite(body.data(), 1, body.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
