// The wizard's start to its first painted frame: creates the window as the program does (layout,
// JPEG decode, component, settings read) and stops after the first paint. Prints
// "first-frame-ms X" measured from BENCH_START_NS (the CLOCK_MONOTONIC time at which the runner
// started this process), or from main() when that is not given, and "in-process-ms Y" from main().
#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "CredentialDialog.h"
#include "Unit1.h"

namespace {

long long NowNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

class FirstPaint : public QObject {
public:
    FirstPaint(long long processStart, long long mainStart)
        : m_processStart(processStart)
        , m_mainStart(mainStart)
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Report once the paint has been done and flushed, not when it starts.
            QTimer::singleShot(0, [this] {
                const long long now = NowNanoseconds();
                std::printf("first-frame-ms %.2f\nin-process-ms %.2f\n", (now - m_processStart) / 1e6,
                            (now - m_mainStart) / 1e6);
                QApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    long long m_processStart;
    long long m_mainStart;
    bool m_seen = false;
};

} // namespace

int main(int argc, char** argv)
{
    const long long mainStart = NowNanoseconds();
    const char* given = std::getenv("BENCH_START_NS");
    const long long processStart = given != nullptr ? std::atoll(given) : mainStart;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication application(argc, argv);
    TForm1::InstallFontSubstitutes();
    InstallCredentialPrompt();
    TForm1 window;
    FirstPaint probe(processStart, mainStart);
    window.installEventFilter(&probe);
    window.show();
    return application.exec();
}
