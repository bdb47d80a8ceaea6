#include "Unit1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "AccessibleWizard.h"
#include "AccountRequests.h"
#include "AnsiText.h"
#include "DialogFrame.h"
#include "JpegDecoder.h"
#include "ReadableColours.h"
#include "SmoothPicture.h"
#include "StoredSettings.h"
#include "errhandlingapi.h"
#include "synchapi.h"
#include "winbase.h"
#include "TReader.h"
#include "uAdvHttp.h"
#include "winexec.h"
#include "winuser.h"

TForm1* Form1 = nullptr;

namespace {

// The layout was drawn at 96 pixels per inch: its 8-point font is 11 pixels high whatever the
// screen's resolution, so the controls' texts fit the sizes they were given.
constexpr double kLayoutDotsPerInch = 96.0;

constexpr const char* kPictureResource = ":/images/Image1.jpg";
constexpr const char* kComponentLayoutResource = ":/layout/AdvHttp1.layout";

// Wide enough for every message to fit in two lines above the first field; at its start width
// the network message would run on under the e-mail field, where nobody can read it.
constexpr int kMessageLabelWidth = 260;
const QString kPleaseWait = QStringLiteral("Please wait...");
const QString kNameTaken = QStringLiteral("User name already exists.");
const QString kNetworkError =
    QStringLiteral("An error occured. Please check you network connection and try again.");
constexpr const char* kDesktopApplication = "Dorvane.exe";

// The service answers a number of a few bytes; anything longer is no answer of it, and is not
// kept whole (a huge one would cost its size in memory before being refused).
constexpr std::size_t kAnswerLimit = 4096;
// How long the component may take, once a request's last event has arrived, to record its end.
constexpr DWORD kEndingRecordedWithin = 5000;

void PresentInMessageBox(QWidget* window, const QString& text)
{
    QMessageBox::critical(window, window != nullptr ? window->windowTitle() : QString(), text);
}

TForm1::ErrorPresenter& CurrentPresenter()
{
    static TForm1::ErrorPresenter presenter = PresentInMessageBox;
    return presenter;
}

// Non-blank once trimmed of bytes 0x20 and below.
bool HasText(const QLineEdit* edit)
{
    return !TrimBlanks(ToAnsi(edit->text())).empty();
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent)
{
    InstallFontSubstitutes();
    TAccessibleWizard::Install();
    setupUi(this);
    ApplyLayoutFonts(this);
    SizeLabelsToText();
    new TReadableColours(this);
    new TSmoothPicture(Image1);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(434, 254);
    Notebook1->setCurrentWidget(Default);
    AdvHttp1 = new TAdvHttp(this);
    ConnectHandlers();
    GuardPageButtons();
    Guarded([this] { LoadPicture(); });
    Guarded([this] { LoadComponentLayout(); });
    AdvHttp1->SetResponseBodyLimit(kAnswerLimit);
    AdvHttp1->OnRequestComplete = [this](TObject*) { EndRequestWait(true); };
    AdvHttp1->OnError = [this](TObject*) { EndRequestWait(false); };
    Guarded([this] { FormCreate(this); });
}

TForm1::~TForm1() = default;

void TForm1::InstallFontSubstitutes()
{
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
}

TForm1::ErrorPresenter TForm1::SetErrorPresenter(ErrorPresenter presenter)
{
    ErrorPresenter previous = std::move(CurrentPresenter());
    CurrentPresenter() = presenter ? std::move(presenter) : ErrorPresenter(PresentInMessageBox);
    return previous;
}

void TForm1::ShowPage(const QString& name)
{
    for (int index = 0; index < Notebook1->count(); ++index) {
        QWidget* page = Notebook1->widget(index);
        if (page->objectName() == name) {
            if (page != Notebook1->currentWidget())
                m_clickGuard.PageSwitched();
            Notebook1->setCurrentWidget(page);
            return;
        }
    }
}

QString TForm1::ActivePage() const
{
    return Notebook1->currentWidget()->objectName();
}

// --- handlers -------------------------------------------------------------------------------

void TForm1::FormCreate(QObject*)
{
    WizardURL = ReadWizardURL();
}

void TForm1::newChkClick(QObject*)
{
    NextBtn->setEnabled(true);
}

void TForm1::existChkClick(QObject*)
{
    NextBtn->setEnabled(true);
}

void TForm1::NextBtnClick(QObject*)
{
    if (newChk->isChecked())
        ShowPage(QStringLiteral("New"));
    else if (existChk->isChecked())
        ShowPage(QStringLiteral("Exist"));
}

void TForm1::BackBtnClick(QObject*)
{
    CancelRequest();
    ShowPage(QStringLiteral("Default"));
    CreateBtn->setEnabled(false);
}

void TForm1::SBackBtnClick(QObject*)
{
    ShowPage(QStringLiteral("Default"));
    SignBtn->setEnabled(false);
}

void TForm1::txt_EmailKeyUp(QObject*, int, Qt::KeyboardModifiers)
{
    CreateBtn->setEnabled(HasText(txt_Email) && HasText(txt_Login) && HasText(txt_pwd));
}

void TForm1::SignBtnKeyUp(QObject*, int, Qt::KeyboardModifiers)
{
    SignBtn->setEnabled(HasText(txt_extLogin) && HasText(txt_extPwd));
}

void TForm1::SignBtnClick(QObject*)
{
    const std::string login = TrimBlanks(ToAnsi(txt_extLogin->text()));
    const std::string password = TrimBlanks(ToAnsi(txt_extPwd->text()));
    // Refused before anything changes, so the user can correct the password and sign in again.
    if (!PasswordCanBeStored(password))
        throw ESettingsError(std::string(kUnstorablePasswordMessage));
    SignBtn->setEnabled(false);
    Label9->setVisible(false);
    SaveCredentials(login, password);
    ShowPage(QStringLiteral("Thanks"));
}

void TForm1::Button2Click(QObject*)
{
    CancelRequest();
    if (CheckBox1->isChecked() && WinExec(kDesktopApplication, SW_SHOWNORMAL) <= 31) {
        const DWORD reason = GetLastError();
        char text[512] = {};
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, reason, 0, text,
                           sizeof text, nullptr) == 0)
            std::snprintf(text, sizeof text, "Error %lu.", static_cast<unsigned long>(reason));
        ShowError(QStringLiteral("The Dorvane application (%1) could not be started: %2")
                      .arg(QString::fromLatin1(kDesktopApplication), FromAnsi(TrimBlanks(text))));
    }
    close();
}

