#include "Unit1.h"

#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <algorithm>
#include <exception>

#include "AccessibleWizard.h"
#include "AccountRequests.h"
#include "AnsiText.h"
#include "DialogFrame.h"
#include "JpegDecoder.h"
#include "ReadableColours.h"
#include "SmoothPicture.h"
#include "StoredSettings.h"
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
    if (CheckBox1->isChecked())
        static_cast<void>(WinExec(kDesktopApplication, SW_SHOWNORMAL));  // a failed start is not reported
    close();
}

// The two requests run on this thread and block it until they are answered; the window neither
// repaints nor reacts meanwhile, so "Please wait..." is painted before the first one.
void TForm1::CreateBtnClick(QObject*)
{
    if (m_creating)
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
    // Read now, so that keys typed while "Please wait..." was painted are sent and stored too.
    const std::string email = ToAnsi(txt_Email->text());
    const std::string login = ToAnsi(txt_Login->text());
    const std::string password = ToAnsi(txt_pwd->text());
    if (!PasswordCanBeStored(password)) {
        // Refused before anything is sent: the account's password would not be the one stored.
        Label7->resize(kMessageLabelWidth, Label7->height());
        SetLabelText(Label7, FromAnsi(kUnstorablePasswordMessage));
        return;
    }

    const std::int32_t resultCode = RequestLogin(login, password, email);
    if (resultCode > 0) {
        Label7->hide();
        CompleteAccount();
        SaveCredentials(TrimBlanks(login), TrimBlanks(password));
        ShowPage(QStringLiteral("Thanks"));
    } else if (resultCode < 0) {
        Label7->resize(kMessageLabelWidth, Label7->height());
        SetLabelText(Label7, kNetworkError);
    } else {
        Label7->resize(kMessageLabelWidth, Label7->height());
        SetLabelText(Label7, kNameTaken);
    }
}

// The first request; its answer read as the result code. A URL the component can't take
// (no service configured) leaves the handler as an error.
std::int32_t TForm1::RequestLogin(const std::string& login, const std::string& password, const std::string& email)
{
    AdvHttp1->SetURL(CreateLoginURL(WizardURL, login, password, email));
    static_cast<void>(AdvHttp1->Execute(true));  // a failure leaves Text empty, read as no number
    try {
        return ParseResultCode(AdvHttp1->Text());
    } catch (const std::exception&) {
        return kNotANumber;
    }
}

// The second request, carrying the id exactly as the first answer gave it. Its outcome is not
// looked at: the account exists once the first request succeeded.
void TForm1::CompleteAccount()
{
    try {
        AdvHttp1->SetURL(CompleteAccountURL(WizardURL, AdvHttp1->Text()));
        static_cast<void>(AdvHttp1->Execute(true));
    } catch (const std::exception&) {
        // ignored, as the answer is
    }
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

void TForm1::PlaceCentred()
{
    const QScreen* desktop = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (desktop == nullptr)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(desktop->availableGeometry().center());
    move(frame.topLeft());
}
