#include "DomainOperations.h"

#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "CommandRun.h"
#include "StagedProfile.h"
#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"

namespace sorrel {

namespace {

constexpr size_t kMaxNoteBytes = 4u << 20;
constexpr size_t kMaxKerberosBytes = 1u << 20;

std::string textValue(const archive::Dictionary& info, const std::string& key) {
    auto it = info.find(key);
    if (it == info.end() || it->second.string() == nullptr) return {};
    return *it->second.string();
}

std::string localTime(const char* format) {
    time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    char text[64];
    size_t n = ::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A name the account tools take as an account and never as an option or a path.
bool isAccountName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-' || name[0] == '.') return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '.' || c == '_' || c == '-') || u >= 0x80) return false;
    }
    return true;
}

std::string ldapUri(const std::string& host) {
    return "ldap://" + host;
}

}  // namespace

DomainOperations::DomainOperations(LogSink log) : log_(std::move(log)) {}

void DomainOperations::log(const std::string& text, unsigned type) const {
    if (log_) log_(text, type);
}

DomainOperations::DomainState DomainOperations::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void DomainOperations::initiateDomainToolWithInfo(const archive::Dictionary& info) {
    DomainState next;
    next.domain = textValue(info, "name");
    next.adminAccount = textValue(info, "domain_admin_account");
    // The password reaches the tools on their standard input, so it is kept as given.
    next.adminPassword = textValue(info, "domain_admin_pwd");
    next.searchDomain = JoinDomainUtil::fetchSearchDomainWithDomain(next.domain, log_);
    next.DC = JoinDomainUtil::ldapBase(next.domain);
    {
        std::lock_guard lock(mutex_);
        state_ = next;
    }
    log("Initiate the Ducene success. Domain: " + next.domain + ", searchDomain: " + next.searchDomain,
        kLogInfo);
}

void DomainOperations::checkDomainAccount(const std::string& account, const std::string& password,
                                          const TextReply& completion) {
    const DomainState s = state();
    CommandRun run = runCommand(
        "ldapwhoami",
        {"-x", "-H", ldapUri(s.searchDomain), "-D", account + "@" + s.domain, "-y", "/dev/stdin"}, password);
    std::optional<std::string> reply;
    if (!run.error.empty()) {
        reply = "Check domain account failed with error: " + run.error;
        log(*reply, kLogError);
    } else {
        log("Check join domain account is valid.", kLogInfo);
    }
    if (completion) completion(reply);
}

std::string DomainOperations::computerNameCandidate(const std::string& account, const std::string& model,
                                                    int n) {
    // A computer name is a NetBIOS name of at most 15 characters. The account is cut first (to
    // 11 characters), and where "-", the model code and the number need more room, the account
    // gives way, so every candidate keeps its own number: ABCDEFGHIJK-MC9, ABCDEFGHIJ-MC10.
    const std::string suffix = "-" + upper(model) + std::to_string(n);
    size_t room = kMaxComputerNameLength > suffix.size() ? kMaxComputerNameLength - suffix.size() : 0;
    room = std::min<size_t>(room, account.size() >= 12 ? 11 : account.size());
    return upper(account.substr(0, room)) + suffix;
}

std::optional<std::string> DomainOperations::pickComputerName(const std::string& account) {
    const DomainState s = state();
    const std::string model = JoinDomainUtil::machineModel();
    for (int n = 0; n < kComputerNameCandidates; ++n) {
        const std::string candidate = computerNameCandidate(account, model, n);
        CommandRun run =
            runCommand("ldapsearch",
                       {"-LLL", "-x", "-H", ldapUri(s.searchDomain), "-D", s.adminAccount + "@" + s.domain,
                        "-y", "/dev/stdin", "-b", s.DC,
                        "(&(objectClass=user)(name=" + JoinDomainUtil::ldapFilterValue(candidate) + "))"},
                       s.adminPassword);
        std::string output;
        for (const std::string& line : splitLines(run.output)) {
            if (line.find("name") != std::string::npos) output += line + "\n";
        }
        CommandTexts texts;
        if (!output.empty()) texts.output = output;
        if (!run.error.empty()) texts.error = run.error;
        log("Fetch computer name result:" + helperscaffold::describe(texts.output) +
                ", error:" + helperscaffold::describe(texts.error),
            kLogInfo);
        if (texts.error) {
            // A failed search proves nothing about the name: only this notice of a search that
            // did run counts as a free name.
            if (texts.error->find("DIGEST-MD5 common mech free") != std::string::npos) return candidate;
            return std::nullopt;
        }
        if (!texts.output) return candidate;
    }
    return std::nullopt;
}

void DomainOperations::fetchComputerNameWithAccount(const std::string& account, const TextReply& completion) {
    std::optional<std::string> name = pickComputerName(account);
    if (completion) completion(name);
}

