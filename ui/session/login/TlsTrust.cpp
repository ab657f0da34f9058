#include "TlsTrust.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include "platform/archive/Plist.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"

using common::processLog;

namespace {

constexpr long kMaxCAFileBytes = 1 << 20;

// Adds the organisation's certificates to the store libcurl has already filled from the system's
// trust store, so both are trusted (CURLOPT_CAINFO would replace the system store instead).
CURLcode addOrganizationCA(CURL*, void* sslctx, void* userdata) {
    const auto* path = static_cast<const std::string*>(userdata);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslctx));
    BIO* bio = BIO_new_file(path->c_str(), "r");
    if (!bio) return CURLE_OK;
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        X509_STORE_add_cert(store, cert);  // a duplicate is refused harmlessly
        X509_free(cert);
    }
    ERR_clear_error();
    BIO_free(bio);
    return CURLE_OK;
}

}  // namespace

std::string TlsTrust::organizationCAFile() {
    return paths::machineSupportFolder() + "/OrganizationCA.pem";
}

std::string TlsTrust::settingsFile() {
    return paths::machineSupportFolder() + "/TLSSettings.plist";
}

TlsTrust TlsTrust::current() {
    TlsTrust trust;
    struct stat st {};
    // Only files root owns and others cannot write count: they widen what the client trusts.
    auto adminFile = [&st](const std::string& path) {
        return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
               (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && st.st_size <= kMaxCAFileBytes;
    };
    if (adminFile(organizationCAFile())) trust.caFile_ = organizationCAFile();
    if (adminFile(settingsFile())) {
        if (auto settings = archive::readPlistFile(settingsFile())) {
            if (const auto* dict = settings->dictionary()) {
                if (auto it = dict->find("AllowUnverifiedServers"); it != dict->end()) {
                    trust.allowUnverified_ = it->second.boolean().value_or(false);
                }
            }
        }
    }
    return trust;
}

void TlsTrust::apply(CURL* curl, const std::string& url) const {
    if (allowUnverified_) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        if (url.rfind("https:", 0) == 0) {
            processLog().writeLog("TLS verification is off for " + url +
                                  ": the server's certificate is not checked");
        }
        return;
    }
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile_.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, addOrganizationCA);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, const_cast<std::string*>(&caFile_));
    }
}
