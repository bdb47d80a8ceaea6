// The Create button through the real window (offscreen), against a scripted server that records
// the exact request bytes, an in-process reference service, and a port that refuses.
// The settings API comes first: the resolver headers define DELETE as a macro.
#include "winreg.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QElapsedTimer>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "AccountStore.h"
#include "CredentialDialog.h"
#include "PasswordHash.h"
#include "StoredSettings.h"
#include "WizardService.h"
#include "WizardTestSupport.h"
#include "LocalHttpServer.h"
#include "ScriptedServer.h"
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

// --- the answers ----------------------------------------------------------------------------

enum class Request { Login, Complete };

// One way the service can answer a request, and what the wizard may make of it.
struct AnswerKind {
    const char* tag;
    Script script;
    bool complete2xx;            // a whole 2xx answer within the wizard's bound
    std::optional<int> asNumber = {}; // first answer: > 0 an id, 0 the name is taken; second: <= 0 refused
    std::string idSent = {};     // for an id: what make_usr carries
};

// "Content-Length: 100" and then two bytes: the connection closes in the middle of the body.
const std::string kCutShort = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n17";
const std::string kChunkedCutShort = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n17\r\n";

std::vector<AnswerKind> AnswerKinds()
{
    return {
        {"200 with 17", Answer(200, "17"), true, 17, "17"},
        {"201 with 17", Answer(201, "17"), true, 17, "17"},
        {"200 with space 17", Answer(200, " 17"), true, 17, "17"},
        {"200 with 17 CR LF", Answer(200, "17\r\n"), true, 17, "17"},
        {"200 with 17 LF", Answer(200, "17\n"), true, 17, "17"},
        {"200 with blanks and line ends around 17", Answer(200, "\t 17 \r\n\r\n"), true, 17, "17"},
        {"200 with dollar 1A", Answer(200, "$1A"), true, 26, "%241A"},
        {"200 with 0x1A", Answer(200, "0x1A"), true, 26, "0x1A"},
        {"200 with 0", Answer(200, "0"), true, 0},
        {"200 with -5", Answer(200, "-5"), true, -5},
        {"200 with 12abc", Answer(200, "12abc"), true},
        {"200 empty", Answer(200, ""), true},
        {"300 with 17", Answer(300, "17"), false},
        {"404 with 17", Answer(404, "17"), false},
        {"404 page", Answer(404, "<html><body>Not Found</body></html>"), false},
        {"500 with 17", Answer(500, "17"), false},
        {"200 with 17 and 8 KiB of blanks", Answer(200, "17" + std::string(8192, ' ')), false},
        {"200 cut short", {Step::readRequest(), Step::send(kCutShort), Step::close()}, false},
        {"200 chunked cut short", {Step::readRequest(), Step::send(kChunkedCutShort), Step::close()}, false},
        {"reset", {Step::readRequest(), Step::reset()}, false},
        {"silent", {Step::readRequest(), Step::stall(std::chrono::seconds(20))}, false},
    };
}

