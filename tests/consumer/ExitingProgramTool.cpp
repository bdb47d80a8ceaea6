// A program that ends while its requests run, the way a program using TAdvHttp may end:
//   http_exiting_program WAY URL SEED
// It starts requests for URL (a body that keeps coming) on components of every kind: without
// owner, on its own thread's event loop (TEventThread::Own), owned by a widget, freeing itself
// on close, and one synchronous request on a thread of its own. Once every one is reading its
// body (and a moment more, drawn from SEED), it ends the WAY named:
//   returnFromMain, exitFromMain, exitFromAHandler (the worker's or this thread's),
//   exitFromAnotherThread, quit (QCoreApplication::quit, then main returns), releaseOnClose
//   (every component frees itself on close, and main returns).
// Exits 0; 3 when the requests never got under way; a crash shows as a signal.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "uAdvHttp.h"

namespace {

constexpr auto UnderWayLimit = std::chrono::seconds(10);

std::atomic<int> reading{0};

// Counts the components whose body is coming; calls exit from the handler when asked to.
TNotifyEvent CountFirstChunk(bool exitHere)
{
    return [exitHere, first = std::make_shared<std::atomic<bool>>(true)](TObject*) {
        if (first->exchange(false))
            ++reading;
        else if (exitHere)
            std::exit(0);
    };
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 4)
        return 2;
    const std::string way = argv[1];
    const std::string url = argv[2];
    std::mt19937 random(static_cast<unsigned>(std::stoul(argv[3])));
    const bool releasing = way == "releaseOnClose";
    const int exitingComponent = way == "exitFromAHandler" ? static_cast<int>(random() % 3) : -1;

    QWidget form;
    std::vector<TAdvHttp*> components{new TAdvHttp(nullptr), new TAdvHttp(nullptr), new TAdvHttp(&form)};
    components[1]->SetEventThread(TEventThread::Own);
    for (std::size_t i = 0; i < components.size(); ++i) {
        TAdvHttp* http = components[i];
        http->SetURL(url);
        http->SetRaiseExceptions(false);
        http->SetReleaseOnClose(releasing);
        http->OnDataAvailable = CountFirstChunk(static_cast<int>(i) == exitingComponent);
        if (!http->Execute(false))
            return 1;
    }
    std::thread([url] {
        TAdvHttp http(nullptr);
        http.SetURL(url);
        http.SetRaiseExceptions(false);
        http.OnDataAvailable = CountFirstChunk(false);
        static_cast<void>(http.Execute(true));
    }).detach();

    const int expected = static_cast<int>(components.size()) + 1;
    const auto deadline = std::chrono::steady_clock::now() + UnderWayLimit;
    while (reading < expected) {
        if (std::chrono::steady_clock::now() > deadline)
            return 3;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const auto moment = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 20000);
    while (std::chrono::steady_clock::now() < moment)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);

    if (way == "exitFromMain")
        std::exit(0);
    if (way == "exitFromAnotherThread") {
        std::thread([] { std::exit(0); }).detach();
        return QCoreApplication::exec();
    }
    if (way == "quit") {
        QTimer::singleShot(0, &application, &QCoreApplication::quit);
        return QCoreApplication::exec();
    }
    if (way == "exitFromAHandler")
        return QCoreApplication::exec(); // until the handler ends the program
    return 0; // returnFromMain, releaseOnClose
}
