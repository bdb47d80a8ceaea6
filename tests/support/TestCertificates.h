// Certificates made at test time: a certificate authority whose file (or folder) a client can
// trust, and certificates it signs (or that sign themselves) for a host name and a validity
// window, which serve a server or a client alike.
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
    std::string combinedFile;    // the certificate, then its key, in one PEM file
};

class TestCertificates {
public:
    enum class Validity { Current, Expired, NotYetValid };
    enum class Signer { Authority, Self };

    // Makes the authority in a fresh temporary folder, removed by the destructor.
    explicit TestCertificates(const std::string& authorityName = "Dorvane Test Authority");
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    const std::string& authorityFile() const { return m_authorityFile; }
    // A folder holding the authority under its subject hash, as `openssl rehash` names it.
    const std::string& authorityFolder() const { return m_authorityFolder; }
    // A server certificate for name (a DNS name, or an IPv4 address given as such).
    IssuedCertificate issue(const std::string& name, Validity validity = Validity::Current,
                            Signer signer = Signer::Authority);

private:
    struct Authority;
    std::string m_folder;
    std::string m_authorityFile;
    std::string m_authorityFolder;
    Authority* m_authority = nullptr;
    int m_serial = 1;
};

} // namespace dorvane::test
