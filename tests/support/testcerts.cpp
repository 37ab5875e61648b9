#include "testserver.h"

#include <QSslConfiguration>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

template <typename T, void (*Free)(T *)> struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

void fail(const char *what)
{
    qFatal("test certificates: %s failed", what);
}

void check(int ok, const char *what)
{
    if (ok != 1)
        fail(what);
}

KeyPtr newKey()
{
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        fail("EC key generation");
    return key;
}

void addExtension(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext)
        fail(value);
    check(X509_add_ext(cert, ext.get(), -1), "X509_add_ext");
}

// A certificate for `key` named `commonName`; self-signed when issuer is null.
CertPtr newCertificate(EVP_PKEY *key, const char *commonName, X509 *issuer, EVP_PKEY *issuerKey)
{
    CertPtr cert(X509_new());
    if (!cert)
        fail("X509_new");
    check(X509_set_version(cert.get(), 2), "X509_set_version");
    unsigned char serial[8];
    check(RAND_bytes(serial, sizeof serial), "RAND_bytes");
    serial[0] &= 0x7f; // keep the serial positive
    std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> serialNumber(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!serialNumber || !BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert.get())))
        fail("serial number");
    // Valid from an hour ago, so that a clock a little behind does not reject it.
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600))
        fail("validity");
    X509_NAME *name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char *>("Zumvari tests"), -1, -1, 0),
          "subject");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0),
          "subject");
    check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name), "issuer");
    check(X509_set_pubkey(cert.get(), key), "X509_set_pubkey");

    X509 *signer = issuer ? issuer : cert.get();
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (!issuer) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        fail("X509_sign");
    return cert;
}

QByteArray drain(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

QSslCertificate toQt(X509 *cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(bio.get(), cert), "PEM_write_bio_X509");
    QSslCertificate result(drain(bio.get()), QSsl::Pem);
    if (result.isNull())
        fail("QSslCertificate");
    return result;
}

QSslKey toQt(EVP_PKEY *key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr),
          "PEM_write_bio_PrivateKey");
    QSslKey result(drain(bio.get()), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (result.isNull())
        fail("QSslKey");
    return result;
}

} // namespace

TestCertificates generateTestCertificates()
{
    const KeyPtr caKey = newKey();
    const CertPtr ca = newCertificate(caKey.get(), "Zumvari Test CA", nullptr, nullptr);
    const KeyPtr leafKey = newKey();
    const CertPtr leaf = newCertificate(leafKey.get(), "127.0.0.1", ca.get(), caKey.get());
    return {toQt(ca.get()), toQt(leaf.get()), toQt(leafKey.get())};
}

const TestCertificates &testCertificates()
{
    static const TestCertificates certificates = generateTestCertificates();
    return certificates;
}

void trustTestCa()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const QSslCertificate &ca = testCertificates().ca;
    if (config.caCertificates().contains(ca))
        return;
    config.addCaCertificate(ca);
    QSslConfiguration::setDefaultConfiguration(config);
}
