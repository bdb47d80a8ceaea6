// The wizard scripts served in-process, against a database file the tests can look into.
#include "AccountStore.h"
#include "DevServerTestSupport.h"
#include "PasswordHash.h"
#include "WizardService.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <gtest/gtest.h>
#include <mutex>
#include <sqlite3.h>
#include <thread>
#include <vector>

using namespace dorvane::devserver;
using namespace dorvane::devserver::test;

namespace {

std::string loginTarget(std::string_view login, std::string_view password, std::string_view email)
{
    return "/wizard_files/make_login.asp?userlogin=" + percentEncoded(login)
        + "&userpassword=" + percentEncoded(password) + "&email=" + percentEncoded(email);
}

class WizardServiceTest : public ::testing::Test {
protected:
    // What a suite changes in the service's options.
    virtual void adjust(WizardService::Options&) {}

    void SetUp() override
    {
        ASSERT_TRUE(m_store.open(databasePath().string())) << m_store.errorText();
        WizardService::Options options;
        options.passwordCost = PasswordCost::Minimum;
        options.log = [this](const std::string& line) {
            {
                std::lock_guard lock(m_logMutex);
                m_log.push_back(line);
            }
            m_logged.notify_all();
        };
        adjust(options);
        m_service = std::make_unique<WizardService>(m_store, options);
        m_port = m_service->bind("127.0.0.1", 0);
        ASSERT_GT(m_port, 0);
        m_thread = std::thread([this] { (void)m_service->serve(); });
        ASSERT_TRUE(m_service->waitUntilRunning(std::chrono::seconds(10)));
    }

    void TearDown() override
    {
        if (m_thread.joinable()) {
            m_service->stop();
            m_thread.join();
        }
    }

    std::filesystem::path databasePath() const { return m_folder.path() / "accounts.db"; }
    Reply request(const std::string& target) { return get(m_port, target); }
    std::string create(std::string_view login, std::string_view password, std::string_view email)
    {
        return request(loginTarget(login, password, email)).body;
    }
    // The server logs a request after its answer is on the wire, so the client may read the
    // answer first: wait (bounded) for the expected number of lines.
    std::vector<std::string> log(size_t expectedLines)
    {
        std::unique_lock lock(m_logMutex);
        m_logged.wait_for(lock, std::chrono::seconds(10), [&] { return m_log.size() >= expectedLines; });
        return m_log;
    }
    // Read through a connection of our own, so the test sees what is on disk.
    int completeColumn(int64_t id)
    {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT complete FROM accounts WHERE id = ?1", -1, &statement, nullptr);
        sqlite3_bind_int64(statement, 1, id);
        const int complete = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return complete;
    }

    TemporaryFolder m_folder;
    AccountStore m_store;
    std::unique_ptr<WizardService> m_service;
    std::thread m_thread;
    int m_port = -1;
    std::mutex m_logMutex;
    std::condition_variable m_logged;
    std::vector<std::string> m_log;
};

TEST_F(WizardServiceTest, NewAccountsAnswerIdsCountingUpFromOneAsPlainText)
{
    for (const char* expected : {"1", "2", "3"}) {
        const Reply reply = request(loginTarget(std::string("user") + expected, "pw", "u@example.com"));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, expected); // no line break after the number
        EXPECT_EQ(reply.contentType, "text/plain");
    }
}

