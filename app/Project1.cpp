// The program entry: creates the wizard window as the main window and runs the message loop
// until it closes.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "CredentialDialog.h"
#include "Unit1.h"

namespace {

// Without a display the toolkit would abort with a terse message of its own.
bool DisplayAvailable()
{
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv)
{
    if (!DisplayAvailable()) {
        std::fputs("dorvane-setup: no display to open the window on. Run it in a desktop session, or under "
                   "Xvfb: xvfb-run -a dorvane-setup\n",
                   stderr);
        return 1;
    }
    QApplication application(argc, argv);
    // Ties the window to the installed dorvane-setup.desktop: a Wayland compositor takes the
    // name, icon and task-bar entry from it (the window's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("dorvane-setup"));
    TForm1::InstallFontSubstitutes();
    InstallCredentialPrompt();

    TForm1 window;
    Form1 = &window;
    window.show();
    application.exec();
    Form1 = nullptr;
    return 0;
}
