// The prompt a server (401) or proxy (407) asking for credentials brings up during a request:
// a user name, a password, OK and Cancel. The program installs it as the Internet layer's
// error-dialog hook:
//
//   InstallCredentialPrompt();   // before the first request
#pragma once

#include <QDialog>
#include <string>

#include "wininet.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TCredentialDialog : public QDialog {
    Q_OBJECT

public:
    // statusCode 407 asks for the proxy's credentials, anything else for the server's.
    TCredentialDialog(QWidget* parent, DWORD statusCode);

    // The typed texts as the system's 8-bit text.
    [[nodiscard]] std::string UserName() const;
    [[nodiscard]] std::string Password() const;

    QLabel* PromptLabel;
    QLineEdit* txt_UserName;
    QLineEdit* txt_Password;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
};

// The hook itself: shows the dialog over the active window; OK stores the credentials on the
// request and answers ERROR_INTERNET_FORCE_RETRY (send again); Cancel answers ERROR_CANCELLED.
DWORD PromptForCredentials(HWND parent, HINTERNET request, DWORD statusCode);

// Makes PromptForCredentials the Internet layer's error-dialog hook.
void InstallCredentialPrompt();