// A login is taken when it equals an account's login whatever the letter case of any letter; the
// account keeps the spelling it was created with.
TEST_F(WizardServiceTest, ATakenLoginAnswersZeroWhateverItsLetterCaseOrBlanks)
{
    struct Case {
        const char* tag;
        const char* first;
        const char* second;
        bool taken;
    };
    const Case cases[] = {
        {"the same login", "Alice", "Alice", true},
        {"ASCII letters in another case", "Bob", "bOB", true},
        {"blanks around", "Carol", "  carol\t", true},
        {"letters with diaereses", "Ünï", "üNÏ", true},
        {"Greek, with a final sigma", "ΣΊΣΥΦΟΣ", "σίσυφος", true},
        {"capital sharp s", "STRAẞE", "straße", true},
        {"sharp s is not ss", "Weiß", "WEISS", false},
        {"dotted capital I is not i", "İnci", "inci", false},
        {"dotless i is not I", "ılık", "ILIK", false},
        {"letters without a case partner", "データ", "データ", true},
        {"names that differ in accents", "José", "Jose", false},
    };
    int id = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        ASSERT_EQ(create(c.first, "pw", "a@example.com"), std::to_string(++id));
        EXPECT_EQ(create(c.second, "other", "b@example.com"), c.taken ? "0" : std::to_string(++id));
        const std::string second = c.second;
        const std::string stored = second.substr(second.find_first_not_of(" \t"), second.find_last_not_of(" \t")
                                                                                   - second.find_first_not_of(" \t") + 1);
        const auto account = m_store.findByLogin(stored);
        ASSERT_TRUE(account);
        EXPECT_EQ(account->login, c.taken ? c.first : stored);
    }
    EXPECT_EQ(create("alicia", "pw", "c@example.com"), std::to_string(++id)); // a refusal uses no id
}

