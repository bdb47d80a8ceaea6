// The Create button through the real window (offscreen), against a scripted server that records
// the exact request bytes, an in-process reference service, and a port that refuses.
// The settings API comes first: the resolver headers define DELETE as a macro.
#include "winreg.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <cstdlib>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "AccountStore.h"
#include "CredentialDialog.h"
#include "PasswordHash.h"
#include "StoredSettings.h"
#include "WizardService.h"
#include "WizardTestSupport.h"
#include "local_http_server.h"
#include "scripted_server.h"
#include "uAdvHttp.h"

namespace {

using dorvane::test::httpResponse;
using dorvane::test::LocalHttpServer;
using dorvane::test::Script;
using dorvane::test::ScriptedServer;
using dorvane::test::Step;

const QString kNetworkMessage = "An error occured. Please check you network connection and try again.";
const QString kNameTakenMessage = "User name already exists.";

// One request answered, then the connection closed, so each request comes on its own connection.
Script Answer(int status, const std::string& body)
{
    return {Step::readRequest(), Step::send(httpResponse(status, body, "Connection: close\r\n")), Step::close()};
}

std::string RequestLine(const std::string& request)
{
    return request.substr(0, request.find("\r\n"));
}

// A loopback port nothing listens on: bound, then closed.
int RefusingPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

class CreateAccount : public ::testing::Test {
protected:
    void OpenWindowFor(int port)
    {
        WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString("127.0.0.1:" + std::to_string(port)));
        OpenWindow();
    }

    void OpenWindow()
    {
        window = std::make_unique<TForm1>();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ClickButton(window->NextBtn);
        ASSERT_EQ(window->ActivePage(), "New");
    }

    void Fill(const QString& email, const QString& login, const QString& password)
    {
        TypeInto(window->txt_Email, email);
        TypeInto(window->txt_Login, login);
        TypeInto(window->txt_pwd, password);
        ASSERT_TRUE(window->CreateBtn->isEnabled());
    }

    void Create() { ClickButton(window->CreateBtn); }

    void ExpectNothingStored()
    {
        EXPECT_FALSE(ReadStoredValue(kSettingsKey, "UserName"));
        EXPECT_FALSE(ReadStoredValue(kSettingsKey, "PassWord"));
    }

    ScopedHive hive;
    ErrorCapture errors;
    std::unique_ptr<TForm1> window;
};

// --- the first answer -----------------------------------------------------------------------

enum class Outcome { Thanks, NetworkMessage, NameTaken };

struct AnswerCase {
    const char* tag;
    int status;
    std::string answer;
    Outcome outcome;
    const char* completeRequestLine;  // for Thanks: the second request exactly
};

const AnswerCase kAnswers[] = {
    {"17", 200, "17", Outcome::Thanks, "GET /wizard_files/make_usr.asp?id=17 HTTP/1.1"},
    {"space 17", 200, " 17", Outcome::Thanks, "GET /wizard_files/make_usr.asp?id=%2017 HTTP/1.1"},
    {"dollar 1A", 200, "$1A", Outcome::Thanks, "GET /wizard_files/make_usr.asp?id=%241A HTTP/1.1"},
    {"0x1A", 200, "0x1A", Outcome::Thanks, "GET /wizard_files/make_usr.asp?id=0x1A HTTP/1.1"},
    {"-5", 200, "-5", Outcome::NetworkMessage, nullptr},
    {"12abc", 200, "12abc", Outcome::NetworkMessage, nullptr},
    {"empty", 200, "", Outcome::NetworkMessage, nullptr},
    {"17 CR LF", 200, "17\r\n", Outcome::NetworkMessage, nullptr},
    {"404 page", 404, "<html><body>Not Found</body></html>", Outcome::NetworkMessage, nullptr},
    {"404 with a number", 404, "17", Outcome::Thanks, "GET /wizard_files/make_usr.asp?id=17 HTTP/1.1"},
    {"0", 200, "0", Outcome::NameTaken, nullptr},
};

