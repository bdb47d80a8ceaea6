// advhttp run as its own process, as a user or a script runs it, against servers on 127.0.0.1.
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LocalHttpServer.h"
#include "ScriptedServer.h"
#include "TestCertificates.h"

using dorvane::test::IssuedCertificate;
using dorvane::test::LocalHttpServer;
using dorvane::test::ScriptedServer;
using dorvane::test::Step;
using dorvane::test::TestCertificates;

namespace {

constexpr int ProcessTimeoutMs = 60000;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

Outcome advhttp(const QStringList& arguments)
{
    QProcess process;
    process.start(ADVHTTP_PATH, arguments);
    Outcome outcome;
    if (!process.waitForFinished(ProcessTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.exitCode = process.exitCode();
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

QString urlOf(int port, const char* path)
{
    return QString("http://127.0.0.1:%1%2").arg(port).arg(path);
}

class AdvHttpTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_http.server().Get("/hello", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("hello", "text/plain");
        });
        m_http.server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
            response.status = 404;
            response.set_content("not here", "text/plain");
        });
        m_http.server().Get("/binary", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string("a\0b\0c", 5), "application/octet-stream");
        });
        m_http.server().Post("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.get_header_value("X-Tag") + ":" + request.body, "text/plain");
        });
        ASSERT_TRUE(m_http.start());
    }

    LocalHttpServer m_http;
};

TEST_F(AdvHttpTool, WritesTheBodyToStandardOutputAndSucceedsWhateverTheStatus)
{
    for (const bool async : {false, true}) {
        QStringList arguments{urlOf(m_http.port(), "/hello")};
        if (async)
            arguments.prepend("--async");
        const Outcome hello = advhttp(arguments);
        EXPECT_EQ(hello.exitCode, 0) << hello.err;
        EXPECT_EQ(hello.out, "hello");

        const Outcome missing = advhttp({urlOf(m_http.port(), "/missing")});
        EXPECT_EQ(missing.exitCode, 0);
        EXPECT_EQ(missing.out, "not here");
    }
}

TEST_F(AdvHttpTool, KeepsZeroBytesWhenWritingTheBodyToAFile)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("body.bin");
    const Outcome outcome = advhttp({"-o", path, urlOf(m_http.port(), "/binary")});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    std::ifstream file(path.toStdString(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ(content.str(), std::string("a\0b\0c", 5));
}

TEST_F(AdvHttpTool, SendsMethodHeadersAndBody)
{
    const Outcome outcome =
        advhttp({"-X", "POST", "-H", "X-Tag: seven", "-d", "payload", urlOf(m_http.port(), "/echo")});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "seven:payload");
}

TEST_F(AdvHttpTool, VerbosePrintsEachEventWithItsValuesInOrder)
{
    const Outcome outcome = advhttp({"-v", urlOf(m_http.port(), "/hello")});
    ASSERT_EQ(outcome.exitCode, 0);
    const char* expected[] = {"* ConnectingToServer address=127.0.0.1", "* SendingRequest", "* RequestSent bytes=",
                              "* DataAvailable position=0 size=5 read=5", "* RequestComplete status=200 read=5"};
    std::size_t from = 0;
    for (const char* line : expected) {
        const std::size_t at = outcome.err.find(line, from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << outcome.err;
        from = at;
    }
}

TEST_F(AdvHttpTool, RepeatsOverOneConnection)
{
    ScriptedServer server({Step::readRequest(), Step::send(dorvane::test::httpResponse(200, "ok")), Step::repeat()});
    const Outcome outcome = advhttp({"-n", "3", urlOf(server.port(), "/again")});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "okokok");
    EXPECT_EQ(server.received(1), "");
}

// --cacert, --cert and --key: the authorities trusted and the certificate shown are the ones
// named, whatever the process's.
TEST(AdvHttpToolCertificates, TrustsAndShowsTheCertificatesNamed)
{
    TestCertificates pki;
    const IssuedCertificate server = pki.issue("127.0.0.1");
    const IssuedCertificate client = pki.issue("client.test");
    LocalHttpServer https(std::make_unique<httplib::SSLServer>(server.certificateFile.c_str(),
                                                               server.keyFile.c_str(), pki.authorityFile().c_str()));
    https.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secret", "text/plain");
    });
    ASSERT_TRUE(https.start());
    const QString url = QString("https://127.0.0.1:%1/").arg(https.port());
    const QString authority = QString::fromStdString(pki.authorityFile());
    const Outcome outcome = advhttp({"--cacert", authority, "--cert", QString::fromStdString(client.certificateFile),
                                     "--key", QString::fromStdString(client.keyFile), url});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "secret");
    EXPECT_NE(advhttp({"--cacert", authority, url}).exitCode, 0) << "the server asks for a certificate";
}

