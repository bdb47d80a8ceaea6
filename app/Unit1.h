// The wizard window: a fixed-size dialog with a picture on the left and four pages on the right
// ("Default", "New", "Exist", "Thanks") through which a user signs up or signs in, and leaves.
//
//   TForm1 window;          // builds the controls from the layout and runs FormCreate
//   window.show();          // centred on the desktop
//
// Every handler runs guarded: an exception leaving it is shown in a message box (see
// SetErrorPresenter), the handler's remaining steps are skipped and the window carries on.
#pragma once

#include <QString>
#include <cstdint>
#include <QWidget>

class QEventLoop;
#include <functional>
#include <optional>
#include <string>

#include "DoubleClickGuard.h"
#include "ui_Unit1.h"

class TAdvHttp;

class TForm1 : public QWidget, public Ui::TForm1Layout {
    Q_OBJECT

public:
    // Shows an error's text to the user; the default is a modal message box over the window.
    using ErrorPresenter = std::function<void(QWidget* window, const QString& text)>;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Shows the page of that name; a name that matches no page changes nothing.
    void ShowPage(const QString& name);
    [[nodiscard]] QString ActivePage() const;

    // Replaces how errors reach the user (for every window) and returns the previous way.
    static ErrorPresenter SetErrorPresenter(ErrorPresenter presenter);

    // Maps "MS Sans Serif", which the layout names, to a face with the same metrics. Must run
    // before the first widget is created; the constructor does it too.
    static void InstallFontSubstitutes();

    // The service's wizard scripts: "http://" + wPath + "/wizard_files/", empty when unset.
    std::string WizardURL;
    // The HTTP component the account requests go through, owned by the window and streamed
    // from its layout (":/layout/AdvHttp1.layout").
    TAdvHttp* AdvHttp1 = nullptr;

    // The handlers, named after their control and event. Sender is the control that raised it.
    void FormCreate(QObject* Sender);
    void newChkClick(QObject* Sender);
    void existChkClick(QObject* Sender);
    void NextBtnClick(QObject* Sender);
    void BackBtnClick(QObject* Sender);
    void SBackBtnClick(QObject* Sender);
    void txt_EmailKeyUp(QObject* Sender, int Key, Qt::KeyboardModifiers Shift);
    void SignBtnKeyUp(QObject* Sender, int Key, Qt::KeyboardModifiers Shift);
    void SignBtnClick(QObject* Sender);
    void Button2Click(QObject* Sender);
    void CreateBtnClick(QObject* Sender);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    using KeyUpHandler = void (TForm1::*)(QObject*, int, Qt::KeyboardModifiers);

    void ApplyLayoutFonts(QWidget* widget);
    void SizeLabelsToText();
    void FitLabel(QLabel* label);
    void ConnectHandlers();
    void ConnectClick(QAbstractButton* button, void (TForm1::*handler)(QObject*));
    void WatchKeyUp(QWidget* control);
    void LoadPicture();
    void LoadComponentLayout();
    void SetLabelText(QLabel* label, const QString& text);
    [[nodiscard]] std::optional<std::string> RunRequest(const std::string& url);
    void EndRequestWait(bool completed);
    void CancelRequest();
    [[nodiscard]] bool StillSigningUp() const;
    void ShowSignUpMessage(const QString& text);
    void StoreAccount(const std::string& login, const std::string& password);
    void PlaceCentred();

    // Runs one handler; whatever it throws ends here, in the error presenter.
    template <typename Step>
    void Guarded(Step&& step);
    void ShowError(const QString& text);

    [[nodiscard]] KeyUpHandler KeyUpHandlerOf(QObject* control) const;
    // Reads WizardURL again for Create; false, with the reason shown, when there is none.
    [[nodiscard]] bool ReadLocationForCreate();

    void GuardPageButtons();

    // A sign-up whose make_login was answered with an id: kept while make_usr or storing the
    // credentials has not succeeded, so that trying again with the same fields completes that
    // account instead of asking for the login a second time (the service would answer that it
    // is taken).
    struct TMadeLogin {
        std::string login;
        std::string password;
        std::string email;
        std::string id;
        bool completed = false;  // make_usr answered too: only the credentials remain to store
    };
    std::optional<TMadeLogin> m_madeLogin;

    QEventLoop* m_requestWait = nullptr;  // the wait of the request in progress, if any
    bool m_requestEnded = false;          // its OnRequestComplete or OnError has arrived
    bool m_requestCompleted = false;      // its response was read whole
    bool m_requestCancelled = false;      // Cancel, Back, Escape or the close button ended it

    bool m_placed = false;    // centred once, when first shown
    bool m_creating = false;  // CreateBtnClick is letting pending messages through
    TDoubleClickGuard m_clickGuard;  // a double click's second half doesn't reach the next page
};

// The program's one window, created by the program entry.
extern TForm1* Form1;
