// A self-signed certificate made at test time, with a chosen serial and common name.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<uint8_t> makeCertificate(const std::vector<uint8_t>& serial,
                                            const std::string& commonName) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) return {};
    X509_set_version(cert.get(), 2);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(
        BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
    BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>(commonName.data()),
                               static_cast<int>(commonName.size()), -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return {};
    int length = i2d_X509(cert.get(), nullptr);
    std::vector<uint8_t> der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(cert.get(), &p);
    return der;
}

}  // namespace testsupport