TEST_F(WizardServiceTest, RefusedFieldsAnswerTheirNegativeCodeAndStoreNothing)
{
    const std::string longest(WizardService::MaxFieldBytes, 'x');
    const std::string tooLong(WizardService::MaxFieldBytes + 1, 'x');
    struct Case {
        const char* tag;
        std::string query;
        const char* expected;
    };
    const Case cases[] = {
        {"no login", "userpassword=p&email=e", "-1"},
        {"empty login", "userlogin=&userpassword=p&email=e", "-1"},
        {"blank login", "userlogin=%20%09&userpassword=p&email=e", "-1"},
        {"no password", "userlogin=a&email=e", "-2"},
        {"empty password", "userlogin=a&userpassword=&email=e", "-2"},
        {"no email", "userlogin=a&userpassword=p", "-3"},
        {"empty email", "userlogin=a&userpassword=p&email=", "-3"},
        {"nothing at all", "", "-1"},
        {"login too long", "userlogin=" + tooLong + "&userpassword=p&email=e", "-4"},
        {"password too long", "userlogin=a&userpassword=" + tooLong + "&email=e", "-4"},
        {"email too long", "userlogin=a&userpassword=p&email=" + tooLong, "-4"},
        {"NUL in login", "userlogin=a%00b&userpassword=p&email=e", "-5"},
        {"NUL in password", "userlogin=a&userpassword=p%00q&email=e", "-5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        EXPECT_EQ(request("/wizard_files/make_login.asp?" + c.query).body, c.expected);
    }
    EXPECT_FALSE(m_store.findById(1));
    EXPECT_EQ(request("/wizard_files/make_login.asp?userlogin=" + longest + "&userpassword=" + longest
                      + "&email=" + longest).body,
              "1");
}

TEST_F(WizardServiceTest, MakeUsrMarksTheAccountCompleteInTheDatabase)
{
    ASSERT_EQ(create("alice", "pw", "a@example.com"), "1");
    ASSERT_EQ(create("bob", "pw", "b@example.com"), "2");
    EXPECT_EQ(completeColumn(2), 0);

    // The wizard sends the first answer exactly as received, leading blanks included.
    EXPECT_EQ(request("/wizard_files/make_usr.asp?id=%202").body, "1");
    EXPECT_EQ(completeColumn(2), 1);
    EXPECT_EQ(completeColumn(1), 0);
    EXPECT_EQ(request("/wizard_files/make_usr.asp?id=2").body, "1"); // again: still fine
    EXPECT_EQ(request("/wizard_files/make_usr.asp?id=1").body, "1");
    EXPECT_EQ(completeColumn(1), 1);
}

TEST_F(WizardServiceTest, MakeUsrAnswersZeroForAnUnknownIdAndMinusOneForAMalformedOne)
{
    ASSERT_EQ(create("alice", "pw", "a@example.com"), "1");
    struct Case {
        const char* query;
        const char* expected;
    };
    const Case cases[] = {
        {"id=99", "0"}, {"id=0", "0"}, {"", "-1"}, {"id=", "-1"}, {"id=%20", "-1"}, {"id=abc", "-1"},
        {"id=-1", "-1"}, {"id=%2B1", "-1"}, {"id=1x", "-1"}, {"id=0x1", "-1"},
        {"id=99999999999999999999999", "-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(request(std::string("/wizard_files/make_usr.asp?") + c.query).body, c.expected);
    }
    EXPECT_EQ(completeColumn(1), 0);
}

TEST_F(WizardServiceTest, PasswordsAreStoredOnlyAsSaltedHashes)
{
    const std::string password = "correct horse battery staple";
    ASSERT_EQ(create("alice", password, "a@example.com"), "1");
    ASSERT_EQ(create("bob", password, "b@example.com"), "2");

    const auto alice = m_store.findById(1);
    const auto bob = m_store.findById(2);
    ASSERT_TRUE(alice && bob);
    EXPECT_NE(alice->passwordHash, bob->passwordHash); // salted
    EXPECT_TRUE(verifyPassword(alice->passwordHash, password));
    EXPECT_FALSE(verifyPassword(alice->passwordHash, "correct horse"));

    const std::string bytes = readFile(databasePath());
    ASSERT_NE(bytes.find("alice"), std::string::npos); // the file does hold the accounts
    EXPECT_EQ(bytes.find("horse"), std::string::npos);
}

TEST_F(WizardServiceTest, PercentEncodedValuesArriveDecodedAndWhole)
{
    const char* values[] = {"a&b", "a=b", "a#b", "a?b", "a%b", "a b", "%41", "a+b", "\xC3\xA9t\xC3\xA9"};
    int id = 0;
    for (const std::string value : values) {
        SCOPED_TRACE(value);
        const std::string login = "user " + value;
        const std::string password = "pw " + value;
        const std::string email = value + "@example.com";
        ASSERT_EQ(create(login, password, email), std::to_string(++id));
        const auto account = m_store.findById(id);
        ASSERT_TRUE(account);
        EXPECT_EQ(account->login, login);
        EXPECT_EQ(account->email, email);
        EXPECT_TRUE(verifyPassword(account->passwordHash, password));
    }
}

TEST_F(WizardServiceTest, FieldsAreStoredTrimmedAsTheWizardStoresThem)
{
    ASSERT_EQ(create("  alice ", "\tpw with space  ", " a@example.com\r\n"), "1");
    const auto account = m_store.findById(1);
    ASSERT_TRUE(account);
    EXPECT_EQ(account->login, "alice");
    EXPECT_EQ(account->email, "a@example.com");
    EXPECT_TRUE(verifyPassword(account->passwordHash, "pw with space"));
}

// Requests as a client other than the wizard may send them: other paths are not found, other
// methods on the scripts not allowed, a target in absolute form is the path it names, and a client
// that asks before sending its body hears "100 Continue" at once.
TEST_F(WizardServiceTest, RequestsAsOtherClientsSendThemGetTheirHttpAnswers)
{
    const std::string login = "/wizard_files/make_login.asp?userlogin=a&userpassword=p&email=e";
    struct Case {
        const char* tag;
        std::string request;
        std::string answer; // the status line and headers it must hold, in order
        std::string body;
    };
    const auto head = [](const std::string& method, const std::string& target, const std::string& more = "") {
        return method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + more + "Connection: close\r\n\r\n";
    };
    const Case cases[] = {
        {"the root", head("GET", "/"), "HTTP/1.1 404 Not Found\r\n", "Not Found"},
        {"the folder", head("GET", "/wizard_files/"), "HTTP/1.1 404 ", "Not Found"},
        {"another extension", head("GET", "/wizard_files/make_login.aspx?userlogin=a"), "HTTP/1.1 404 ", "Not Found"},
        {"outside the folder", head("GET", "/make_login.asp?userlogin=a&userpassword=p&email=e"), "HTTP/1.1 404 ",
         "Not Found"},
        {"another letter case", head("GET", "/wizard_files/MAKE_USR.ASP?id=1"), "HTTP/1.1 404 ", "Not Found"},
        {"POST elsewhere", head("POST", "/other", "Content-Length: 0\r\n"), "HTTP/1.1 404 ", "Not Found"},
        {"POST to make_login", head("POST", login, "Content-Length: 3\r\n") + "a=b",
         "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET\r\n", "Method Not Allowed"},
        {"PUT to make_usr", head("PUT", "/wizard_files/make_usr.asp?id=1", "Content-Length: 0\r\n"),
         "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET\r\n", "Method Not Allowed"},
        {"DELETE", head("DELETE", login), "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET\r\n", "Method Not Allowed"},
        {"HEAD: no body", head("HEAD", login), "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET\r\n", ""},
        {"a script's absolute URL, as through a proxy", head("GET", "http://x:1/wizard_files/make_usr.asp?id=9"),
         "HTTP/1.1 200 OK\r\n", "0"},
        {"a host's absolute URL", head("GET", "HTTP://x"), "HTTP/1.1 404 ", "Not Found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        RawConnection connection(m_port);
        ASSERT_TRUE(connection.connected());
        connection.send(c.request);
        std::string answer;
        ASSERT_TRUE(connection.readToClose(std::chrono::seconds(10), answer)) << answer;
        const auto end = answer.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << answer;
        std::string header = answer.substr(0, end + 2);
        header.erase(header.find("Content-Type"), header.find("\r\n", header.find("Content-Type")) + 2
                     - header.find("Content-Type"));
        EXPECT_EQ(header.substr(0, c.answer.size()), c.answer) << answer;
        EXPECT_EQ(answer.substr(end + 4), c.body);
    }
    EXPECT_FALSE(m_store.findById(1));

    // Expect: 100-continue: "100 Continue" before the body is sent, then the answer.
    RawConnection connection(m_port);
    connection.send("GET /wizard_files/make_usr.asp?id=7 HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                    "Content-Length: 4\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(connection.readUntil("\r\n\r\n", std::chrono::seconds(3)), "HTTP/1.1 100 Continue\r\n\r\n");
    connection.send("body");
    std::string answer;
    EXPECT_TRUE(connection.readToClose(std::chrono::seconds(10), answer));
    EXPECT_NE(answer.find("HTTP/1.1 200 OK\r\n"), std::string::npos) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 3), "\r\n0") << answer;
}

TEST_F(WizardServiceTest, EachRequestLogsOneLineWithoutThePassword)
{
    // Each request waits for the previous line, so the lines come in request order.
    ASSERT_EQ(create("alice", "Sup3r&Secret", "a@example.com"), "1");
    ASSERT_EQ(log(1).size(), 1u);
    ASSERT_EQ(request("/wizard_files/make_usr.asp?id=1").body, "1");
    ASSERT_EQ(log(2).size(), 2u);
    ASSERT_EQ(request("/elsewhere?userpassword=Sup3rSecret").status, 404);
    ASSERT_EQ(log(3).size(), 3u);
    // The service reads this spelling as the password, so the log hides it too.
    ASSERT_EQ(request("/wizard_files/make_login.asp?userlogin=bob&user%u0070assword=SECRET&email=b").body, "2");
    EXPECT_TRUE(verifyPassword(m_store.findById(2)->passwordHash, "SECRET"));

    const auto lines = log(4);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
        "GET /wizard_files/make_login.asp?userlogin=alice&userpassword=***&email=a%40example.com 200 \"1\"");
    EXPECT_EQ(lines[1], "GET /wizard_files/make_usr.asp?id=1 200 \"1\"");
    EXPECT_EQ(lines[2], "GET /elsewhere?userpassword=*** 404 \"Not Found\"");
    EXPECT_EQ(lines[3], "GET /wizard_files/make_login.asp?userlogin=bob&user%u0070assword=***&email=b 200 \"2\"");
}

TEST_F(WizardServiceTest, AStorageFailureAnswersMinusSixAndLogsItsCause)
{
    ASSERT_EQ(create("alice", "pw", "a@example.com"), "1");
    ASSERT_EQ(log(1).size(), 1u);
    sqlite3* db = nullptr; // another program breaks the store under the service
    ASSERT_EQ(sqlite3_open(databasePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE accounts", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    EXPECT_EQ(create("bob", "pw", "b@example.com"), "-6");
    ASSERT_EQ(log(2).size(), 2u);
    EXPECT_EQ(request("/wizard_files/make_usr.asp?id=1").body, "-6");
    const auto lines = log(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "GET /wizard_files/make_login.asp?userlogin=bob&userpassword=***&email=b%40example.com 200 "
                        "\"-6\" (storage: no such table: accounts)");
    EXPECT_EQ(lines[2], "GET /wizard_files/make_usr.asp?id=1 200 \"-6\" (storage: no such table: accounts)");
}

TEST_F(WizardServiceTest, ConcurrentSignUpsGetDistinctIdsAndOneWinnerPerLogin)
{
    constexpr int Clients = 8;
    // The HTTP client builds shared parsing tables on its first request; doing that here, before
    // the client threads start, keeps ThreadSanitizer from flagging the library's lazy setup.
    ASSERT_EQ(request("/warm-up").status, 404);
    std::vector<std::string> sameLogin(Clients);
    std::vector<std::string> ownLogin(Clients);
    std::vector<std::thread> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.emplace_back([&, i] {
            sameLogin[i] = create("shared", "pw", "s@example.com");
            ownLogin[i] = create("user" + std::to_string(i), "pw", "u@example.com");
        });
    }
    for (std::thread& client : clients)
        client.join();

    EXPECT_EQ(std::count(sameLogin.begin(), sameLogin.end(), "0"), Clients - 1);
    std::set<std::string> ids(ownLogin.begin(), ownLogin.end());
    for (const std::string& answer : sameLogin)
        ids.insert(answer);
    ids.erase("0");
    EXPECT_EQ(ids.size(), static_cast<size_t>(Clients + 1));
    for (int id = 1; id <= Clients + 1; ++id)
        EXPECT_EQ(ids.count(std::to_string(id)), 1u) << id;
    EXPECT_EQ(log(2 * Clients + 1).size(), static_cast<size_t>(2 * Clients + 1));
}

TEST_F(WizardServiceTest, ASecondServiceCannotTakeAPortInUse)
{
    AccountStore otherStore;
    ASSERT_TRUE(otherStore.open(":memory:"));
    WizardService other(otherStore, {PasswordCost::Minimum, [](const std::string&) {}});
    EXPECT_EQ(other.bind("127.0.0.1", m_port), -1);
}

// Sign-ups whose password hashes the test holds back, to see what the service does meanwhile.
class SignUpBurstTest : public WizardServiceTest {
protected:
    static constexpr std::size_t MaxWaiting = 4;

    void adjust(WizardService::Options& options) override
    {
        options.maxWaitingSignUps = MaxWaiting;
        options.hasher = [this](std::string_view password) {
            std::unique_lock lock(m_gateMutex);
            ++m_hashesStarted;
            m_gateChanged.notify_all();
            m_gateChanged.wait(lock, [this] { return m_gateOpen; });
            return hashPassword(password, PasswordCost::Minimum);
        };
    }

    void TearDown() override
    {
        openGate();
        WizardServiceTest::TearDown();
    }

    void openGate()
    {
        {
            std::lock_guard lock(m_gateMutex);
            m_gateOpen = true;
        }
        m_gateChanged.notify_all();
    }

    std::mutex m_gateMutex;
    std::condition_variable m_gateChanged;
    int m_hashesStarted = 0;
    bool m_gateOpen = false;
};

// Requests that need no hash are answered at once while sign-ups wait for theirs; a sign-up past
// the bound is answered 503 at once; the waiting ones all get their accounts afterwards.
TEST_F(SignUpBurstTest, CheapRequestsAreAnsweredAtOnceWhileSignUpsWaitAndTooManyAreRefused)
{
    ASSERT_EQ(request("/warm-up").status, 404); // see ConcurrentSignUpsGetDistinctIdsAndOneWinnerPerLogin
    constexpr std::size_t Held = MaxWaiting + 1; // one hashing, the others waiting
    std::vector<std::string> answers(Held);
    std::vector<std::thread> signUps;
    const auto release = [&] { // on every way out of the test
        openGate();
        for (std::thread& signUp : signUps) {
            if (signUp.joinable())
                signUp.join();
        }
    };
    struct AtExit {
        std::function<void()> run;
        ~AtExit() { run(); }
    } releaseAtExit {release};
    for (std::size_t i = 0; i < Held; ++i)
        signUps.emplace_back([&, i] { answers[i] = create("user" + std::to_string(i), "pw", "u@example.com"); });
    {
        // The waiting count changes without a notification: looked at every 20 ms.
        std::unique_lock lock(m_gateMutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!(m_hashesStarted == 1 && m_service->signUpsWaiting() == MaxWaiting) &&
               std::chrono::steady_clock::now() < deadline)
            m_gateChanged.wait_for(lock, std::chrono::milliseconds(20));
        ASSERT_EQ(m_hashesStarted, 1);
        ASSERT_EQ(m_service->signUpsWaiting(), MaxWaiting);
    }

    struct Cheap {
        const char* tag;
        std::string target;
        int status;
        std::string body;
    };
    const Cheap cheap[] = {
        {"a missing page", "/nothing", 404, "Not Found"},
        {"an unknown id", "/wizard_files/make_usr.asp?id=99", 200, "0"},
        {"a refused sign-up", "/wizard_files/make_login.asp?userlogin=x&email=e", 200, "-2"},
        {"a sign-up past the bound", loginTarget("one-too-many", "pw", "e"), 503, "Service Unavailable"},
    };
    constexpr auto AtOnce = std::chrono::seconds(5); // generous: "at once" is milliseconds
    for (const Cheap& c : cheap) {
        SCOPED_TRACE(c.tag);
        const auto asked = std::chrono::steady_clock::now();
        const Reply reply = request(c.target);
        const auto took = std::chrono::steady_clock::now() - asked;
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.body);
        EXPECT_LT(took, AtOnce);
        std::printf("[ measured ] %s answered in %.4f s while %zu sign-ups wait\n", c.tag,
                    std::chrono::duration<double>(took).count(), Held);
    }

    release();
    std::set<std::string> ids(answers.begin(), answers.end());
    EXPECT_EQ(ids, (std::set<std::string>{"1", "2", "3", "4", "5"}));
    EXPECT_FALSE(m_store.findByLogin("one-too-many"));
    const auto lines = log(Held + std::size(cheap) + 1);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "GET /wizard_files/make_login.asp?userlogin=one-too-many&userpassword=***&email=e 503 "
                        "\"Service Unavailable\" (4 sign-ups wait for their password hash already)"),
              lines.end());
}

