// https with certificates made at test time: trusted, wrong name, expired, self-signed; the
// authorities and the client certificate of a request's own.
#include <gtest/gtest.h>

#include <cstdlib>

#include "LocalHttpServer.h"
#include "TestCertificates.h"
#include "WininetTestSupport.h"

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

// The authorities a request trusts: the process's (SSL_CERT_FILE, the suite's authority), or
// its own file or folder, of the suite's authority or of one that signed nothing here.
enum class Trust { Process, OwnFile, OwnFolder, OtherFile, OtherFolder };
// What the client shows a server that asks for a certificate.
enum class ClientCertificate { None, WithItsKey, InOneFile };

struct TlsCase {
    const char* tag;
    const char* name;
    TestCertificates::Validity validity;
    TestCertificates::Signer signer;
    DWORD flags;
    DWORD error; // 0: the request succeeds
    Trust trust = Trust::Process;
    bool serverAsksForACertificate = false;
    ClientCertificate client = ClientCertificate::None;
};

void SetText(HINTERNET handle, DWORD option, std::string value)
{
    ASSERT_TRUE(InternetSetOptionA(handle, option, value.data(), static_cast<DWORD>(value.size())));
}

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
        // Authorities of the request's own, instead of the process's.
        {"own authority file", "127.0.0.1", V::Current, S::Authority, 0, 0, Trust::OwnFile},
        {"own authority folder", "127.0.0.1", V::Current, S::Authority, 0, 0, Trust::OwnFolder},
        {"own file of another authority", "127.0.0.1", V::Current, S::Authority, 0, ERROR_INTERNET_INVALID_CA,
         Trust::OtherFile},
        {"own folder of another authority", "127.0.0.1", V::Current, S::Authority, 0, ERROR_INTERNET_INVALID_CA,
         Trust::OtherFolder},
        {"own authority, wrong name", "wrong.test", V::Current, S::Authority, 0, ERROR_INTERNET_SEC_CERT_CN_INVALID,
         Trust::OwnFile},
        // A server that asks for the client's certificate.
        {"client certificate with its key", "127.0.0.1", V::Current, S::Authority, 0, 0, Trust::Process, true,
         ClientCertificate::WithItsKey},
        {"client certificate and key in one file", "127.0.0.1", V::Current, S::Authority, 0, 0, Trust::Process,
         true, ClientCertificate::InOneFile},
        {"no client certificate", "127.0.0.1", V::Current, S::Authority, 0, ERROR_INTERNET_CONNECTION_ABORTED,
         Trust::Process, true},
    };
    TestCertificates other("Another Test Authority");
    const IssuedCertificate client = s_certificates->issue("client.test");
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.tag);
        const IssuedCertificate issued = s_certificates->issue(c.name, c.validity, c.signer);
        LocalHttpServer https(std::make_unique<httplib::SSLServer>(
            issued.certificateFile.c_str(), issued.keyFile.c_str(),
            c.serverAsksForACertificate ? s_certificates->authorityFile().c_str() : nullptr));
        https.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("secret", "text/plain");
        });
        ASSERT_TRUE(https.start());
        auto handles = openRequest(https.port(), "GET", "/", INTERNET_FLAG_SECURE | c.flags);
        const std::string trusted[] = {"", s_certificates->authorityFile(), s_certificates->authorityFolder(),
                                       other.authorityFile(), other.authorityFolder()};
        if (c.trust != Trust::Process)
            SetText(handles.connection, INTERNET_OPTION_CA_CERTIFICATES, trusted[static_cast<int>(c.trust)]);
        if (c.client == ClientCertificate::WithItsKey) {
            SetText(handles.connection, INTERNET_OPTION_CLIENT_CERTIFICATE_FILE, client.certificateFile);
            SetText(handles.connection, INTERNET_OPTION_CLIENT_KEY_FILE, client.keyFile);
        }
        if (c.client == ClientCertificate::InOneFile)
            SetText(handles.connection, INTERNET_OPTION_CLIENT_CERTIFICATE_FILE, client.combinedFile);
        const BOOL sent = HttpSendRequestA(handles.request, nullptr, 0, nullptr, 0);
        if (c.error != 0) {
            std::string body;
            // A refused client certificate may end the connection only after the handshake.
            EXPECT_FALSE(sent && readBody(handles.request, body));
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_TRUE(sent) << GetLastError();
        std::string body;
        ASSERT_TRUE(readBody(handles.request, body));
        EXPECT_EQ(body, "secret");
    }
}