// The one rule over every answer at each request: the credentials are stored and Thanks shows
// exactly when both requests got a complete 2xx answer, the first a positive id and the second
// no number below 1 (the service's refusal); otherwise the page tells why, nothing is stored,
// and Create is ready for another try.
TEST_F(CreateAccount, StoresAndThanksExactlyWhenBothRequestsGotACompleteSuccessAnswer)
{
    for (const Request request : {Request::Login, Request::Complete}) {
        for (const AnswerKind& kind : AnswerKinds()) {
            const bool atLogin = request == Request::Login;
            SCOPED_TRACE(std::string(atLogin ? "make_login: " : "make_usr: ") + kind.tag);
            ScopedHive rowHive;
            ScriptedServer server(atLogin ? std::vector<Script>{kind.script, Answer(200, "1")}
                                          : std::vector<Script>{Answer(200, "17"), kind.script});
            OpenWindowFor(server.port());
            window->AdvHttp1->SetReceiveTimeout(300);  // keeps the silent service's rows short
            Fill("a@b.test", "alice", "abc");
            Create();

            const bool made = kind.complete2xx && (atLogin ? kind.asNumber > 0 : !(kind.asNumber && *kind.asNumber <= 0));
            ASSERT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
            EXPECT_EQ(RequestLine(server.received(0)),
                      "GET /wizard_files/make_login.asp?userlogin=alice&userpassword=abc&email=a%40b.test HTTP/1.1");
            EXPECT_EQ(server.connectionCount(), atLogin && !made ? 1 : 2);
            if (made) {
                EXPECT_EQ(window->ActivePage(), "Thanks");
                EXPECT_TRUE(window->Label7->isHidden());
                EXPECT_FALSE(window->Label9->isHidden());
                EXPECT_EQ(RequestLine(server.received(1)),
                          "GET /wizard_files/make_usr.asp?id=" + (atLogin ? kind.idSent : "17") + " HTTP/1.1");
                EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("alice"));
                EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString("\xE1\xE2\xE3"));
                continue;
            }
            const bool nameTaken = atLogin && kind.complete2xx && kind.asNumber == 0;
            EXPECT_EQ(window->ActivePage(), "New");
            EXPECT_TRUE(window->Label7->isVisible());
            EXPECT_EQ(window->Label7->text(), nameTaken ? kNameTakenMessage : kNetworkMessage);
            EXPECT_EQ(window->Label7->width(), 260);
            // A message is readable: all its lines show, above the first field.
            EXPECT_GE(window->Label7->height(), window->Label7->heightForWidth(window->Label7->width()));
            EXPECT_LE(window->Label7->geometry().bottom(), window->Label1->geometry().top());
            EXPECT_TRUE(window->CreateBtn->isEnabled());
            EXPECT_FALSE(window->txt_Login->isReadOnly());
            ExpectNothingStored();
        }
    }
}

// No usable service location: every request fails with the page's message, never a raw system
// text in a box, and the page is ready for another try. With no service key at all the user is
// told where the service is named instead, and a key written since is read at the next try.
TEST_F(CreateAccount, WithoutAUsableServiceLocationTheNetworkMessageShows)
{
    struct Case {
        const char* tag;
        std::optional<std::string> wPath;  // none: no service key at all
    };
    {
        SCOPED_TRACE("a service key written after the start");
        ScopedHive rowHive;
        ScriptedServer server(std::vector<Script>{Answer(200, "17"), Answer(200, "1")});
        OpenWindow();
        Fill("a@b.test", "alice", "abc");
        Create();
        EXPECT_EQ(errors.messages, QStringList({"No service is set: the value wPath under "
                                                "HKEY_CURRENT_USER\\Software\\Dorvane Pro names it."}));
        errors.messages.clear();
        EXPECT_TRUE(window->Label7->isHidden());
        EXPECT_TRUE(window->CreateBtn->isEnabled());
        EXPECT_EQ(server.connectionCount(), 0);
        WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString("127.0.0.1:" + std::to_string(server.port())));
        Create();
        EXPECT_EQ(window->ActivePage(), "Thanks");
    }
    const Case cases[] = {
        {"no wPath value", "(absent)"},
        {"empty", ""},
        {"nothing listening", "127.0.0.1:" + std::to_string(RefusingPort())},
        {"port out of range", "127.0.0.1:99999"},
        {"CR LF inside", "127.0.0.1\r\nX-Injected: 1"},
        {"100,000 characters", std::string(100000, 'h')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScopedHive rowHive;
        if (c.wPath && *c.wPath == "(absent)")
            WriteStoredValue(kServiceKey, "Other", REG_SZ, StoredString("x"));
        else if (c.wPath)
            WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString(*c.wPath));
        OpenWindow();
        Fill("a@b.test", "alice", "abc");
        Create();

        EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
        errors.messages.clear();
        EXPECT_EQ(window->ActivePage(), "New");
        EXPECT_EQ(window->Label7->text(), kNetworkMessage);
        EXPECT_TRUE(window->CreateBtn->isEnabled());
        ExpectNothingStored();
    }
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
    // "p#q?r %41", each byte with its top bit flipped
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString("\xF0\xA3\xF1\xBF\xF2\xA0\xA5\xB4\xB1"));
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
    int count = 0;  // paints of the label, on the window's thread

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_label && event->type() == QEvent::Paint) {
            ++count;
            if (m_label->isVisible() && m_label->text() == "Please wait...")
                paintedPleaseWait = true;
        }
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
        response.set_header("Connection", "close");  // the server's stop then waits for no idle connection
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

