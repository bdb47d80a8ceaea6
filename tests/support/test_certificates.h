// Certificates made at test time: a certificate authority whose file a client can trust, and
// server certificates it signs (or that sign themselves) for a host name and a validity window.
//
//   TestCertificates pki;
//   auto good = pki.issue("127.0.0.1", Validity::Current);
//   httplib::SSLServer server(good.certificateFile.c_str(), good.keyFile.c_str());
//   setenv("SSL_CERT_FILE", pki.authorityFile().c_str(), 1);
#pragma once

#include <string>

namespace dorvane::test {

struct IssuedCertificate {
    std::string certificateFile; // PEM
    std::string keyFile;         // PEM, unencrypted
};

class TestCertificates {
public:
    enum class Validity { Current, Expired, NotYetValid };
    enum class Signer { Authority, Self };

    // Makes the authority in a fresh temporary folder, removed by the destructor.
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& authorityFile() const { return m_authorityFile; }
    // A server certificate for name (a DNS name, or an IPv4 address given as such).
    IssuedCertificate issue(const std::string& name, Validity validity = Validity::Current,
                            Signer signer = Signer::Authority);

private:
    struct Authority;
    std::string m_folder;
    std::string m_authorityFile;
    Authority* m_authority = nullptr;
    int m_serial = 1;
};

} // namespace dorvane::test