TEST_F(CreateAccount, ReactsToEachFirstAnswerAsItReads)
{
    for (const AnswerCase& row : kAnswers) {
        SCOPED_TRACE(row.tag);
        ScopedHive rowHive;
        ScriptedServer server(std::vector<Script>{Answer(row.status, row.answer), Answer(200, "1")});
        OpenWindowFor(server.port());
        Fill("a@b.test", "alice", "abc");
        Create();

        ASSERT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
        const int requests = row.outcome == Outcome::Thanks ? 2 : 1;
        EXPECT_TRUE(server.waitForFinished(requests));
        EXPECT_EQ(server.connectionCount(), requests);
        EXPECT_EQ(RequestLine(server.received(0)),
                  "GET /wizard_files/make_login.asp?userlogin=alice&userpassword=abc&email=a%40b.test HTTP/1.1");
        EXPECT_FALSE(window->CreateBtn->isEnabled());
        // A message is readable: all its lines show, above the first field.
        EXPECT_GE(window->Label7->height(), window->Label7->heightForWidth(window->Label7->width()));
        EXPECT_LE(window->Label7->geometry().bottom(), window->Label1->geometry().top());
        switch (row.outcome) {
        case Outcome::Thanks:
            EXPECT_EQ(window->ActivePage(), "Thanks");
            EXPECT_TRUE(window->Label7->isHidden());
            EXPECT_FALSE(window->Label9->isHidden());
            EXPECT_EQ(RequestLine(server.received(1)), row.completeRequestLine);
            EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("alice"));
            EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString("\xE1\xE2\xE3"));
            break;
        case Outcome::NetworkMessage:
            EXPECT_EQ(window->ActivePage(), "New");
            EXPECT_TRUE(window->Label7->isVisible());
            EXPECT_EQ(window->Label7->text(), kNetworkMessage);
            EXPECT_EQ(window->Label7->width(), 260);
            ExpectNothingStored();
            break;
        case Outcome::NameTaken:
            EXPECT_EQ(window->ActivePage(), "New");
            EXPECT_TRUE(window->Label7->isVisible());
            EXPECT_EQ(window->Label7->text(), kNameTakenMessage);
            EXPECT_EQ(window->Label7->width(), 260);
            ExpectNothingStored();
            break;
        }
    }
}

TEST_F(CreateAccount, AnUnreachableServiceShowsTheNetworkMessage)
{
    OpenWindowFor(RefusingPort());
    Fill("a@b.test", "alice", "abc");
    Create();
    EXPECT_TRUE(errors.messages.isEmpty());
    EXPECT_EQ(window->Label7->text(), kNetworkMessage);
    EXPECT_EQ(window->ActivePage(), "New");
    ExpectNothingStored();
}

// --- what the server receives ---------------------------------------------------------------

TEST_F(CreateAccount, SendsEveryFieldAsTypedAndStoresItTrimmed)
{
    ScriptedServer server(std::vector<Script>{Answer(200, "5"), Answer(200, "1")});
    OpenWindowFor(server.port());
    Fill(" e@x.test", "  a&b=c", "p#q?r %41");
    Create();

    ASSERT_TRUE(server.waitForFinished(2));
    EXPECT_EQ(RequestLine(server.received(0)),
              "GET /wizard_files/make_login.asp?userlogin=%20%20a%26b%3Dc&userpassword=p%23q%3Fr%20%2541"
              "&email=%20e%40x.test HTTP/1.1");
    EXPECT_EQ(RequestLine(server.received(1)), "GET /wizard_files/make_usr.asp?id=5 HTTP/1.1");
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("a&b=c"));
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString(ScramblePassword("p#q?r %41")));
}

// A service on an internationalized host name is reached by the name's ASCII form. Such a name
// resolves nowhere on a test machine, so the requests go through a proxy, as the system's
// setting (http_proxy) says.
TEST_F(CreateAccount, AServiceOnAnInternationalizedHostIsReachedByItsAsciiName)
{
    ScriptedServer proxy(std::vector<Script>{Answer(200, "5"), Answer(200, "1")});
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
    WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString("b\xC3\xBC" "cher.example"));
    OpenWindow();
    Fill("e@x.test", "alice", "abc");
    Create();
    const bool finished = proxy.waitForFinished(2);
    ::unsetenv("http_proxy");
    ASSERT_TRUE(finished);
    EXPECT_EQ(window->ActivePage(), "Thanks");
    EXPECT_EQ(RequestLine(proxy.received(0)), "GET http://xn--bcher-kva.example/wizard_files/make_login.asp?"
                                              "userlogin=alice&userpassword=abc&email=e%40x.test HTTP/1.1");
}