// The account made by the first request stays the user's: trying again with the same fields
// completes it rather than asking for the login again (which the service would call taken).
TEST_F(CreateAccount, ARetryAfterAFailedCompletionCompletesTheAccountAlreadyMade)
{
    struct Case {
        const char* tag;
        const char* loginOnRetry;
        std::vector<std::string> retryRequests;
    };
    const Case cases[] = {
        {"same fields", "alice", {"GET /wizard_files/make_usr.asp?id=17 HTTP/1.1"}},
        {"login changed",
         "alice2",
         {"GET /wizard_files/make_login.asp?userlogin=alice2&userpassword=abc&email=a%40b.test HTTP/1.1",
          "GET /wizard_files/make_usr.asp?id=18 HTTP/1.1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScopedHive rowHive;
        const bool sameFields = c.retryRequests.size() == 1;
        ScriptedServer server(std::vector<Script>{Answer(200, "17"), Answer(500, "1"),
                                                  Answer(200, sameFields ? "1" : "18"), Answer(200, "1")});
        OpenWindowFor(server.port());
        Fill("a@b.test", "alice", "abc");
        Create();
        ASSERT_EQ(window->Label7->text(), kNetworkMessage);
        ExpectNothingStored();

        ASSERT_TRUE(window->CreateBtn->isEnabled()) << "usable again without an edit";
        if (!sameFields) {
            window->txt_Login->clear();
            TypeInto(window->txt_Login, c.loginOnRetry);
        }
        Create();
        EXPECT_EQ(window->ActivePage(), "Thanks");
        ASSERT_EQ(server.connectionCount(), static_cast<int>(2 + c.retryRequests.size()));
        for (std::size_t i = 0; i < c.retryRequests.size(); ++i)
            EXPECT_EQ(RequestLine(server.received(2 + i)), c.retryRequests[i]);
        EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString(c.loginOnRetry));
    }
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
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, StoredString("\xE1\xE2\xE3\xE4"));
}

// Runs an action on the window's thread once the server has seen n connections: the wizard's
// request then waits for an answer that doesn't come.
class WhenConnected : public QObject {
public:
    WhenConnected(const ScriptedServer& server, int connections, std::function<void()> action)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, &server, connections, action = std::move(action)] {
            if (server.connectionCount() < connections)
                return;
            m_timer.stop();
            action();
        });
        m_timer.start(10);
    }

private:
    QTimer m_timer;
};

// While the service is silent the window keeps serving the user: it repaints, clicks and keys
// start nothing, and Cancel, the close box, Escape and Back end the request at once. Nothing the
// user left is stored.
TEST_F(CreateAccount, WhileTheServiceIsSilentTheUserCanLeaveAtOnce)
{
    using namespace std::chrono_literals;
    enum class Leave { Cancel, CloseBox, Escape, Back };
    struct Case {
        const char* tag;
        Leave leave;
        Request waiting;
    };
    const Case cases[] = {
        {"Cancel at make_login", Leave::Cancel, Request::Login},
        {"Cancel at make_usr", Leave::Cancel, Request::Complete},
        {"close box at make_login", Leave::CloseBox, Request::Login},
        {"close box at make_usr", Leave::CloseBox, Request::Complete},
        {"Escape at make_login", Leave::Escape, Request::Login},
        {"Escape at make_usr", Leave::Escape, Request::Complete},
        {"Back at make_login", Leave::Back, Request::Login},
        {"Back at make_usr", Leave::Back, Request::Complete},
    };
    const Script silent{Step::readRequest(), Step::stall(20s)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ScopedHive rowHive;
        const bool atLogin = c.waiting == Request::Login;
        ScriptedServer server(atLogin ? std::vector<Script>{silent} : std::vector<Script>{Answer(200, "17"), silent});
        OpenWindowFor(server.port());
        Fill("a@b.test", "alice", "abc");
        PaintWatcher paints(window->Label7);
        QElapsedTimer sinceLeaving;
        int paintsWhileWaiting = -1;
        WhenConnected waiting(server, atLogin ? 1 : 2, [&] {
            // The window still serves: a click and a key reach it and start nothing.
            ClickButton(window->CreateBtn);
            TypeInto(window->txt_Login, "x");
            paints.count = 0;
            window->Label7->repaint();
            paintsWhileWaiting = paints.count;
            sinceLeaving.start();
            switch (c.leave) {
            case Leave::Cancel:
                ClickButton(window->Button5);
                break;
            case Leave::CloseBox:
                window->close();
                break;
            case Leave::Escape:
                QTest::keyClick(window->txt_pwd, Qt::Key_Escape);
                break;
            case Leave::Back:
                ClickButton(window->BackBtn);
                break;
            }
        });
        Create();

        ASSERT_TRUE(sinceLeaving.isValid()) << "the request never waited";
        EXPECT_LT(sinceLeaving.elapsed(), 5000) << "ended at once, not when the service gave up";
        EXPECT_EQ(paintsWhileWaiting, 1);
        EXPECT_EQ(server.connectionCount(), atLogin ? 1 : 2);
        EXPECT_EQ(window->txt_Login->text(), "alice");
        EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
        ExpectNothingStored();
        if (c.leave == Leave::Back) {
            EXPECT_TRUE(window->isVisible());
            EXPECT_EQ(window->ActivePage(), "Default");
            EXPECT_FALSE(window->Label7->isVisibleTo(window->New)) << "no \"Please wait...\" for nothing";
        } else {
            EXPECT_FALSE(window->isVisible());
        }
    }
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
        if (c.visible) {
            EXPECT_FALSE(window->Label7->isVisibleTo(window->New)) << "no \"Please wait...\" for nothing";
        }
        EXPECT_EQ(server.connectionCount(), 0);
        ExpectNothingStored();
    }
}