// The two requests run on the component's worker while this thread waits in an event loop of its
// own (RunRequest): the handler keeps its plain order, and the window keeps painting and its
// Cancel, Back, Escape and close button end a request at once. The component's synchronous
// mode would leave the window deaf for as long as a silent service keeps the request waiting.
void TForm1::CreateBtnClick(QObject*)
{
    if (m_creating || m_requestWait != nullptr)
        return;
    Label7->show();
    // Pending input is handled here too: a second click on Create that was already queued must
    // not start a second sign-up inside this one, and a window closed meanwhile sends nothing.
    m_creating = true;
    SetLabelText(Label7, kPleaseWait);
    Label7->repaint();
    QCoreApplication::processEvents();
    m_creating = false;
    CreateBtn->setEnabled(false);
    if (!isVisible())
        return;
    if (Notebook1->currentWidget() != New) {  // the user went Back meanwhile: nothing is sent
        Label7->hide();
        return;
    }
    // A location the start could not read (the hive busy or damaged then, or set since) is read
    // again; without one nothing is sent, and the user is told why rather than of the network.
    if (WizardURL.empty() && !ReadLocationForCreate())
        return;
    // Read now, so that keys typed while "Please wait..." was painted are sent and stored too.
    const std::string email = ToAnsi(txt_Email->text());
    const std::string login = ToAnsi(txt_Login->text());
    const std::string password = ToAnsi(txt_pwd->text());
    if (!PasswordCanBeStored(password)) {
        // Refused before anything is sent: the account's password would not be the one stored.
        ShowSignUpMessage(FromAnsi(kUnstorablePasswordMessage));
        return;
    }

    if (m_madeLogin && (m_madeLogin->login != login || m_madeLogin->password != password ||
                        m_madeLogin->email != email))
        m_madeLogin.reset();  // other fields: another account
    if (!m_madeLogin) {
        const std::optional<std::string> answer = RunRequest(CreateLoginURL(WizardURL, login, password, email));
        if (!StillSigningUp())
            return;
        const std::int32_t resultCode = answer ? ParseResultCode(*answer) : kNotANumber;
        if (resultCode <= 0) {
            ShowSignUpMessage(resultCode == 0 ? kNameTaken : kNetworkError);
            return;
        }
        m_madeLogin = TMadeLogin{login, password, email, *answer};
    }
    if (!m_madeLogin->completed) {
        // The id goes back exactly as the service wrote it, blanks and line ends aside.
        const std::optional<std::string> answer = RunRequest(CompleteAccountURL(WizardURL, m_madeLogin->id));
        if (!StillSigningUp())
            return;
        if (!answer || CompletionRefused(*answer)) {
            ShowSignUpMessage(kNetworkError);
            return;
        }
        m_madeLogin->completed = true;
    }
    StoreAccount(TrimBlanks(login), TrimBlanks(password));
    m_madeLogin.reset();
    ShowPage(QStringLiteral("Thanks"));
}