TEST(MaskedTarget, HidesThePasswordHoweverItIsSpelledAndEscapesControlBytes)
{
    struct Case {
        const char* target;
        const char* expected;
    };
    const Case cases[] = {
        {"/p", "/p"},
        {"/p?userpassword=x", "/p?userpassword=***"},
        {"/p?a=1&userpassword=x&userpassword=y", "/p?a=1&userpassword=***&userpassword=***"},
        {"/p?user%70assword=x&b", "/p?user%70assword=***&b"},
        {"/p?user%u0070assword=SECRET", "/p?user%u0070assword=***"},
        {"/p?%75ser%50assword=x", "/p?%75ser%50assword=***"}, // not read as the password, but one
        {"/p?USERPASSWORD=SECRET4", "/p?USERPASSWORD=***"},
        {"/p?user+password=x&userpassword", "/p?user+password=x&userpassword"},
        {"/p?&&userpassword=x=y&", "/p?&&userpassword=***&"},
        {"/p?userpassword", "/p?userpassword"},
        {"/p?userpasswordX=x", "/p?userpasswordX=x"},
        {"/p\r\nforged", "/p\\x0D\\x0Aforged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(maskedTarget(c.target), c.expected);
    }
}

TEST(AccountStoreOpen, RefusesAFileThatIsNotADatabaseAndLeavesItAlone)
{
    TemporaryFolder folder;
    const auto path = folder.path() / "not-a-db";
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(4096, 'z');
    }
    AccountStore store;
    EXPECT_FALSE(store.open(path.string()));
    EXPECT_NE(store.errorText().find("not-a-db"), std::string::npos);
    EXPECT_EQ(readFile(path), std::string(4096, 'z'));
}

