#include "DirectoryBinding.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>

#include "platform/core/FileIO.h"
#include "platform/core/LineText.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/spawn/ToolEnvironment.h"
#include "platform/tools/dsconfigad/IniText.h"

namespace dsconfigad {

namespace {

constexpr const char* kUsage =
    "usage: dsconfigad -show | -a <computer> -domain <domain> -u <user> [-p <password>] [-ou <base>] | "
    "-r [-f] | -mobile enable|disable [-mobileconfirm enable|disable]\n";
constexpr const char* kNotBound = "dsconfigad: this computer is not bound to Active Directory\n";
constexpr size_t kMaxBindingBytes = 64u << 10;
constexpr size_t kMaxConfigBytes = 1u << 20;
constexpr const char* kHomeTemplate = "/home/%U";

bool dnsName(const std::string& text) {
    if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.') return false;
    char previous = 0;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '-' || c == '.' || c == '_') || u >= 0x80) return false;
        if (c == '.' && previous == '.') return false;
        previous = c;
    }
    return true;
}

// A computer name: 1 to 15 letters, digits and hyphens, not starting with a hyphen.
bool computerName(const std::string& text) {
    if (text.empty() || text.size() > 15 || text.front() == '-') return false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '-') || u >= 0x80) return false;
    }
    return true;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// "-name value" pairs and lone flags; nothing when an option lacks its value.
std::optional<std::map<std::string, std::string>> options(const std::vector<std::string>& args,
                                                          const std::vector<std::string>& flags) {
    std::map<std::string, std::string> found;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool isFlag = false;
        for (const std::string& f : flags) isFlag = isFlag || a == f;
        if (isFlag) {
            found[a] = "";
            continue;
        }
        if (a.empty() || a[0] != '-' || i + 1 >= args.size()) return std::nullopt;
        found[a] = args[++i];
    }
    return found;
}

Outcome fail(const std::string& text, int status = 1) {
    return Outcome{status, "", text};
}

bool writeBinding(const Binding& binding) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(bindingRecordFile()).parent_path(), ec);
    return fileio::writeFileAtomically(bindingRecordFile(), bindingText(binding), 0644);
}

Outcome runTool(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                std::chrono::milliseconds deadline) {
    spawn::Options o;
    o.program = program;
    o.argv.push_back(o.program);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.environment = spawn::toolEnvironment();
    // Package tools (pam-auth-update) never stop to ask.
    o.environment->push_back("DEBIAN_FRONTEND=noninteractive");
    o.input = input.empty() ? spawn::Stream::null() : spawn::Stream::pipe();
    spawn::RunLimits limits;
    limits.input = input;
    limits.deadline = deadline;
    limits.maxStreamBytes = 1u << 20;
    spawn::RunResult r = spawn::run(std::move(o), limits);
    Outcome out;
    if (!r.started()) return fail("dsconfigad: cannot run " + program + "\n");
    out.output = std::move(r.output);
    out.error = std::move(r.error);
    if (r.timedOut) {
        out.status = 1;
        out.error += "dsconfigad: " + program + " timed out\n";
    } else if (!r.waitStatus || spawn::exitStatusFromWait(*r.waitStatus) != 0) {
        out.status = 1;
        if (out.error.empty()) out.error = "dsconfigad: " + program + " failed\n";
    }
    return out;
}

Outcome runRealm(const std::vector<std::string>& args, const std::string& input) {
    return runTool("realm", args, input, kRealmDeadline);
}