DomainOperations::KerberosChange DomainOperations::writeKerberosConfiguration(const std::string& text) {
    const std::string conf = paths::under("/etc/krb5.conf");
    const std::string kept = paths::under("/etc/krb5_tmp.conf");
    KerberosChange change;
    if (fileExists(conf)) {
        std::optional<std::vector<uint8_t>> bytes = fileio::readFile(conf, kMaxKerberosBytes);
        if (!bytes) {
            log("Move krb5.conf failed with error: cannot read " + conf, kLogError);
            return change;
        }
        change.previous = std::string(bytes->begin(), bytes->end());
        // The machine's own configuration is kept once, at the first join: a later join keeps
        // that copy rather than the configuration of an earlier join. The link keeps the file
        // itself (mode, owner) and krb5.conf never goes missing meanwhile.
        if (::link(conf.c_str(), kept.c_str()) == 0) {
            change.keptOriginal = true;
        } else if (errno != EEXIST) {
            log(std::string("Move krb5.conf failed with error: ") + std::strerror(errno), kLogError);
            return change;
        }
    }
    if (!fileio::writeFileAtomically(conf, text, 0644)) {
        log("Update krb5.conf failed with error: cannot write " + conf, kLogError);
        if (change.keptOriginal) ::unlink(kept.c_str());
        return {};
    }
    change.written = true;
    return change;
}

void DomainOperations::restoreKerberosConfiguration(const KerberosChange& change) {
    if (!change.written) return;
    const std::string conf = paths::under("/etc/krb5.conf");
    const std::string kept = paths::under("/etc/krb5_tmp.conf");
    bool restored = false;
    if (change.keptOriginal) {
        // The copy this join made goes back whole, so the next join keeps the original again.
        restored = ::rename(kept.c_str(), conf.c_str()) == 0;
    } else if (change.previous) {
        restored = fileio::writeFileAtomically(conf, *change.previous, 0644);
    } else {
        restored = ::unlink(conf.c_str()) == 0 || errno == ENOENT;
    }
    if (restored) {
        log("Restored krb5.conf after the failed join.", kLogInfo);
    } else {
        log(std::string("Restore krb5.conf failed with error: ") + std::strerror(errno), kLogError);
    }
}

void DomainOperations::joinWithComputerName(const std::string& name, const IntReply& completion) {
    const DomainState s = state();

    const std::string kdcLines = JoinDomainUtil::fetchKerberosServersWithDomain(s.domain, log_);
    KerberosChange kerberos;
    if (!kdcLines.empty())
        kerberos = writeKerberosConfiguration(JoinDomainUtil::krb5Configuration(s.domain, kdcLines));

    // Without -p the bind reads the password from its standard input.
    CommandRun run =
        runCommand("dsconfigad", {"-a", name, "-domain", s.domain, "-u", s.adminAccount, "-ou", s.DC},
                   s.adminPassword + "\n");
    int result = 0;
    if (!run.error.empty() || !run.started) {
        log("Join domain failed with error: " + run.error, kLogError);
        // A machine that is not bound keeps the Kerberos configuration it had.
        restoreKerberosConfiguration(kerberos);
        result = kJoinFailed;
    } else {
        log("Join domain finish, result: " + helperscaffold::describe(textsOf(run).output), kLogInfo);
    }
    if (completion) completion(result);
}

void DomainOperations::updateMachineWithComputerName(const std::string& name, const IntReply& completion) {
    struct Step {
        const char* key;
        const char* what;
    };
    for (const Step& step : {Step{"ComputerName", "computer name"}, Step{"HostName", "host name"},
                             Step{"LocalHostName", "local host name"}}) {
        helperscaffold::ScriptOutcome result =
            scriptOutcomeOf(runCommand("scutil", {"--set", step.key, name}));
        if (result.errorNumber != 0) {
            log(std::string("Ducene set ") + step.what + " failed with error : " + errorInfoText(result),
                kLogError);
        } else {
            log(std::string("Ducene set ") + step.what + " successfully.", kLogInfo);
        }
    }
    if (completion) completion(0);
}

void DomainOperations::fetchJoinedDomainNameWithCompletion(const TextReply& completion) {
    if (!completion) return;
    completion(JoinDomainUtil::joinedDomainName(log_));
}