// --- storing ----------------------------------------------------------------------------------

// The account is made by then; the user hears that its credentials weren't stored, and Create
// stores them once the settings can be written again, without asking the service a second time.
TEST_F(CreateAccount, CredentialsThatCantBeStoredAreToldAndStoredOnTheNextTry)
{
    enum class Block { FileForFolder, WriteProtected };
    for (const Block block : {Block::FileForFolder, Block::WriteProtected}) {
        SCOPED_TRACE(block == Block::FileForFolder ? "a file where the settings folder belongs" : "write-protected hive");
        ScopedHive rowHive;
        ScriptedServer server(std::vector<Script>{Answer(200, "3"), Answer(200, "1")});
        const QByteArray hiveFolder = (rowHive.folder() + "/dorvane").toLocal8Bit();
        const QByteArray hiveFile = hiveFolder + "/registry.db";
        if (block == Block::WriteProtected) {
            WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString("127.0.0.1:" + std::to_string(server.port())));
            ASSERT_EQ(::chmod(hiveFile.constData(), 0400), 0);
            ASSERT_EQ(::chmod(hiveFolder.constData(), 0500), 0);
            OpenWindow();
        } else {
            OpenWindowFor(server.port());
            QFile file(rowHive.folder() + "/not-a-folder");
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            setenv("XDG_CONFIG_HOME", file.fileName().toLocal8Bit().constData(), 1);
        }
        Fill("a@b.test", "alice", "abc");
        Create();

        EXPECT_EQ(server.connectionCount(), 2);
        ASSERT_EQ(errors.messages.size(), 1);
        EXPECT_TRUE(errors.messages.front().startsWith(
            "Your account has been created, but its login and password could not be stored."))
            << errors.messages.front().toStdString();
        EXPECT_TRUE(errors.messages.front().contains("Software\\Dorvane Pro\\Settings"));
        errors.messages.clear();
        EXPECT_EQ(window->ActivePage(), "New");
        EXPECT_TRUE(window->isVisible());
        ASSERT_TRUE(window->CreateBtn->isEnabled());

        if (block == Block::WriteProtected) {
            ASSERT_EQ(::chmod(hiveFolder.constData(), 0700), 0);
            ASSERT_EQ(::chmod(hiveFile.constData(), 0600), 0);
        } else {
            setenv("XDG_CONFIG_HOME", rowHive.folder().toLocal8Bit().constData(), 1);
        }
        ExpectNothingStored();
        Create();
        EXPECT_EQ(window->ActivePage(), "Thanks");
        EXPECT_EQ(server.connectionCount(), 2);
        EXPECT_EQ(ReadStoredValue(kSettingsKey, "UserName")->bytes, StoredString("alice"));
    }
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
    EXPECT_EQ(ReadStoredValue(kSettingsKey, "PassWord")->bytes, 
              StoredString("\xF3\xB3\xE3\xF2\xE5\xF4\xA0\xA6\xA0\xED\xEF\xF2\xE5\xBD\xA5\xB4\xB1"));

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
