#include "TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace dorvane::test {

namespace {

constexpr long day = 24 * 60 * 60;

struct Window {
    long fromOffset;
    long toOffset;
};

Window windowFor(TestCertificates::Validity validity)
{
    switch (validity) {
    case TestCertificates::Validity::Expired:
        return {-30 * day, -1 * day};
    case TestCertificates::Validity::NotYetValid:
        return {10 * day, 40 * day};
    case TestCertificates::Validity::Current:
        break;
    }
    return {-1 * day, 30 * day};
}

EVP_PKEY* newKey()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (key == nullptr)
        throw std::runtime_error("key generation failed");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr)
        throw std::runtime_error("bad certificate extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

X509* newCertificate(const std::string& commonName, EVP_PKEY* key, int serial, Window window)
{
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), window.fromOffset);
    X509_gmtime_adj(X509_getm_notAfter(certificate), window.toOffset);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    return certificate;
}

void writeCertificate(const std::string& path, X509* certificate)
{
    FILE* file = std::fopen(path.c_str(), "w");
    PEM_write_X509(file, certificate);
    std::fclose(file);
}

void writeKey(const std::string& path, EVP_PKEY* key, const char* mode = "w")
{
    FILE* file = std::fopen(path.c_str(), mode);
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
}

void appendKey(const std::string& path, EVP_PKEY* key)
{
    writeKey(path, key, "a");
}

bool isAddress(const std::string& name)
{
    in_addr address{};
    return inet_pton(AF_INET, name.c_str(), &address) == 1;
}

} // namespace

struct TestCertificates::Authority {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    ~Authority()
    {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
};

TestCertificates::TestCertificates(const std::string& authorityName)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "dorvane-pki-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("no temporary folder");
    m_folder = pattern;
    m_authority = new Authority;
    m_authority->key = newKey();
    m_authority->certificate = newCertificate(authorityName, m_authority->key, m_serial++,
                                              windowFor(Validity::Current));
    X509_set_issuer_name(m_authority->certificate, X509_get_subject_name(m_authority->certificate));
    addExtension(m_authority->certificate, m_authority->certificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(m_authority->certificate, m_authority->certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(m_authority->certificate, m_authority->certificate, NID_subject_key_identifier, "hash");
    X509_sign(m_authority->certificate, m_authority->key, EVP_sha256());
    m_authorityFile = m_folder + "/authority.pem";
    writeCertificate(m_authorityFile, m_authority->certificate);
    m_authorityFolder = m_folder + "/authorities";
    std::filesystem::create_directory(m_authorityFolder);
    char hashName[16];
    std::snprintf(hashName, sizeof hashName, "%08lx.0", X509_subject_name_hash(m_authority->certificate));
    writeCertificate(m_authorityFolder + "/" + hashName, m_authority->certificate);
}

TestCertificates::~TestCertificates()
{
    delete m_authority;
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

IssuedCertificate TestCertificates::issue(const std::string& name, Validity validity, Signer signer)
{
    EVP_PKEY* key = newKey();
    const int serial = m_serial++;
    X509* certificate = newCertificate(name, key, serial, windowFor(validity));
    X509* issuer = signer == Signer::Self ? certificate : m_authority->certificate;
    EVP_PKEY* issuerKey = signer == Signer::Self ? key : m_authority->key;
    X509_set_issuer_name(certificate, X509_get_subject_name(issuer));
    const std::string alternative = (isAddress(name) ? "IP:" : "DNS:") + name;
    addExtension(certificate, issuer, NID_subject_alt_name, alternative.c_str());
    addExtension(certificate, issuer, NID_basic_constraints, "critical,CA:FALSE");
    X509_sign(certificate, issuerKey, EVP_sha256());

    IssuedCertificate issued;
    issued.certificateFile = m_folder + "/server" + std::to_string(serial) + ".pem";
    issued.keyFile = m_folder + "/server" + std::to_string(serial) + ".key";
    issued.combinedFile = m_folder + "/server" + std::to_string(serial) + "-with-key.pem";
    writeCertificate(issued.certificateFile, certificate);
    writeKey(issued.keyFile, key);
    writeCertificate(issued.combinedFile, certificate);
    appendKey(issued.combinedFile, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return issued;
}

} // namespace dorvane::test
