// What the domain-join helper asks of the directory and of DNS, and the texts it builds from the
// answers: the machine-model code of computer names, the Kerberos server host that serves as the
// directory server, the kdc lines of the Kerberos configuration, and the bound domain's name.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace sorrel {

// Log types of writeLog.
enum LogType : unsigned { kLogInfo = 0, kLogDebug = 1, kLogError = 2 };
using LogSink = std::function<void(const std::string& text, unsigned type)>;

class JoinDomainUtil {
  public:
    // "MB", "MN" or "MC" from the machine's model name (DMI product name), compared in lower case.
    static std::string machineModel();
    static std::string machineModelFor(const std::optional<std::string>& model);

    // Host name of the first Kerberos server DNS lists for domain, without its trailing dot;
    // empty when none can be found.
    static std::string fetchSearchDomainWithDomain(const std::string& domain, const LogSink& log);

    // The "  kdc = HOST:88" lines for the domain's Kerberos servers, one per line; empty when
    // there are none or DNS cannot be asked.
    static std::string fetchKerberosServersWithDomain(const std::string& domain, const LogSink& log);
    // The same from the text of a lookup's answer (one server host a line, as DNS gives them).
    // Only hosts that are DNS names within the domain count; nothing when domain is not a DNS name.
    static std::string kdcLinesFrom(const std::string& hosts, const std::string& domain);
    // The same from the whole output of the short SRV lookup (priority, weight, port, host a line).
    static std::string kdcLinesFromAnswer(const std::string& answer, const std::string& domain);

    // The domain this machine is bound to; nothing when not bound or the query failed.
    static std::optional<std::string> joinedDomainName(const LogSink& log);

    // The LDAP base of a DNS name: "DC=a,DC=b,DC=c" for a.b.c.
    static std::string ldapBase(const std::string& domain);
    // Kerberos configuration for the domain with the given kdc lines.
    static std::string krb5Configuration(const std::string& domain, const std::string& kdcLines);
    // Whether text is a DNS name (labels of letters, digits, '-' and '_' between dots), the only
    // form that may enter a DNS query or the Kerberos configuration.
    static bool isDomainName(const std::string& text);
    // A value escaped for an LDAP search filter.
    static std::string ldapFilterValue(const std::string& value);
};

}  // namespace sorrel