TEST_F(CreateAccount, RefusesAPasswordThatCantBeStoredBeforeSendingAnything)
{
    ScriptedServer server(Answer(200, "5"));
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "x");
    window->txt_pwd->setText(QString::fromUtf8("pass\u201cword\u201d"));  // quotes carry 0x80 and above
    QTest::keyRelease(window->txt_pwd, Qt::Key_D);
    Create();

    EXPECT_TRUE(window->Label7->isVisible());
    EXPECT_EQ(window->Label7->text().toStdString(), kUnstorablePasswordMessage);
    EXPECT_LE(window->Label7->geometry().bottom(), window->Label1->geometry().top());
    EXPECT_EQ(window->ActivePage(), "New");
    EXPECT_EQ(server.connectionCount(), 0);
    ExpectNothingStored();
}

// --- while the request runs ------------------------------------------------------------------

// Records whether Label7 has been painted showing "Please wait..." (read from the server's thread).
class PaintWatcher : public QObject {
public:
    explicit PaintWatcher(QLabel* label)
        : m_label(label)
    {
        label->installEventFilter(this);
    }
    std::atomic<bool> paintedPleaseWait{false};

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_label && event->type() == QEvent::Paint && m_label->isVisible() &&
            m_label->text() == "Please wait...")
            paintedPleaseWait = true;
        return false;
    }

private:
    QLabel* m_label;
};

TEST_F(CreateAccount, PaintsPleaseWaitBeforeTheRequestReachesTheServer)
{
    LocalHttpServer http;
    std::atomic<int> loginRequests{0};
    std::atomic<bool> waitShownAtRequest{false};
    PaintWatcher* watcher = nullptr;
    http.server().Get("/wizard_files/make_login.asp", [&](const httplib::Request&, httplib::Response& response) {
        waitShownAtRequest = watcher->paintedPleaseWait.load();
        ++loginRequests;
        response.set_content("-1", "text/plain");
    });
    ASSERT_TRUE(http.start());
    OpenWindowFor(http.port());
    PaintWatcher paints(window->Label7);
    watcher = &paints;
    Fill("a@b.test", "alice", "abc");
    Create();

    EXPECT_EQ(loginRequests.load(), 1);
    EXPECT_TRUE(waitShownAtRequest.load());
}

TEST_F(CreateAccount, AfterAFailureCreateWaitsForAKeyReleaseThenTriesAgain)
{
    ScriptedServer server(std::vector<Script>{Answer(200, "0"), Answer(200, "8"), Answer(200, "1")});
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    Create();
    ASSERT_EQ(window->Label7->text(), kNameTakenMessage);
    EXPECT_FALSE(window->CreateBtn->isEnabled());

    ClickButton(window->CreateBtn);  // disabled: nothing is sent
    EXPECT_EQ(server.connectionCount(), 1);

    window->txt_Login->clear();
    TypeInto(window->txt_Login, "alice2");
    ASSERT_TRUE(window->CreateBtn->isEnabled());
    Create();
    EXPECT_EQ(window->ActivePage(), "Thanks");
    ASSERT_TRUE(server.waitForFinished(3));
    EXPECT_EQ(RequestLine(server.received(1)),
              "GET /wizard_files/make_login.asp?userlogin=alice2&userpassword=abc&email=a%40b.test HTTP/1.1");
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("alice2"));
}

TEST_F(CreateAccount, AClickQueuedWhilePleaseWaitIsPaintedStartsNoSecondSignUp)
{
    ScriptedServer server(std::vector<Script>{Answer(200, "4"), Answer(200, "1"), Answer(200, "0")});
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    QTimer::singleShot(0, window->CreateBtn, [this] { ClickButton(window->CreateBtn); });  // handled mid-way
    Create();

    EXPECT_EQ(window->ActivePage(), "Thanks");
    ASSERT_TRUE(server.waitForFinished(2));
    EXPECT_EQ(server.connectionCount(), 2);
}

TEST_F(CreateAccount, KeysTypedWhilePleaseWaitIsPaintedAreSentAndStored)
{
    ScriptedServer server(std::vector<Script>{Answer(200, "4"), Answer(200, "1")});
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    QTimer::singleShot(0, window->txt_pwd, [this] { TypeInto(window->txt_pwd, "d"); });  // handled mid-way
    Create();

    ASSERT_TRUE(server.waitForFinished(2));
    EXPECT_EQ(RequestLine(server.received(0)),
              "GET /wizard_files/make_login.asp?userlogin=alice&userpassword=abcd&email=a%40b.test HTTP/1.1");
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString(ScramblePassword("abcd")));
}