std::optional<std::string> readText(const std::string& path) {
    auto bytes = fileio::readFile(path, kMaxConfigBytes);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

// A computer OU that names a container: anything but the domain's own base (DC= parts only),
// which is where the directory puts computers anyway.
bool namesContainer(const std::string& base) {
    size_t start = 0;
    while (start <= base.size()) {
        size_t end = base.find(',', start);
        if (end == std::string::npos) end = base.size();
        const std::string part = trimmed(base.substr(start, end - start));
        if (!part.empty() && lower(trimmed(part.substr(0, part.find('=')))) != "dc") return true;
        start = end + 1;
    }
    return false;
}

// realmd's settings for the join: short user names and homes in /home/<user>, so that the
// account tools find users by the names the domain-join app knows them by. realmd reads its file
// when it starts, so a running realmd is restarted after a change.
Outcome prepareRealmd(const std::string& domain) {
    const std::string path = realmdConfigFile();
    std::optional<std::string> text = readText(path);
    if (!text) {
        if (::access(path.c_str(), F_OK) == 0) return fail("dsconfigad: cannot read " + path + "\n");
        text = std::string();
    }
    std::optional<std::string> updated = initext::withSetting(*text, "users", "default-home", kHomeTemplate);
    if (updated) updated = initext::withSetting(*updated, domain, "fully-qualified-names", "no");
    if (!updated) return fail("dsconfigad: cannot set up " + path + "\n");
    if (*updated == *text) return {};
    if (!fileio::writeFileAtomically(path, *updated, 0644))
        return fail("dsconfigad: cannot write " + path + "\n");
    Outcome restarted = runTool("systemctl", {"try-restart", "realmd.service"}, {}, kServiceDeadline);
    if (restarted.status != 0) {
        return fail("dsconfigad: realmd did not restart to read " + path + ": " + restarted.error);
    }
    return {};
}

// Home folders are made at a directory user's first sign-in (pam_mkhomedir).
Outcome enableHomeFolders() {
    Outcome enabled = runTool("pam-auth-update", {"--enable", "mkhomedir"}, {}, kServiceDeadline);
    if (enabled.status != 0) {
        return fail(
            "dsconfigad: cannot make home folders at first sign-in (pam-auth-update --enable "
            "mkhomedir): " +
            enabled.error);
    }
    return {};
}

std::string sssdSection(const std::string& domain) {
    return "domain/" + domain;
}

Outcome show() {
    std::optional<Binding> binding = readBinding();
    if (!binding) return {};
    const std::string state = binding->mobile ? "Enabled" : "Disabled";
    Outcome out;
    out.output = "Active Directory Forest          = " + binding->domain + "\n" +
                 "Active Directory Domain          = " + binding->domain + "\n" +
                 "Computer Account                 = " + lower(binding->computer) + "$\n" + "\n" +
                 "Advanced Options - User Experience\n" + "  Create mobile account at login = " + state +
                 "\n";
    return out;
}

Outcome add(const std::vector<std::string>& args, const std::string& input) {
    auto o = options(args, {});
    if (!o || !o->count("-a") || !o->count("-domain") || !o->count("-u")) return fail(kUsage, 64);
    Binding binding;
    binding.computer = upper((*o)["-a"]);
    binding.domain = lower((*o)["-domain"]);
    if (!computerName(binding.computer)) return fail("dsconfigad: invalid computer name\n", 64);
    if (!dnsName(binding.domain)) return fail("dsconfigad: invalid domain name\n", 64);
    // realmd and adcli keep what they are given in the machine's configuration and keytab.
    const std::string user = (*o)["-u"];
    if (user.empty() || user[0] == '-' || !linetext::lineSafe(user))
        return fail("dsconfigad: invalid user name\n", 64);
    if (o->count("-ou") && !linetext::lineSafe((*o)["-ou"])) return fail("dsconfigad: invalid OU\n", 64);
    std::string password;
    if (o->count("-p")) {
        password = (*o)["-p"];
    } else {
        password = input.substr(0, input.find('\n'));
    }
    if (Outcome prepared = prepareRealmd(binding.domain); prepared.status != 0) return prepared;
    if (Outcome homes = enableHomeFolders(); homes.status != 0) return homes;
    // realmd joins through adcli (computer account, keytab) and configures SSSD and PAM.
    std::vector<std::string> realm = {"join", "--user=" + user, "--computer-name=" + binding.computer,
                                      "--membership-software=adcli", "--client-software=sssd"};
    if (o->count("-ou") && namesContainer((*o)["-ou"])) realm.push_back("--computer-ou=" + (*o)["-ou"]);
    realm.push_back(binding.domain);
    Outcome joined = runRealm(realm, password + "\n");
    if (joined.status != 0) return joined;
    // Mobile accounts are SSSD's cached credentials, as realmd set them up.
    if (std::optional<std::string> sssd = readText(sssdConfigFile())) {
        std::optional<std::string> cache =
            initext::setting(*sssd, sssdSection(binding.domain), "cache_credentials");
        binding.mobile = cache && lower(*cache) == "true";
    } else if (std::optional<Binding> previous = readBinding()) {
        binding.mobile = previous->mobile;
    }
    if (!writeBinding(binding))
        return fail("dsconfigad: cannot record the binding in " + bindingRecordFile() + "\n");
    return {};
}

Outcome remove(const std::vector<std::string>& args, const std::string& input) {
    auto o = options(args, {"-r", "-remove", "-f", "-force"});
    // "-u -username x" reads as -u with the value "-username" and a stray x: take the user from
    // whichever form names one, and tolerate the rest.
    const bool force = std::find(args.begin(), args.end(), "-f") != args.end() ||
                       std::find(args.begin(), args.end(), "-force") != args.end();
    std::optional<Binding> binding = readBinding();
    if (!binding) return fail(kNotBound);
    if (!force) {
        if (!o) return fail(kUsage, 64);
        std::string user = o->count("-username") ? (*o)["-username"] : (o->count("-u") ? (*o)["-u"] : "");
        if (user.empty() || user[0] == '-') return fail("dsconfigad: removal needs -username or -f\n", 64);
        std::string password = o->count("-password") ? (*o)["-password"] : input.substr(0, input.find('\n'));
        Outcome left = runRealm({"leave", "--remove", "--user=" + user, binding->domain}, password + "\n");
        if (left.status != 0) return left;
    } else {
        // A forced removal only unconfigures this machine; the directory keeps the account.
        Outcome left = runRealm({"leave", binding->domain}, {});
        if (left.status != 0) return left;
    }
    if (::unlink(bindingRecordFile().c_str()) != 0 && errno != ENOENT) {
        return fail("dsconfigad: cannot remove " + bindingRecordFile() + "\n");
    }
    return {};
}

Outcome mobile(const std::vector<std::string>& args) {
    auto o = options(args, {});
    if (!o || !o->count("-mobile")) return fail(kUsage, 64);
    const std::string state = lower((*o)["-mobile"]);
    if (state != "enable" && state != "disable") return fail(kUsage, 64);
    // The confirmation dialog of the platform tool has no counterpart: sign-in asks nothing.
    if (o->count("-mobileconfirm")) {
        const std::string confirm = lower((*o)["-mobileconfirm"]);
        if (confirm != "enable" && confirm != "disable") return fail(kUsage, 64);
    }
    std::optional<Binding> binding = readBinding();
    if (!binding) return fail(kNotBound);
    // A mobile account signs in offline with the credentials SSSD keeps from its last sign-in.
    const std::string path = sssdConfigFile();
    const std::string section = sssdSection(binding->domain);
    std::optional<std::string> text = readText(path);
    if (!text || !initext::hasSection(*text, section)) {
        return fail("dsconfigad: mobile accounts need SSSD's settings for the domain ([" + section + "] in " +
                    path + ")\n");
    }
    const std::string value = state == "enable" ? "True" : "False";
    std::optional<std::string> updated = initext::withSetting(*text, section, "cache_credentials", value);
    if (updated) updated = initext::withSetting(*updated, section, "krb5_store_password_if_offline", value);
    if (!updated) return fail("dsconfigad: cannot change " + path + "\n");
    if (*updated != *text) {
        // SSSD refuses a configuration that others may read.
        if (!fileio::writeFileAtomically(path, *updated, 0600))
            return fail("dsconfigad: cannot write " + path + "\n");
        Outcome restarted = runTool("systemctl", {"restart", "sssd.service"}, {}, kServiceDeadline);
        if (restarted.status != 0) {
            return fail("dsconfigad: SSSD did not restart with the mobile account setting: " +
                        restarted.error);
        }
    }
    binding->mobile = state == "enable";
    if (!writeBinding(*binding)) return fail("dsconfigad: cannot write " + bindingRecordFile() + "\n");
    return {0, "Settings changed successfully\n", ""};
}

}  // namespace