// The account exists on the service now; when its credentials can't be stored the user is told
// why (as Sign In tells), and Create stores them once the cause is mended.
void TForm1::StoreAccount(const std::string& login, const std::string& password)
{
    Label7->hide();
    try {
        SaveCredentials(login, password);
    } catch (const ESettingsError& error) {
        txt_EmailKeyUp(txt_Email, 0, {});
        throw ESettingsError("Your account has been created, but its login and password could not be stored. " +
                             std::string(error.what()));
    }
}

bool TForm1::ReadLocationForCreate()
{
    QString problem;
    try {
        WizardURL = ReadWizardURL();
        if (WizardURL.empty())
            problem = QStringLiteral("No service is set: the value wPath under HKEY_CURRENT_USER\\%1 names it.")
                          .arg(QString::fromLatin1(kServiceKey));
    } catch (const ESettingsError& error) {
        problem = FromAnsi(error.what());
    }
    if (problem.isEmpty())
        return true;
    Label7->hide();
    txt_EmailKeyUp(txt_Email, 0, {});
    ShowError(problem);
    return false;
}

// One request; its answer, trimmed of surrounding blanks and line ends, only when the response
// came whole with a 2xx status. No answer when the URL can't be taken (no usable wPath), the
// request failed, was cancelled, or the response was an error status, cut short or longer than
// an answer of the service can be.
std::optional<std::string> TForm1::RunRequest(const std::string& url)
{
    try {
        AdvHttp1->SetURL(url);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (HANDLE done = AdvHttp1->CompletionEvent(); done != nullptr)
        ResetEvent(done);
    m_requestEnded = false;
    m_requestCompleted = false;
    m_requestCancelled = false;
    QEventLoop wait;
    m_requestWait = &wait;
    // The fields are sent already: they stay as sent while the request waits.
    for (QLineEdit* field : {txt_Email, txt_Login, txt_pwd})
        field->setReadOnly(true);
    if (AdvHttp1->Execute(false) && !m_requestEnded)
        wait.exec();  // until the request's last event, a cancel, or the application's end
    if (!m_requestEnded) {
        // Cancelled, or the application is ending: the request ends at once, and its OnError
        // comes through this thread's events.
        AdvHttp1->Cancel();
        QTimer::singleShot(kEndingRecordedWithin, &wait, &QEventLoop::quit);
        if (!m_requestEnded)
            wait.exec();
    }
    for (QLineEdit* field : {txt_Email, txt_Login, txt_pwd})
        field->setReadOnly(false);
    m_requestWait = nullptr;
    // The last event has been delivered; the component records the end on its worker.
    if (HANDLE done = AdvHttp1->CompletionEvent(); done != nullptr && AdvHttp1->Busy())
        WaitForSingleObject(done, kEndingRecordedWithin);

    const DWORD status = AdvHttp1->StatusCode();
    if (!m_requestCompleted || m_requestCancelled || AdvHttp1->LastError() != 0 || status < 200 || status > 299)
        return std::nullopt;
    return TrimBlanks(AdvHttp1->Text());
}

void TForm1::EndRequestWait(bool completed)
{
    m_requestEnded = true;
    m_requestCompleted = completed;
    if (m_requestWait != nullptr)
        m_requestWait->quit();
}

// Ends the request in progress at once, if there is one: its wait returns with no answer.
void TForm1::CancelRequest()
{
    if (m_requestWait == nullptr)
        return;
    m_requestCancelled = true;
    AdvHttp1->Cancel();
    m_requestWait->quit();
}

// Whether the sign-up that waited for a request goes on: not once the user cancelled it, went
// Back, or closed the window.
bool TForm1::StillSigningUp() const
{
    if (!m_requestCancelled && isVisible() && Notebook1->currentWidget() == New)
        return true;
    Label7->hide();
    return false;
}

// A failed sign-up: the message on the page, and Create usable again for another try.
void TForm1::ShowSignUpMessage(const QString& text)
{
    Label7->resize(kMessageLabelWidth, Label7->height());
    Label7->show();
    SetLabelText(Label7, text);
    txt_EmailKeyUp(txt_Email, 0, {});
}

// --- wiring ---------------------------------------------------------------------------------

void TForm1::ConnectHandlers()
{
    ConnectClick(newChk, &TForm1::newChkClick);
    ConnectClick(existChk, &TForm1::existChkClick);
    ConnectClick(NextBtn, &TForm1::NextBtnClick);
    ConnectClick(Button2, &TForm1::Button2Click);
    ConnectClick(Button5, &TForm1::Button2Click);
    ConnectClick(BackBtn, &TForm1::BackBtnClick);
    ConnectClick(Button7, &TForm1::Button2Click);
    ConnectClick(SBackBtn, &TForm1::SBackBtnClick);
    ConnectClick(SignBtn, &TForm1::SignBtnClick);
    ConnectClick(CreateBtn, &TForm1::CreateBtnClick);
    ConnectClick(Button9, &TForm1::Button2Click);
    for (QWidget* control : {static_cast<QWidget*>(txt_Email), static_cast<QWidget*>(txt_Login),
                             static_cast<QWidget*>(txt_pwd), static_cast<QWidget*>(txt_extLogin),
                             static_cast<QWidget*>(txt_extPwd), static_cast<QWidget*>(SignBtn)})
        WatchKeyUp(control);
    // A field emptied without a key (the context menu's Undo, Cut or Delete) disables the button
    // its key release would have; only a key release enables it again.
    for (QLineEdit* field : {txt_Email, txt_Login, txt_pwd})
        connect(field, &QLineEdit::textChanged, this, [this, field] {
            if (!HasText(field))
                CreateBtn->setEnabled(false);
        });
    for (QLineEdit* field : {txt_extLogin, txt_extPwd})
        connect(field, &QLineEdit::textChanged, this, [this, field] {
            if (!HasText(field))
                SignBtn->setEnabled(false);
        });
}

void TForm1::GuardPageButtons()
{
    for (QAbstractButton* button : Notebook1->findChildren<QAbstractButton*>())
        m_clickGuard.Watch(button);
}

void TForm1::ConnectClick(QAbstractButton* button, void (TForm1::*handler)(QObject*))
{
    connect(button, &QAbstractButton::clicked, this,
            [this, button, handler] { Guarded([this, button, handler] { (this->*handler)(button); }); });
}

// Key releases are not signals; the window watches for them on the controls that have a
// key-up handler.
void TForm1::WatchKeyUp(QWidget* control)
{
    control->installEventFilter(this);
}

TForm1::KeyUpHandler TForm1::KeyUpHandlerOf(QObject* control) const
{
    if (control == txt_Email || control == txt_Login || control == txt_pwd)
        return &TForm1::txt_EmailKeyUp;
    if (control == txt_extLogin || control == txt_extPwd || control == SignBtn)
        return &TForm1::SignBtnKeyUp;
    return nullptr;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyRelease) {
        const KeyUpHandler handler = KeyUpHandlerOf(watched);
        if (handler != nullptr) {
            const auto* key = static_cast<QKeyEvent*>(event);
            Guarded([&] { (this->*handler)(watched, key->key(), key->modifiers()); });
        }
    }
    return QWidget::eventFilter(watched, event);
}