// The user clicks where Finish will be while Create still waits for the service: that click was
// made before the Thanks page showed, so it is dropped when it is finally delivered.
TEST_F(CreateAccount, AClickQueuedWhileCreateWaitsDoesNotReachTheThanksPage)
{
    using namespace std::chrono_literals;
    ScriptedServer server(std::vector<Script>{
        {Step::readRequest(), Step::stall(1500ms), Step::send(httpResponse(200, "4", "Connection: close\r\n")),
         Step::close()},
        Answer(200, "1")});
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    constexpr quint64 createTime = 5000000;
    std::thread user([&] {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (server.connectionCount() < 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        PostClick(window->Button9, createTime + 700);  // past the double-click interval after the press on Create
    });
    SendClick(window->CreateBtn, createTime);
    user.join();
    QCoreApplication::processEvents();

    EXPECT_EQ(window->ActivePage(), "Thanks");
    EXPECT_TRUE(window->isVisible());
}

TEST_F(CreateAccount, LeavingWhilePleaseWaitIsPaintedSendsNothing)
{
    struct Case {
        const char* tag;
        QPushButton* TForm1::*button;
        bool visible;
        const char* page;
    };
    const Case cases[] = {{"Cancel", &TForm1::Button5, false, "New"}, {"<< Back", &TForm1::BackBtn, true, "Default"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScopedHive rowHive;
        ScriptedServer server(Answer(200, "4"));
        OpenWindowFor(server.port());
        Fill("a@b.test", "alice", "abc");
        QPushButton* button = (*window).*c.button;
        QTimer::singleShot(0, button, [button] { ClickButton(button); });  // handled mid-way
        Create();

        EXPECT_EQ(window->isVisible(), c.visible);
        EXPECT_EQ(window->ActivePage(), c.page);
        if (c.visible)
            EXPECT_FALSE(window->Label7->isVisibleTo(window->New)) << "no \"Please wait...\" for nothing";
        EXPECT_EQ(server.connectionCount(), 0);
        ExpectNothingStored();
    }
}

// --- errors leaving the handler ---------------------------------------------------------------

TEST_F(CreateAccount, WithoutAConfiguredServiceTheErrorIsShownAndThePageStays)
{
    OpenWindow();  // no service key: WizardURL is empty
    ASSERT_EQ(window->WizardURL, "");
    Fill("a@b.test", "alice", "abc");
    Create();

    ASSERT_EQ(errors.messages.size(), 1);
    EXPECT_EQ(window->ActivePage(), "New");
    EXPECT_EQ(window->Label7->text(), "Please wait...");
    EXPECT_FALSE(window->CreateBtn->isEnabled());
    ExpectNothingStored();
}

TEST_F(CreateAccount, ASettingsWriteFailureIsShownAndThePageStays)
{
    ScriptedServer server(std::vector<Script>{Answer(200, "3"), Answer(200, "1")});
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    const QString blocker = hive.folder() + "/not-a-folder";
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    setenv("XDG_CONFIG_HOME", blocker.toLocal8Bit().constData(), 1);
    Create();

    ASSERT_EQ(errors.messages.size(), 1);
    EXPECT_TRUE(errors.messages.front().contains("Software\\Dorvane Pro\\Settings"));
    EXPECT_EQ(window->ActivePage(), "New");
    EXPECT_TRUE(window->isVisible());
}

// --- against the reference service ----------------------------------------------------------

class ReferenceService {
public:
    ReferenceService()
        : service(store, {dorvane::devserver::PasswordCost::Minimum, [](const std::string&) {}})
    {
        EXPECT_TRUE(store.open(":memory:"));
        port = service.bind("127.0.0.1", 0);
        worker = std::thread([this] { static_cast<void>(service.serve()); });
        EXPECT_TRUE(service.waitUntilRunning(std::chrono::seconds(5)));
    }
    ~ReferenceService()
    {
        service.stop();
        worker.join();
    }
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    dorvane::devserver::AccountStore store;
    dorvane::devserver::WizardService service;
    int port = -1;
    std::thread worker;
};

TEST_F(CreateAccount, SignsUpWithTheReferenceServiceAndStoresTheCredentials)
{
    ReferenceService reference;
    OpenWindowFor(reference.port);
    Fill("alice@example.com", " alice ", "s3cret & more=%41");
    Create();

    ASSERT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
    EXPECT_EQ(window->ActivePage(), "Thanks");
    const auto account = reference.store.findByLogin("alice");
    ASSERT_TRUE(account);
    EXPECT_EQ(account->id, 1);
    EXPECT_EQ(account->email, "alice@example.com");
    EXPECT_TRUE(account->complete);
    EXPECT_TRUE(dorvane::devserver::verifyPassword(account->passwordHash, "s3cret & more=%41"));
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("alice"));
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString(ScramblePassword("s3cret & more=%41")));

    // The same login again, from a second window: taken.
    ScopedHive secondHive;
    OpenWindowFor(reference.port);
    Fill("other@example.com", "ALICE", "x");
    Create();
    EXPECT_EQ(window->Label7->text(), kNameTakenMessage);
}