std::string realmdConfigFile() {
    return paths::under("/etc/realmd.conf");
}

std::string sssdConfigFile() {
    return paths::under("/etc/sssd/sssd.conf");
}

std::string bindingRecordFile() {
    return paths::under("/var/lib/ravaviza/directory-binding.conf");
}

std::string bindingText(const Binding& binding) {
    return "# The directory binding made by the product's dsconfigad.\n"
           "ad_domain = " +
           binding.domain + "\nldap_sasl_authid = " + binding.computer +
           "$\ncache_credentials = " + (binding.mobile ? "True" : "False") + "\n";
}

std::optional<Binding> readBinding() {
    auto bytes = fileio::readFile(bindingRecordFile(), kMaxBindingBytes);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    Binding binding;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, eq));
        const std::string value = trimmed(line.substr(eq + 1));
        if (key == "ad_domain") binding.domain = value;
        if (key == "ldap_sasl_authid") binding.computer = value.substr(0, value.find('$'));
        if (key == "cache_credentials") binding.mobile = lower(value) == "true";
    }
    if (binding.domain.empty() || binding.computer.empty()) return std::nullopt;
    return binding;
}

Outcome run(const std::vector<std::string>& args, const std::string& input) {
    if (args.size() == 1 && args[0] == "-show") return show();
    if (!args.empty() && args[0] == "-a") return add(args, input);
    for (const std::string& a : args) {
        if (a == "-r" || a == "-remove") return remove(args, input);
    }
    if (!args.empty() && args[0] == "-mobile") return mobile(args);
    return fail(kUsage, 64);
}

}  // namespace dsconfigad