template <typename Step>
void TForm1::Guarded(Step&& step)
{
    try {
        step();
    } catch (const std::exception& error) {
        ShowError(FromAnsi(error.what()));
    } catch (...) {
        ShowError(QStringLiteral("Unknown error"));
    }
}

void TForm1::ShowError(const QString& text)
{
    // A copy, so a presenter that replaces itself while it runs stays alive until it returns.
    const ErrorPresenter presenter = CurrentPresenter();
    try {
        presenter(this, text);
    } catch (...) {
        // Nothing may unwind through the toolkit; a failing presenter leaves the error unseen.
    }
}

// --- layout ---------------------------------------------------------------------------------

// Turns the layout's point sizes into pixel sizes at the layout's resolution, parents first so
// children that inherit their font inherit the converted one.
void TForm1::ApplyLayoutFonts(QWidget* widget)
{
    if (widget->testAttribute(Qt::WA_SetFont) && widget->font().pointSizeF() > 0) {
        QFont font = widget->font();
        font.setPixelSize(qRound(font.pointSizeF() * kLayoutDotsPerInch / 72.0));
        widget->setFont(font);
    }
    for (QObject* child : widget->children()) {
        if (child->isWidgetType())
            ApplyLayoutFonts(static_cast<QWidget*>(child));
    }
}