void DomainOperations::quitDomainWithCompletion(const IntReply& completion) {
    // The account the helper runs under.
    std::string user = "root";
    passwd pw{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        user = pw.pw_name;
    helperscaffold::ScriptOutcome result =
        scriptOutcomeOf(runCommand("dsconfigad", {"-f", "-r", "-u", "-username", user, "-password", ""}));
    if (result.errorNumber != 0) {
        log("Ducene excute quit domain failed with error : " + errorInfoText(result), kLogError);
        if (completion) completion(result.errorNumber);
        return;
    }
    log("Ducene excute quit domain successfully.", kLogInfo);
    if (completion) completion(0);
}

std::string DomainOperations::joinNoteLine() {
    return localTime("%Y-%m-%d %H-%M-%S") + " Join domain success, then Zem need update machine name. \n";
}

void DomainOperations::sendJoinDomainSuccessNotification() {
    const std::string path = paths::machineSupportFolder() + "/joinDomainUpdate.txt";
    std::string text;
    if (fileExists(path)) {
        std::optional<std::vector<uint8_t>> bytes = fileio::readFile(path, kMaxNoteBytes);
        if (!bytes) {
            log("Update JoinDomain send notification recordings read files Failed", kLogError);
            return;
        }
        text.assign(bytes->begin(), bytes->end());
    }
    text += joinNoteLine();
    if (fileio::writeFileAtomically(path, text, 0644)) {
        log("Update JoinDomain send notification recordings write files success", kLogInfo);
    } else {
        log("Update JoinDomain send notification recordings write files failed. error: cannot write " + path,
            kLogError);
    }
}

void DomainOperations::createMobileAccountWithUid(const std::string& uid, const IntReply& completion) {
    log("Start create mobile account: " + uid + ".", kLogInfo);
    CommandRun enable = runCommand("dsconfigad", {"-mobile", "enable", "-mobileconfirm", "disable"});
    if (enable.output.empty()) {
        log("Set domain mobile account enable failed, error: " +
                helperscaffold::describe(textsOf(enable).error),
            kLogError);
        if (completion) completion(kMobileAccountFailed);
        return;
    }
    log("Set domain mobile account enable success.", kLogInfo);

    const std::string name = lower(uid);
    if (!isAccountName(name)) {
        log("create mobile account failed with error: not an account name: " + uid, kLogError);
        if (completion) completion(0);
        return;
    }
    CommandRun created = runCommand("createmobileaccount", {"-n", name});
    log("create mobile account result: " + helperscaffold::describe(textsOf(created).output), kLogInfo);
    if (created.output.find("was not found") != std::string::npos) {
        CommandRun again = runCommand("createmobileaccount", {"-n", name});
        CommandTexts texts = textsOf(again);
        log("mobile account -n  result: " + helperscaffold::describe(texts.output) +
                " error: " + helperscaffold::describe(texts.error),
            kLogInfo);
    } else {
        log("create mobile account failed with error: " + helperscaffold::describe(textsOf(created).error),
            kLogError);
    }
    CommandTexts admin =
        textsOf(runCommand("dscl", {".", "-merge", "/groups/admin", "GroupMembership", name, name}));
    log("mobile account Add admin rights result: " + helperscaffold::describe(admin.output) +
            " error: " + helperscaffold::describe(admin.error),
        kLogInfo);
    if (completion) completion(0);
}

std::optional<std::string> DomainOperations::privateProfileCopy(const std::vector<uint8_t>& bytes,
                                                                const std::string& name) const {
    std::string dir = "/tmp/sorrel-profile-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) return std::nullopt;
    const std::string copy = dir + "/" + name;
    if (!fileio::writeFileAtomically(copy, bytes, 0600)) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        return std::nullopt;
    }
    return copy;
}

bool DomainOperations::installProfile(Profile profile, const std::optional<std::string>& mPath) {
    const bool ethernet = profile == Profile::Ethernet;
    const std::string operation =
        ethernet ? "DomainTool::InstallEthernetMobileConfig" : "DomainTool::InstallWiFiMobileConfig";
    log(operation + " Start", kLogDebug);
    const std::string name = ethernet ? "ConnectEthernet.mobileconfig" : "ConnectWiFi.mobileconfig";
    bool success = false;
    if (mPath) {
        // Only the copy the app has just staged in root's own folder is installed, never a file
        // from a user's folder; the tool gets a private copy of it.
        std::string why;
        std::optional<std::vector<uint8_t>> staged = takeStagedProfile(*mPath, name, &why);
        std::optional<std::string> copy = staged ? privateProfileCopy(*staged, name) : std::nullopt;
        if (copy) {
            CommandRun run = runCommand("profiles", {"-I", "-F", *copy}, {}, kShortCommandDeadline);
            std::error_code ec;
            std::filesystem::remove_all(std::filesystem::path(*copy).parent_path(), ec);
            if (!run.output.empty()) log(operation + " Result123:" + run.output, kLogDebug);
            // Error text or a failed exit is a failed install, even with nothing on the output.
            success = run.started && run.status == 0 && run.output.empty() && run.error.empty();
        } else {
            log(operation + " " + (why.empty() ? "cannot copy " + *mPath : why), kLogDebug);
        }
    }
    log(operation + " " + (success ? "Success" : "Fail"), kLogDebug);
    return success;
}

void DomainOperations::ConnectEthernetWithUsername(const std::string&, const std::string&,
                                                   const std::optional<std::string>& mPath,
                                                   const BoolReply&) {
    installProfile(Profile::Ethernet, mPath);
}

void DomainOperations::ConnectWiFiWithSSID(const std::string&, const std::string&, const std::string&,
                                           const std::optional<std::string>& mPath,
                                           const BoolReply& completion) {
    if (!installProfile(Profile::WiFi, mPath) && completion) completion(false);
}

}  // namespace sorrel
