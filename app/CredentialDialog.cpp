#include "CredentialDialog.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include "AnsiText.h"

TCredentialDialog::TCredentialDialog(QWidget* parent, DWORD statusCode)
    : QDialog(parent)
    , PromptLabel(new QLabel(this))
    , txt_UserName(new QLineEdit(this))
    , txt_Password(new QLineEdit(this))
    , OKBtn(new QPushButton(QStringLiteral("OK"), this))
    , CancelBtn(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("CredentialDialog"));
    setWindowTitle(QStringLiteral("Enter Network Password"));
    const bool proxy = statusCode == 407;
    PromptLabel->setText(proxy ? QStringLiteral("The proxy server asks for a user name and password.")
                               : QStringLiteral("The server asks for a user name and password."));
    PromptLabel->setWordWrap(true);
    txt_UserName->setObjectName(QStringLiteral("txt_UserName"));
    txt_Password->setObjectName(QStringLiteral("txt_Password"));
    txt_Password->setEchoMode(QLineEdit::Password);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("&User name:"), txt_UserName);  // the row label is the edit's buddy
    fields->addRow(QStringLiteral("&Password:"), txt_Password);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PromptLabel);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    setLayout(layout);
    setFixedWidth(300);

    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

std::string TCredentialDialog::UserName() const
{
    return ToAnsi(txt_UserName->text());
}

std::string TCredentialDialog::Password() const
{
    return ToAnsi(txt_Password->text());
}

namespace {

bool StoreOption(HINTERNET request, DWORD option, std::string text)
{
    return InternetSetOptionA(request, option, text.data(), static_cast<DWORD>(text.size())) != FALSE;
}

}  // namespace

DWORD PromptForCredentials(HWND parent, HINTERNET request, DWORD statusCode)
{
    // An asynchronous request asks from its worker; a dialog lives on the window's thread, which
    // waits in an event loop meanwhile and shows it there.
    if (QThread::currentThread() != qApp->thread()) {
        DWORD answer = ERROR_CANCELLED;
        QMetaObject::invokeMethod(
            qApp, [&] { answer = PromptForCredentials(parent, request, statusCode); },
            Qt::BlockingQueuedConnection);
        return answer;
    }
    // The platform window handle means nothing to the toolkit; the dialog sits over whatever
    // window the user is working in.
    TCredentialDialog dialog(QApplication::activeWindow(), statusCode);
    if (dialog.exec() != QDialog::Accepted)
        return ERROR_CANCELLED;
    const bool proxy = statusCode == 407;
    const bool stored =
        StoreOption(request, proxy ? INTERNET_OPTION_PROXY_USERNAME : INTERNET_OPTION_USERNAME, dialog.UserName()) &&
        StoreOption(request, proxy ? INTERNET_OPTION_PROXY_PASSWORD : INTERNET_OPTION_PASSWORD, dialog.Password());
    // Sending again without the credentials would only bring the same question back.
    return stored ? ERROR_INTERNET_FORCE_RETRY : ERROR_CANCELLED;
}

void InstallCredentialPrompt()
{
    static_cast<void>(SetInternetErrorDlgHook(PromptForCredentials));
}
