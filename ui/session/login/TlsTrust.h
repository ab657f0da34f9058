// The rule every HTTPS request of the session services follows: verify the server's certificate
// chain and host name against the system's trust store plus an organisation CA file the
// administrator may place in the product's support folder. Unverified servers are accepted only
// when the administrator sets that explicitly; each such use logs a warning.
#pragma once

#include <string>

typedef void CURL;

class TlsTrust {
  public:
    // "<machine support>/OrganizationCA.pem": PEM certificates trusted beside the system's.
    static std::string organizationCAFile();
    // "<machine support>/TLSSettings.plist": a dictionary whose boolean "AllowUnverifiedServers"
    // (absent: false) lets requests go to servers whose certificate does not verify.
    static std::string settingsFile();

    // The settings as the files give them now (read again for each request, so a change of the
    // administrator's takes effect at once).
    static TlsTrust current();

    bool allowUnverifiedServers() const { return allowUnverified_; }
    const std::string& caFile() const { return caFile_; }

    // Sets the handle's verification options. For an https URL with unverified servers allowed it
    // logs "TLS verification is off for <url>: the server's certificate is not checked".
    void apply(CURL* curl, const std::string& url) const;

  private:
    bool allowUnverified_ = false;
    std::string caFile_;  // empty when no organisation CA file is present
};
