// https with certificates made at test time: trusted, wrong name, expired, self-signed.
#include <gtest/gtest.h>

#include <cstdlib>

#include "local_http_server.h"
#include "test_certificates.h"
#include "wininet_test_support.h"

using namespace dorvane::test;

namespace {

class WininetTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_certificates = new TestCertificates;
        // The trusted authorities, as every OpenSSL program on this system reads them.
        setenv("SSL_CERT_FILE", s_certificates->authorityFile().c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        unsetenv("SSL_CERT_FILE");
        delete s_certificates;
        s_certificates = nullptr;
    }

    static TestCertificates* s_certificates;
};

TestCertificates* WininetTls::s_certificates = nullptr;

struct TlsCase {
    const char* tag;
    const char* name;
    TestCertificates::Validity validity;
    TestCertificates::Signer signer;
    DWORD flags;
    DWORD error; // 0: the request succeeds
};

} // namespace

TEST_F(WininetTls, CertificatesAreCheckedAsTheFlagsSay)
{
    using V = TestCertificates::Validity;
    using S = TestCertificates::Signer;
    const TlsCase cases[] = {
        {"trusted", "127.0.0.1", V::Current, S::Authority, 0, 0},
        {"wrong name", "wrong.test", V::Current, S::Authority, 0, ERROR_INTERNET_SEC_CERT_CN_INVALID},
        {"wrong name ignored", "wrong.test", V::Current, S::Authority, INTERNET_FLAG_IGNORE_CERT_CN_INVALID, 0},
        {"wrong name, dates ignored", "wrong.test", V::Current, S::Authority, INTERNET_FLAG_IGNORE_CERT_DATE_INVALID,
         ERROR_INTERNET_SEC_CERT_CN_INVALID},
        {"expired", "127.0.0.1", V::Expired, S::Authority, 0, ERROR_INTERNET_SEC_CERT_DATE_INVALID},
        {"not yet valid", "127.0.0.1", V::NotYetValid, S::Authority, 0, ERROR_INTERNET_SEC_CERT_DATE_INVALID},
        {"expired, dates ignored", "127.0.0.1", V::Expired, S::Authority, INTERNET_FLAG_IGNORE_CERT_DATE_INVALID, 0},
        {"expired, name ignored", "127.0.0.1", V::Expired, S::Authority, INTERNET_FLAG_IGNORE_CERT_CN_INVALID,
         ERROR_INTERNET_SEC_CERT_DATE_INVALID},
        {"self-signed", "127.0.0.1", V::Current, S::Self, 0, ERROR_INTERNET_INVALID_CA},
        {"self-signed, dates ignored", "127.0.0.1", V::Current, S::Self, INTERNET_FLAG_IGNORE_CERT_DATE_INVALID,
         ERROR_INTERNET_INVALID_CA},
    };
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.tag);
        const IssuedCertificate issued = s_certificates->issue(c.name, c.validity, c.signer);
        LocalHttpServer https(
            std::make_unique<httplib::SSLServer>(issued.certificateFile.c_str(), issued.keyFile.c_str()));
        https.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("secret", "text/plain");
        });
        ASSERT_TRUE(https.start());
        auto handles = openRequest(https.port(), "GET", "/", INTERNET_FLAG_SECURE | c.flags);
        const BOOL sent = HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0);
        if (c.error != 0) {
            EXPECT_FALSE(sent);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_TRUE(sent) << GetLastError();
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body));
        EXPECT_EQ(body, "secret");
    }
}