// --- the credential prompt --------------------------------------------------------------------

// Answers the credential dialog when it shows: fills it in and presses OK, or presses Cancel.
class DialogAnswerer : public QObject {
public:
    DialogAnswerer(QString userName, QString password, bool accept)
        : m_userName(std::move(userName))
        , m_password(std::move(password))
        , m_accept(accept)
    {
        connect(&m_timer, &QTimer::timeout, this, &DialogAnswerer::answer);
        m_timer.start(20);
    }
    int dialogsAnswered = 0;

private:
    void answer()
    {
        auto* dialog = qobject_cast<TCredentialDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible())
            return;
        ++dialogsAnswered;
        if (m_accept) {
            QTest::keyClicks(dialog->txt_UserName, m_userName);
            QTest::keyClicks(dialog->txt_Password, m_password);
            QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
        } else {
            QTest::mouseClick(dialog->CancelBtn, Qt::LeftButton);
        }
    }

    QString m_userName;
    QString m_password;
    bool m_accept;
    QTimer m_timer;
};

class CreateAccountWithPrompt : public CreateAccount {
protected:
    void SetUp() override { m_previousHook = SetInternetErrorDlgHook(PromptForCredentials); }
    void TearDown() override { SetInternetErrorDlgHook(m_previousHook); }

private:
    InternetErrorDlgHook m_previousHook;
};

const std::string kChallenge =
    httpResponse(401, "no", "WWW-Authenticate: Basic realm=\"dorvane\"\r\n");

// The first request is challenged; so is the re-send, until it carries the credentials (the
// client answers a challenge only once it has seen one on its connection).
std::vector<Script> ChallengedThenAnswered(const std::string& answer)
{
    return {{Step::readRequest(), Step::send(kChallenge), Step::close()},
            {Step::readRequest(), Step::send(kChallenge), Step::readRequest(),
             Step::send(httpResponse(200, answer, "Connection: close\r\n")), Step::close()},
            Answer(200, "1")};
}

TEST_F(CreateAccountWithPrompt, OkSendsTheRequestAgainWithTheTypedCredentials)
{
    ScriptedServer server(ChallengedThenAnswered("9"));
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    DialogAnswerer answerer("bob", "pw", true);
    Create();

    EXPECT_EQ(answerer.dialogsAnswered, 1);
    EXPECT_EQ(window->ActivePage(), "Thanks");
    ASSERT_TRUE(server.waitForFinished(3));
    EXPECT_EQ(server.received(0).find("Authorization:"), std::string::npos);
    EXPECT_EQ(RequestLine(server.received(1)), RequestLine(server.received(0)));
    EXPECT_NE(server.received(1).find("Authorization: Basic Ym9iOnB3\r\n"), std::string::npos)  // bob:pw
        << server.received(1);
}

TEST_F(CreateAccountWithPrompt, CancelEndsTheRequestWithTheNetworkMessage)
{
    ScriptedServer server(ChallengedThenAnswered("9"));
    OpenWindowFor(server.port());
    Fill("a@b.test", "alice", "abc");
    DialogAnswerer answerer("", "", false);
    Create();

    EXPECT_EQ(answerer.dialogsAnswered, 1);
    EXPECT_EQ(window->Label7->text(), kNetworkMessage);
    EXPECT_EQ(server.connectionCount(), 1);
    ExpectNothingStored();
}

}  // namespace
