// Feeds arbitrary answers of the short Kerberos SRV lookup (up to the 4 MiB a command's output may
// hold) and domains to the helper's reading of them, then builds krb5.conf from what it kept, as a
// join does. Only "  kdc = HOST:88" lines for DNS names within the domain may come out, and the
// configuration keeps its fixed shape whatever the answer said.
//
// Input: the domain, a newline, then the lookup's output.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "joindomain/helper/JoinDomainUtil.h"

namespace {

using sorrel::JoinDomainUtil;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (;;) {
        size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (nl == std::string::npos) return lines;
        at = nl + 1;
    }
}

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

void checkKdcLine(const std::string& line, const std::string& realm) {
    static constexpr std::string_view kHead = "  kdc = ", kPort = ":88";
    if (line.size() <= kHead.size() + kPort.size() || line.compare(0, kHead.size(), kHead) != 0 ||
        !endsWith(line, kPort))
        __builtin_trap();
    const std::string host = line.substr(kHead.size(), line.size() - kHead.size() - kPort.size());
    if (!JoinDomainUtil::isDomainName(host)) __builtin_trap();
    if (host != realm && !endsWith(host, "." + realm)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (4u << 20)) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nl = input.find('\n');
    const std::string domain = input.substr(0, nl);
    const std::string answer = nl == std::string::npos ? std::string() : input.substr(nl + 1);

    const std::string kdc = JoinDomainUtil::kdcLinesFromAnswer(answer, domain);
    if (kdc.empty()) return 0;
    if (!JoinDomainUtil::isDomainName(domain)) __builtin_trap();
    const std::string realm = upper(domain);
    const std::vector<std::string> kdcLines = linesOf(kdc);
    for (const std::string& line : kdcLines) checkKdcLine(line, realm);

    // The configuration: its fixed lines, with the kdc lines alone between the realm's braces.
    const std::vector<std::string> conf = linesOf(JoinDomainUtil::krb5Configuration(domain, kdc));
    const std::vector<std::string> head = {"[libdefaults]",
                                           "default_realm = " + realm,
                                           "dns_lookup_realm = false",
                                           "dns_lookup_kdc = false",
                                           "forwardable = false",
                                           "",
                                           "[realms]",
                                           realm + " = {"};
    const std::vector<std::string> tail = {"}", "", "[domain_realm]", "." + domain + " = " + realm,
                                           domain + " = " + realm};
    if (conf.size() != head.size() + kdcLines.size() + tail.size()) __builtin_trap();
    for (size_t i = 0; i < head.size(); ++i) {
        if (conf[i] != head[i]) __builtin_trap();
    }
    for (size_t i = 0; i < kdcLines.size(); ++i) {
        if (conf[head.size() + i] != kdcLines[i]) __builtin_trap();
    }
    for (size_t i = 0; i < tail.size(); ++i) {
        if (conf[head.size() + kdcLines.size() + i] != tail[i]) __builtin_trap();
    }
    return 0;
}
