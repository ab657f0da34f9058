#include "JoinDomainUtil.h"

#include <cctype>
#include <cstdio>

#include "CommandRun.h"
#include "platform/sysinfo/Machine.h"

namespace sorrel {

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string JoinDomainUtil::machineModelFor(const std::optional<std::string>& model) {
    if (!model) return "MC";
    const std::string name = lower(*model);
    if (name.rfind("macbook", 0) == 0) return "MB";
    if (name.rfind("macmini", 0) == 0) return "MN";
    return "MC";
}

std::string JoinDomainUtil::machineModel() {
    return machineModelFor(sysinfo::dmi("product_name"));
}

bool JoinDomainUtil::isDomainName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    size_t label = 0;
    for (char c : text) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '-' || c == '_') || u >= 0x80) return false;
        if (++label > 63) return false;
    }
    return label > 0;
}

std::string JoinDomainUtil::fetchSearchDomainWithDomain(const std::string& domain, const LogSink& log) {
    // The answer lines of the SRV lookup name the query; their eighth field is the target host.
    std::optional<std::string> output;
    std::optional<std::string> error;
    if (isDomainName(domain)) {
        const std::string query = "_kerberos._tcp." + domain;
        CommandRun run = runCommand("dig", {"-t", "SRV", query});
        std::string hosts;
        for (const std::string& line : splitLines(run.output)) {
            if (line.find(query) == std::string::npos || line.find(';') != std::string::npos) continue;
            hosts += field(line, 8) + "\n";
        }
        if (!hosts.empty()) output = hosts;
        if (!run.error.empty()) error = run.error;
    } else {
        error = "not a domain name: " + domain;
    }
    if (!output) {
        if (error) {
            log("Fetch search domain script excute failed with error: " + *error, kLogError);
        } else {
            log("Fetch search domain script excute failed with Fetch search domain is nill", kLogError);
        }
        return {};
    }
    const std::string first = splitLines(*output).front();
    if (first.size() < 2) return {};
    std::string host = first.substr(0, first.size() - 1);
    log("Fetch search domain=" + host, kLogInfo);
    return host;
}

std::string JoinDomainUtil::kdcLinesFrom(const std::string& hosts, const std::string& domain) {
    // The answer comes from DNS: only a DNS name of the domain may become a line of the file.
    if (!isDomainName(domain)) return {};
    const std::string realm = upper(domain);
    std::string text = upper(hosts);
    replaceAll(text, realm + ".", realm + ":88");
    std::string lines;
    for (const std::string& piece : splitLines(text)) {
        if (piece.empty() || !endsWith(piece, realm + ":88")) continue;
        const std::string host = piece.substr(0, piece.size() - 3);
        if (!isDomainName(host)) continue;
        // Within the domain: the domain itself or a name under it, not one that merely ends alike.
        if (host != realm && !endsWith(host, "." + realm)) continue;
        // One kdc per line: several servers on one line would make a single broken value.
        if (!lines.empty()) lines += "\n";
        lines += "  kdc = " + piece;
    }
    return lines;
}

std::string JoinDomainUtil::kdcLinesFromAnswer(const std::string& answer, const std::string& domain) {
    const std::string realm = upper(domain);
    std::string hosts;
    for (const std::string& line : splitLines(answer)) {
        if (!containsNoCase(line, realm)) continue;
        hosts += field(line, 4) + "\n";
    }
    return kdcLinesFrom(hosts, domain);
}

std::string JoinDomainUtil::fetchKerberosServersWithDomain(const std::string& domain, const LogSink& log) {
    const std::string realm = upper(domain);
    std::string answer;
    if (isDomainName(domain)) {
        CommandRun run = runCommand("dig", {"-t", "SRV", "_kerberos._tcp." + realm, "+short"});
        if (!run.started || run.timedOut) {
            log("Fetch kerberos servers script excute failed with error: " + run.error, kLogError);
            return {};
        }
        answer = run.output;
    }
    std::string lines = kdcLinesFromAnswer(answer, domain);
    log("Fetch Kerberos servers output: " + lines, kLogInfo);
    return lines;
}

std::optional<std::string> JoinDomainUtil::joinedDomainName(const LogSink& log) {
    CommandRun run = runCommand("dsconfigad", {"-show"});
    if (!run.started || run.timedOut) {
        log("Check join domain script excute failed with error: " + errorInfoText(scriptOutcomeOf(run)),
            kLogError);
        return std::nullopt;
    }
    std::string names;
    for (const std::string& line : splitLines(run.output)) {
        if (line.find("Active Directory Domain") == std::string::npos) continue;
        if (!names.empty()) names += "\r";
        names += field(line, 5);
    }
    if (names.empty()) return std::nullopt;
    return names;
}

std::string JoinDomainUtil::ldapBase(const std::string& domain) {
    std::string base;
    for (const std::string& label : splitLines(domain, '.')) {
        if (!base.empty()) base += ",";
        base += "DC=" + label;
    }
    return base;
}

std::string JoinDomainUtil::krb5Configuration(const std::string& domain, const std::string& kdcLines) {
    // Filled in one pass, so a domain that happens to hold a placeholder's text stays intact.
    const std::string realm = upper(domain);
    return "[libdefaults]\n"
           "default_realm = " +
           realm +
           "\n"
           "dns_lookup_realm = false\n"
           "dns_lookup_kdc = false\n"
           "forwardable = false\n"
           "\n"
           "[realms]\n" +
           realm + " = {\n" + kdcLines +
           "\n"
           "}\n"
           "\n"
           "[domain_realm]\n"
           "." +
           domain + " = " + realm + "\n" + domain + " = " + realm;
}

std::string JoinDomainUtil::ldapFilterValue(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        switch (c) {
            case '*':
            case '(':
            case ')':
            case '\\':
            case '\0': {
                char hex[4];
                std::snprintf(hex, sizeof hex, "\\%02x", static_cast<unsigned char>(c));
                escaped += hex;
                break;
            }
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace sorrel