// Labels size themselves to their text: one-line labels widen to their caption (the stand-in
// face can be a pixel or two wider than the one the layout was drawn with), word-wrapped ones
// keep their width and take the height their lines need.
void TForm1::SizeLabelsToText()
{
    for (QLabel* label : Notebook1->findChildren<QLabel*>())
        FitLabel(label);
}

void TForm1::FitLabel(QLabel* label)
{
    if (label->wordWrap()) {
        label->resize(label->width(), std::max(label->height(), label->heightForWidth(label->width())));
        return;
    }
    const int textWidth = label->fontMetrics().horizontalAdvance(label->text());
    label->resize(std::max(label->width(), textWidth), label->height());
}

void TForm1::LoadPicture()
{
    QFile file(QString::fromLatin1(kPictureResource));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("The side picture is missing from the program");
    QString error;
    const QImage picture = DecodeJpeg(file.readAll(), &error);
    if (picture.isNull())
        throw std::runtime_error("The side picture can't be decoded: " + ToAnsi(error));
    Image1->setPixmap(QPixmap::fromImage(picture));
}

// The component's property values are data kept with the window, like the controls' layout.
void TForm1::LoadComponentLayout()
{
    QFile file(QString::fromLatin1(kComponentLayoutResource));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("The request component's layout is missing from the program");
    const QByteArray text = file.readAll();
    ReadComponentLayout(*AdvHttp1, std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
}

// Word-wrapped labels keep their width and take the height their lines need. A screen reader
// speaks the new text.
void TForm1::SetLabelText(QLabel* label, const QString& text)
{
    TAccessibleWizard::AnnounceText(label, text);
    if (label->wordWrap())
        label->resize(label->width(), label->heightForWidth(label->width()));
}

void TForm1::showEvent(QShowEvent* event)
{
    ApplyDialogFrame(this);  // the native window exists now and is not mapped yet
    if (!m_placed) {
        m_placed = true;
        PlaceCentred();
    }
    QWidget::showEvent(event);
}

// Closing the window ends the request it waits for; nothing of that sign-up is stored.
void TForm1::closeEvent(QCloseEvent* event)
{
    CancelRequest();
    QWidget::closeEvent(event);
}

// Escape while a request runs ends it and closes the window, as Cancel does.
void TForm1::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && m_requestWait != nullptr) {
        CancelRequest();
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TForm1::PlaceCentred()
{
    const QScreen* desktop = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (desktop == nullptr)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(desktop->availableGeometry().center());
    move(frame.topLeft());
}