TEST(AdvHttpToolFailures, ReportsTheErrorCodeAndMessage)
{
    ScriptedServer refused({Step::close()});
    const int closedPort = refused.port();
    refused.stop();
    // 100 bytes 50 ms apart: 5 s, never silent for long.
    std::vector<std::size_t> everyByte(100);
    for (std::size_t i = 0; i < everyByte.size(); ++i)
        everyByte[i] = 40 + i;
    ScriptedServer drip({Step::readRequest(),
                         Step::send(dorvane::test::httpResponse(200, std::string(100, 'd')), everyByte,
                                    std::chrono::milliseconds(50)),
                         Step::close()});
    TestCertificates pki;
    TestCertificates other("Another Test Authority");
    const IssuedCertificate issued = pki.issue("127.0.0.1");
    LocalHttpServer https(std::make_unique<httplib::SSLServer>(issued.certificateFile.c_str(), issued.keyFile.c_str()));
    // A redirect from https to plain http, and one the other way.
    https.server().Get("/down", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(urlOf(drip.port(), "/").toStdString());
    });
    ASSERT_TRUE(https.start());
    const QString httpsUrl = QString("https://127.0.0.1:%1/").arg(https.port());
    ScriptedServer up({Step::readRequest(),
                       Step::send("HTTP/1.1 302 Found\r\nLocation: " + httpsUrl.toStdString() +
                                  "\r\nContent-Length: 0\r\n\r\n"),
                       Step::close()});
    const QString authority = QString::fromStdString(pki.authorityFile());

    struct Case {
        const char* tag;
        QStringList arguments;
        int exitCode;
        const char* message;
    } cases[] = {
        {"no scheme", {"example.test/x"}, 1, "advhttp: error 12006"},
        {"another scheme", {"ftp://127.0.0.1/x"}, 1, "advhttp: error 12006: Invalid protocol"},
        {"another scheme, async", {"--async", "ftp://127.0.0.1/x"}, 1, "advhttp: error 12006: Invalid protocol"},
        {"data file is a folder", {"--data-file", "/", "http://127.0.0.1/"}, 2, "/ is a folder"},
        {"method is no token", {"-X", "GE T", "http://127.0.0.1/"}, 2, "is no HTTP method"},
        {"refused", {urlOf(closedPort, "/")}, 1, "advhttp: error 12029"},
        {"refused, async", {"--async", urlOf(closedPort, "/")}, 1, "advhttp: error 12029"},
        {"unknown option", {"--frobnicate", "http://127.0.0.1/"}, 2, "unknown option --frobnicate"},
        {"unknown flag", {"-f", "ifNoSuchFlag", "http://127.0.0.1/"}, 2, "unknown flag ifNoSuchFlag"},
        {"no URL", {"-v"}, 2, "no URL given"},
        {"no request to perform", {"-n", "0", "http://127.0.0.1/"}, 2, "-n needs a count of at least 1"},
        {"a dripping server past --max-time", {"-m", "300", urlOf(drip.port(), "/")}, 1, "advhttp: error 12002"},
        {"--cacert of another authority", {"--cacert", QString::fromStdString(other.authorityFile()), httpsUrl}, 1,
         "advhttp: error 12045"},
        {"a redirect to plain http the flags don't allow",
         {"--cacert", authority, "-f", "-ifIgnoreRedirectToHttp", httpsUrl + "down"}, 1, "advhttp: error 12040"},
        {"a redirect to https the flags don't allow",
         {"-f", "-ifIgnoreRedirectToHttps", urlOf(up.port(), "/")}, 1, "advhttp: error 12039"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = advhttp(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << c.tag;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.tag << ": " << outcome.err;
    }
}

} // namespace