// Written by release 1.0.0's service (ASCII-only letter case), which gave both "Ünï" and "ünï" an
// account: sign-ups of Alice, Ünï, ünï, straße, José (passwords pw1 to pw5), then make_usr id=1.
const std::filesystem::path FirstReleaseStore = DORVANE_FIRST_RELEASE_STORE;

TEST(AccountStoreOpen, AStoreOfTheFirstReleaseIsUpgradedAndKeepsEveryAccount)
{
    TemporaryFolder folder;
    const auto path = folder.path() / "accounts.db";
    std::filesystem::copy_file(FirstReleaseStore, path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    {
        AccountStore store;
        ASSERT_TRUE(store.open(path.string())) << store.errorText();
        EXPECT_EQ(store.notice(), "upgraded " + path.string() + " from release 1.0.0: logins now compare whatever "
                  "their letter case, for every letter; account 3 has a login that now matches an earlier account's: "
                  "it keeps its id, and its login finds the earlier account");
        const char* logins[] = {"Alice", "Ünï", "ünï", "straße", "José"};
        for (int64_t id = 1; id <= 5; ++id) {
            const auto account = store.findById(id);
            ASSERT_TRUE(account) << id;
            EXPECT_EQ(account->login, logins[id - 1]);
            EXPECT_TRUE(verifyPassword(account->passwordHash, "pw" + std::to_string(id)));
            EXPECT_EQ(account->complete, id == 1);
        }
        EXPECT_EQ(store.findByLogin("ÜNÏ")->id, 2);
        EXPECT_EQ(store.findByLogin("JOSÉ")->id, 5);
        EXPECT_EQ(store.findByLogin("ALICE")->id, 1);
        EXPECT_FALSE(store.findByLogin("STRASSE"));
        EXPECT_EQ(store.createAccount("üNÏ", "h", "e").result, AccountStore::CreateResult::LoginTaken);
        const auto created = store.createAccount("Ünï2", "h", "e");
        EXPECT_EQ(created.id, 6) << "ids are never reused";
        EXPECT_EQ(store.completeAccount(3).result, AccountStore::CompleteResult::Completed);
    }
    AccountStore again; // upgraded already: nothing to tell
    ASSERT_TRUE(again.open(path.string())) << again.errorText();
    EXPECT_EQ(again.notice(), "");
    EXPECT_EQ(again.findByLogin("ünï")->id, 2);
    EXPECT_TRUE(again.findById(3)->complete);
}

TEST(AccountStoreOpen, CreatesANewDatabaseForItsOwnerOnly)
{
    TemporaryFolder folder;
    const auto path = folder.path() / "accounts.db";
    AccountStore store;
    ASSERT_TRUE(store.open(path.string())) << store.errorText();
    const auto permissions = std::filesystem::status(path).permissions();
    EXPECT_EQ(permissions & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
              std::filesystem::perms::none);
}

} // namespace
