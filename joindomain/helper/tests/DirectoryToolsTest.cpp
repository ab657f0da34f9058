// The helper's operations running the real directory and host-name stand-ins (realmd's client
// recorded) in a temporary root.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "ToolFakes.h"
#include "joindomain/helper/DomainOperations.h"
#include "platform/paths/Paths.h"
#include "platform/sysinfo/Machine.h"
#include "platform/tools/dscl/GroupMembership.h"
#include "platform/tools/dsconfigad/DirectoryBinding.h"
#include "platform/tools/networksetup/NetworkSetup.h"
#include "platform/tools/scutil/HostNames.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

using sorrel::DomainOperations;
using testsupport::readText;

constexpr const char* kGroup = "root:x:0:\nshadow:x:42:\nsudo:x:27:admin1\nnogroup:x:65534:\n";
constexpr const char* kGshadow = "root:*::\nshadow:*::\nsudo:*::admin1\n";

// What realmd writes for an AD domain joined with short names.
std::string sssdConf(const char* cacheCredentials) {
    return std::string(
               "[sssd]\ndomains = corp.example.com\nconfig_file_version = 2\nservices = nss, pam\n\n"
               "[domain/corp.example.com]\ndefault_shell = /bin/bash\n"
               "krb5_store_password_if_offline = ") +
           cacheCredentials + "\ncache_credentials = " + cacheCredentials +
           "\nkrb5_realm = CORP.EXAMPLE.COM\nid_provider = ad\nfallback_homedir = /home/%u\n"
           "ad_domain = corp.example.com\nuse_fully_qualified_names = False\naccess_provider = ad\n";
}

class DirectoryToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes_.emplace(root_.path());
        for (const char* tool : {"ldapwhoami", "dig", "gpasswd", "systemctl", "pam-auth-update"})
            fakes_->recorder(tool);
        // A join keeps the realmd settings it ran with and writes SSSD's configuration as realmd does.
        fakes_->script("realm", "if [ \"$1\" = join ] && [ ! -f '" + root_.path() +
                                    "/answers/realm.status' ]; then\n"
                                    "  cp '" +
                                    root_.at("/etc/realmd.conf") + "' '" + root_.path() +
                                    "/realmd-at-join'\n"
                                    "  mkdir -p '" +
                                    root_.at("/etc/sssd") +
                                    "'\n"
                                    "  cp '" +
                                    root_.path() + "/answers/sssd.conf' '" + root_.at("/etc/sssd/sssd.conf") +
                                    "'\n"
                                    "fi\n");
        testsupport::writeFile(root_.path() + "/answers/sssd.conf", sssdConf("True"));
        // SSSD serves the users listed in answers/sss-users.
        fakes_->script("getent",
                       "if [ \"$1 $2 $3\" = '-s sss passwd' ] && grep -qxF \"$4\" '" + root_.path() +
                           "/answers/sss-users' 2>/dev/null; then\n"
                           "  printf '%s:*:1500:1500::/home/%s:/bin/bash\\n' \"$4\" \"$4\"; exit 0\n"
                           "fi\nexit 2\n");
        std::filesystem::create_symlink(DSCONFIGAD_TOOL, paths::toolFolder() + "/dsconfigad");
        std::filesystem::create_symlink(SCUTIL_TOOL, paths::toolFolder() + "/scutil");
        std::filesystem::create_symlink(CREATEMOBILEACCOUNT_TOOL,
                                        paths::toolFolder() + "/createmobileaccount");
        std::filesystem::create_symlink(DSCL_TOOL, paths::toolFolder() + "/dscl");
        testsupport::writeFile(root_.at("/etc/group"), kGroup);
        testsupport::writeFile(root_.at("/etc/gshadow"), kGshadow, 0640);
        ops_.initiateDomainToolWithInfo({{"name", std::string("corp.example.com")},
                                         {"domain_admin_account", std::string("joiner")},
                                         {"domain_admin_pwd", std::string("adm\"in $x")}});
        fakes_->clearCalls();
    }

    std::optional<std::string> joinedDomain() {
        std::optional<std::string> name;
        ops_.fetchJoinedDomainNameWithCompletion([&](std::optional<std::string> n) { name = n; });
        return name;
    }

    testsupport::TempRoot root_{"jd-tools"};
    std::optional<jdtest::ToolFakes> fakes_;
    jdtest::LogLines logs_;
    DomainOperations ops_{[this](const std::string& text, unsigned type) { logs_(text, type); }};
};

TEST_F(DirectoryToolsTest, BindShowMobileAccountsAndLeave) {
    EXPECT_EQ(joinedDomain(), std::nullopt);

    std::optional<int> reply;
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    // realmd is set up for short names and home folders before it joins; the domain's own base is
    // no OU, so the directory's default container takes the computer.
    EXPECT_EQ(fakes_->calls(),
              (std::vector<std::string>{"dig [-t] [SRV] [_kerberos._tcp.CORP.EXAMPLE.COM] [+short]",
                                        "systemctl [try-restart] [realmd.service]",
                                        "pam-auth-update [--enable] [mkhomedir]",
                                        "realm [join] [--user=joiner] [--computer-name=ABC-MC0] "
                                        "[--membership-software=adcli] [--client-software=sssd] "
                                        "[corp.example.com]",
                                        "stdin realm: adm\"in $x"}));
    EXPECT_EQ(readText(root_.path() + "/realmd-at-join"),
              "[users]\ndefault-home = /home/%U\n\n[corp.example.com]\nfully-qualified-names = no\n");
    EXPECT_EQ(joinedDomain(), "corp.example.com");
    const std::string binding = readText(dsconfigad::bindingRecordFile());
    EXPECT_NE(binding.find("ldap_sasl_authid = ABC-MC0$\n"), std::string::npos) << binding;
    EXPECT_NE(binding.find("cache_credentials = True\n"), std::string::npos) << "as realmd set up SSSD";
    // Users' processes (the UI app, the domain-join app) read the binding from the record.
    EXPECT_EQ(
        std::filesystem::status(dsconfigad::bindingRecordFile()).permissions() & std::filesystem::perms::all,
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
            std::filesystem::perms::group_read | std::filesystem::perms::others_read);

    fakes_->clearCalls();
    ops_.createMobileAccountWithUid("Li.Wei", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_TRUE(logs_.has("Set domain mobile account enable success.", sorrel::kLogInfo));
    EXPECT_TRUE(fakes_->callsOf("systemctl").empty()) << "SSSD caches credentials already";
    // An account the system cannot resolve is asked for twice and joins no group.
    EXPECT_TRUE(
        logs_.has("mobile account -n  result: createmobileaccount: user li.wei was not found\n error: (null)",
                  sorrel::kLogInfo));
    EXPECT_TRUE(
        logs_.has("mobile account Add admin rights result: (null) error: dscl: li.wei is not a directory "
                  "account served "
                  "by SSSD\n",
                  sorrel::kLogInfo));
    EXPECT_TRUE(fakes_->callsOf("gpasswd").empty());
    EXPECT_EQ(dsconfigad::readBinding()->mobile, true);
    EXPECT_NE(dsconfigad::run({"-show"}, "").output.find("Computer Account                 = abc-mc0$\n"),
              std::string::npos);

    ops_.quitDomainWithCompletion([&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(fakes_->callsOf("realm").back(), "realm [leave] [corp.example.com]")
        << "a forced leave stays local";
    EXPECT_EQ(joinedDomain(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(dsconfigad::bindingRecordFile()));

    // Not bound any more: leaving again fails with the tool's status, as does the mobile setting.
    ops_.quitDomainWithCompletion([&](int r) { reply = r; });
    EXPECT_EQ(reply, 1);
    ops_.createMobileAccountWithUid("Li.Wei", [&](int r) { reply = r; });
    EXPECT_EQ(reply, sorrel::kMobileAccountFailed);
}

TEST_F(DirectoryToolsTest, MobileAccountGetsAHomeAndAdministratorRights) {
    ops_.joinWithComputerName("ABC-MC0", nullptr);
    // "nobody" stands for a directory user the system resolves through SSSD.
    testsupport::writeFile(root_.path() + "/answers/sss-users", "nobody\n");
    testsupport::writeFile(root_.at("/etc/skel/.profile"), "# profile\n", 0644);
    testsupport::writeFile(root_.at("/etc/skel/.config/app/settings"), "x=1\n", 0600);
    std::filesystem::create_symlink(".profile", root_.at("/etc/skel/.bash_profile"));
    std::optional<int> reply;
    ops_.createMobileAccountWithUid("Nobody", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    const std::string home = paths::homeFolder("nobody").value();
    struct stat st {};
    ASSERT_EQ(::stat(home.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // The skeleton files pam_mkhomedir would have copied, the user's.
    EXPECT_EQ(readText(home + "/.profile"), "# profile\n");
    EXPECT_EQ(readText(home + "/.config/app/settings"), "x=1\n");
    EXPECT_EQ(std::filesystem::read_symlink(home + "/.bash_profile"), ".profile");
    for (const char* name :
         {"/.profile", "/.config", "/.config/app", "/.config/app/settings", "/.bash_profile"}) {
        ASSERT_EQ(::lstat((home + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, 65534u) << name;
    }
    ASSERT_EQ(::stat((home + "/.config/app/settings").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The system's tool changes the group files under their locks; the helper's uid given twice is
    // one member.
    EXPECT_EQ(fakes_->callsOf("getent"), std::vector<std::string>{"getent [-s] [sss] [passwd] [nobody]"});
    EXPECT_EQ(fakes_->callsOf("gpasswd"), std::vector<std::string>{"gpasswd [-a] [nobody] [sudo]"});
    EXPECT_EQ(readText(root_.at("/etc/group")), kGroup);
    EXPECT_EQ(readText(root_.at("/etc/gshadow")), kGshadow);
    EXPECT_TRUE(logs_.has("mobile account Add admin rights result: (null) error: (null)", sorrel::kLogInfo));
}

// Administrator rights go only to directory accounts, through gpasswd, into the first
// administrators' group the system has.
TEST_F(DirectoryToolsTest, AdministratorRightsOnlyForDirectoryAccounts) {
    testsupport::writeFile(root_.path() + "/answers/sss-users", "li.wei\nnobody\n");
    struct Case {
        const char* name;
        std::vector<std::string> users;
        std::string group;
        int status;
        std::string error;
        std::vector<std::string> gpasswd;
    } cases[] = {
        {"directory users",
         {"li.wei", "nobody", "li.wei"},
         kGroup,
         0,
         "",
         {"gpasswd [-a] [li.wei] [sudo]", "gpasswd [-a] [nobody] [sudo]"}},
        {"a local account",
         {"root"},
         kGroup,
         1,
         "dscl: root is not a directory account served by SSSD\n",
         {}},
        {"one local among directory users",
         {"nobody", "root"},
         kGroup,
         1,
         "dscl: root is not a directory account served by SSSD\n",
         {}},
        {"wheel where there is no sudo",
         {"nobody"},
         "root:x:0:\nwheel:x:10:\nadmin:x:120:\n",
         0,
         "",
         {"gpasswd [-a] [nobody] [wheel]"}},
        {"no administrators' group",
         {"nobody"},
         "root:x:0:\nsudoers:x:5:\n",
         1,
         "dscl: no administrators' group in " + root_.at("/etc/group") + "\n",
         {}},
        {"an option for a name", {"-r"}, kGroup, 64, "dscl: invalid user name\n", {}},
    };
    for (const Case& c : cases) {
        fakes_->clearCalls();
        testsupport::writeFile(root_.at("/etc/group"), c.group);
        std::vector<std::string> args = {".", "-merge", "/groups/admin", "GroupMembership"};
        args.insert(args.end(), c.users.begin(), c.users.end());
        dscl::Outcome outcome = dscl::run(args);
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.error, c.error) << c.name;
        EXPECT_EQ(fakes_->callsOf("gpasswd"), c.gpasswd) << c.name;
        EXPECT_EQ(readText(root_.at("/etc/group")), c.group) << c.name;
    }

    // gpasswd's refusal is the tool's.
    testsupport::writeFile(root_.at("/etc/group"), kGroup);
    fakes_->answer("gpasswd", "err", "gpasswd: cannot lock /etc/group; try again later.\n");
    fakes_->answer("gpasswd", "status", "1");
    dscl::Outcome outcome = dscl::run({".", "-merge", "/groups/admin", "GroupMembership", "nobody"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.error, "gpasswd: cannot lock /etc/group; try again later.\n");
}

// An administrator's realmd settings stay; only the two a join needs change, and realmd restarts
// only when they did.
TEST_F(DirectoryToolsTest, JoinSetsUpRealmdKeepingTheAdministratorsSettings) {
    testsupport::writeFile(root_.at("/etc/realmd.conf"),
                           "# site settings\n[service]\nautomatic-install = no\n\n[users]\n"
                           "default-home = /home/%U@%D\ndefault-shell = /bin/zsh\n\n[other.example.org]\n"
                           "computer-ou = OU=Linux,DC=other,DC=example,DC=org\n");
    std::optional<int> reply;
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    const std::string expected =
        "# site settings\n[service]\nautomatic-install = no\n\n[users]\ndefault-home = /home/%U\n"
        "default-shell = /bin/zsh\n\n[other.example.org]\ncomputer-ou = OU=Linux,DC=other,DC=example,DC=org\n"
        "\n[corp.example.com]\nfully-qualified-names = no\n";
    EXPECT_EQ(readText(root_.path() + "/realmd-at-join"), expected);
    EXPECT_EQ(fakes_->callsOf("systemctl"),
              std::vector<std::string>{"systemctl [try-restart] [realmd.service]"});

    ops_.quitDomainWithCompletion(nullptr);
    fakes_->clearCalls();
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(readText(root_.at("/etc/realmd.conf")), expected);
    EXPECT_TRUE(fakes_->callsOf("systemctl").empty());
}

// Nothing is joined when the machine cannot be set up for the domain's users.
TEST_F(DirectoryToolsTest, JoinStopsWhenTheSetUpFails) {
    struct Case {
        const char* tool;
        const char* error;
        std::string reported;
    } cases[] = {
        {"pam-auth-update", "pam-auth-update: command not found\n",
         "dsconfigad: cannot make home folders at first sign-in (pam-auth-update --enable mkhomedir): "
         "pam-auth-update: command not found\n"},
        {"systemctl", "Failed to try-restart realmd.service: Access denied\n",
         "dsconfigad: realmd did not restart to read " + root_.at("/etc/realmd.conf") +
             ": Failed to try-restart realmd.service: Access denied\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(root_.at("/etc/realmd.conf"));
        fakes_->clearCalls();
        fakes_->answer(c.tool, "err", c.error);
        fakes_->answer(c.tool, "status", "1");
        std::optional<int> reply;
        ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
        EXPECT_EQ(reply, sorrel::kJoinFailed) << c.tool;
        EXPECT_TRUE(logs_.has("Join domain failed with error: " + c.reported, sorrel::kLogError)) << c.tool;
        EXPECT_TRUE(fakes_->callsOf("realm").empty()) << c.tool;
        EXPECT_FALSE(std::filesystem::exists(dsconfigad::bindingRecordFile()));
        std::filesystem::remove(root_.path() + "/answers/" + c.tool + ".err");
        std::filesystem::remove(root_.path() + "/answers/" + c.tool + ".status");
    }
}

TEST_F(DirectoryToolsTest, ComputerOuOnlyWhenItNamesAContainer) {
    struct Case {
        const char* ou;
        bool passed;
    } cases[] = {
        {"DC=corp,DC=example,DC=com", false},
        {"dc=corp, dc=example", false},
        {"", false},
        {"OU=Laptops,DC=corp,DC=example,DC=com", true},
        {"CN=Computers,DC=corp,DC=example,DC=com", true},
    };
    for (const Case& c : cases) {
        fakes_->clearCalls();
        dsconfigad::Outcome outcome = dsconfigad::run(
            {"-a", "ABC-MC0", "-domain", "corp.example.com", "-u", "joiner", "-ou", c.ou}, "pw\n");
        EXPECT_EQ(outcome.status, 0) << c.ou << outcome.error;
        const auto joins = fakes_->callsOf("realm");
        ASSERT_EQ(joins.size(), 1u) << c.ou;
        EXPECT_EQ(joins[0].find("[--computer-ou=" + std::string(c.ou) + "]") != std::string::npos, c.passed)
            << joins[0];
        EXPECT_EQ(joins[0].find("--computer-ou") != std::string::npos, c.passed) << joins[0];
    }
}

// A mobile account is SSSD's cached credentials: the setting changes SSSD, or is refused.
TEST_F(DirectoryToolsTest, MobileAccountsAreSssdCachedCredentials) {
    testsupport::writeFile(root_.path() + "/answers/sssd.conf", sssdConf("False"));
    ops_.joinWithComputerName("ABC-MC0", nullptr);
    EXPECT_FALSE(dsconfigad::readBinding()->mobile);
    const std::string sssd = root_.at("/etc/sssd/sssd.conf");

    struct Case {
        const char* state;
        std::string conf;
        bool restarts;
    } cases[] = {
        {"enable", sssdConf("True"), true},
        {"enable", sssdConf("True"), false},
        {"disable", sssdConf("False"), true},
    };
    for (const Case& c : cases) {
        fakes_->clearCalls();
        dsconfigad::Outcome outcome = dsconfigad::run({"-mobile", c.state, "-mobileconfirm", "disable"}, "");
        EXPECT_EQ(outcome.status, 0) << c.state << outcome.error;
        EXPECT_EQ(outcome.output, "Settings changed successfully\n");
        EXPECT_EQ(readText(sssd), c.conf) << c.state;
        EXPECT_EQ(std::filesystem::status(sssd).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_EQ(fakes_->callsOf("systemctl"),
                  c.restarts ? std::vector<std::string>{"systemctl [restart] [sssd.service]"}
                             : std::vector<std::string>{})
            << c.state;
        EXPECT_EQ(dsconfigad::readBinding()->mobile, std::string(c.state) == "enable");
    }

    // SSSD does not take the setting: refused, nothing on the output, so the helper answers -10002.
    fakes_->answer("systemctl", "err", "Job for sssd.service failed.\n");
    fakes_->answer("systemctl", "status", "1");
    std::optional<int> reply;
    ops_.createMobileAccountWithUid("nobody", [&](int r) { reply = r; });
    EXPECT_EQ(reply, sorrel::kMobileAccountFailed);
    EXPECT_TRUE(
        logs_.has("Set domain mobile account enable failed, error: dsconfigad: SSSD did not restart "
                  "with the mobile account setting: Job for sssd.service failed.\n",
                  sorrel::kLogError));
    EXPECT_FALSE(dsconfigad::readBinding()->mobile);

    // Without SSSD's settings for the domain there is nothing to enable.
    std::filesystem::remove(sssd);
    dsconfigad::Outcome outcome = dsconfigad::run({"-mobile", "enable"}, "");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.error,
              "dsconfigad: mobile accounts need SSSD's settings for the domain "
              "([domain/corp.example.com] in " +
                  sssd + ")\n");
}

TEST_F(DirectoryToolsTest, RefusedBindLeavesNoBinding) {
    fakes_->answer("realm", "err",
                   "realm: Couldn't join realm: Insufficient permissions to join the domain\n");
    fakes_->answer("realm", "status", "1");
    std::optional<int> reply;
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, sorrel::kJoinFailed);
    EXPECT_TRUE(
        logs_.has("Join domain failed with error: realm: Couldn't join realm: Insufficient permissions to "
                  "join the domain\n",
                  sorrel::kLogError));
    EXPECT_FALSE(std::filesystem::exists(dsconfigad::bindingRecordFile()));
}

TEST_F(DirectoryToolsTest, BindRefusesNamesThatAreNotNames) {
    struct Case {
        std::vector<std::string> args;
    } cases[] = {
        {{"-a", "ABC MC0", "-domain", "corp.example.com", "-u", "joiner"}},
        {{"-a", "ABC-MC0", "-domain", "corp.example.com\n[sssd]", "-u", "joiner"}},
        {{"-a", "ABC-MC0", "-domain", "corp.example.com", "-u", "--verbose"}},
        {{"-a", "ABC-MC0", "-domain", "corp.example.com"}},
    };
    for (const Case& c : cases) {
        dsconfigad::Outcome outcome = dsconfigad::run(c.args, "pw\n");
        EXPECT_NE(outcome.status, 0);
        EXPECT_FALSE(outcome.error.empty());
    }
    EXPECT_TRUE(fakes_->callsOf("realm").empty());

    // realmd keeps the user and the OU in the machine's configuration: one line of text each.
    struct Hostile {
        std::string option;
        std::string value;
        const char* error;
    } hostile[] = {
        {"-u", "joiner\n[sssd]", "dsconfigad: invalid user name\n"},
        {"-u", "joiner\x7f", "dsconfigad: invalid user name\n"},
        {"-ou", "OU=a\rb", "dsconfigad: invalid OU\n"},
        {"-ou", "OU=a\xc2\x85", "dsconfigad: invalid OU\n"},
    };
    for (const Hostile& h : hostile) {
        std::vector<std::string> args = {"-a", "ABC-MC0", "-domain", "corp.example.com", "-u", "joiner"};
        if (h.option == "-u") args.back() = h.value;
        if (h.option == "-ou") args.insert(args.end(), {"-ou", h.value});
        dsconfigad::Outcome outcome = dsconfigad::run(args, "pw\n");
        EXPECT_EQ(outcome.status, 64) << h.value;
        EXPECT_EQ(outcome.error, h.error) << h.value;
    }
}

TEST_F(DirectoryToolsTest, MachineNamesGoToTheHostNameFiles) {
    testsupport::writeFile(root_.at("/etc/machine-info"), "CHASSIS=laptop\nPRETTY_HOSTNAME=\"old\"\n");
    const std::string hosts = "127.0.0.1\tlocalhost\n127.0.1.1\told\n\n::1 localhost ip6-localhost\n";
    testsupport::writeFile(root_.at("/etc/hosts"), hosts, 0644);
    std::optional<int> reply;
    ops_.updateMachineWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(readText(root_.at("/etc/hostname")), "ABC-MC0\n");
    EXPECT_EQ(readText(root_.at("/etc/hosts")),
              "127.0.0.1\tlocalhost\n127.0.1.1\tABC-MC0\n\n::1 localhost ip6-localhost\n");
    EXPECT_EQ(std::filesystem::status(root_.at("/etc/hosts")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    EXPECT_EQ(readText(root_.at("/etc/machine-info")), "CHASSIS=laptop\nPRETTY_HOSTNAME=\"ABC-MC0\"\n");
    EXPECT_EQ(sysinfo::hostName(), "ABC-MC0");
    EXPECT_EQ(scutil::run({"--get", "LocalHostName"}).output, "ABC-MC0\n");
    EXPECT_TRUE(logs_.has("Ducene set local host name successfully.", sorrel::kLogInfo));

    // A name the host-name files cannot hold is refused; the computer name takes any one line.
    ops_.updateMachineWithComputerName("Li's \"Mac\" $1", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_TRUE(logs_.hasPrefix("Ducene set host name failed with error : ", sorrel::kLogError));
    EXPECT_EQ(readText(root_.at("/etc/hostname")), "ABC-MC0\n");
    EXPECT_EQ(readText(root_.at("/etc/hosts")),
              "127.0.0.1\tlocalhost\n127.0.1.1\tABC-MC0\n\n::1 localhost ip6-localhost\n");
    EXPECT_EQ(sysinfo::hostName(), "Li's \"Mac\" $1");
    EXPECT_EQ(scutil::run({"--set", "ComputerName", "two\nlines"}).status, 1);
}

// sudo resolves the host name: the 127.0.1.1 line follows it, every other line stays.
TEST(HostsFile, HostNameLineFollowsTheName) {
    struct Case {
        const char* name;
        std::string hosts;
        std::string host;
        std::string expected;
    } cases[] = {
        {"replaced", "127.0.0.1 localhost\n127.0.1.1\told.corp.example.com old # set up\n::1 ip6-localhost\n",
         "ABC-MC0", "127.0.0.1 localhost\n127.0.1.1\tABC-MC0\n::1 ip6-localhost\n"},
        {"added after loopback", "# static\n127.0.0.1 localhost\n10.0.0.5 files\n", "ABC-MC0",
         "# static\n127.0.0.1 localhost\n127.0.1.1\tABC-MC0\n10.0.0.5 files\n"},
        {"a comment is not the line", "#127.0.1.1 old\n", "ABC-MC0", "#127.0.1.1 old\n127.0.1.1\tABC-MC0\n"},
        {"only the first is replaced", "127.0.1.1 a\n127.0.1.1 b\n", "ABC-MC0",
         "127.0.1.1\tABC-MC0\n127.0.1.1 b\n"},
        {"no final line break", "127.0.0.1 localhost", "ABC-MC0",
         "127.0.0.1 localhost\n127.0.1.1\tABC-MC0\n"},
        {"empty", "", "ABC-MC0", "127.0.1.1\tABC-MC0\n"},
        {"a full name with its label", "127.0.1.1 old\n", "abc.corp.example.com",
         "127.0.1.1\tabc.corp.example.com abc\n"},
        {"an address that only begins alike", "127.0.1.10 other\n", "ABC-MC0",
         "127.0.1.10 other\n127.0.1.1\tABC-MC0\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(scutil::withHostName(c.hosts, c.host), c.expected) << c.name;
}

TEST_F(DirectoryToolsTest, ComputerNameThatIsNotOneLineOfTextIsRefused) {
    const std::string before = "CHASSIS=laptop\nPRETTY_HOSTNAME=\"old\"\n";
    testsupport::writeFile(root_.at("/etc/machine-info"), before);
    for (const char* name :
         {"two\nlines", "a\rb", "a\x7f", "a\tb", "Caf\xe9", "NEL\xc2\x85", "LS\xe2\x80\xa8"}) {
        scutil::Outcome outcome = scutil::run({"--set", "ComputerName", name});
        EXPECT_EQ(outcome.status, 1) << name;
        EXPECT_EQ(outcome.error, "scutil: invalid computer name\n");
    }
    EXPECT_EQ(readText(root_.at("/etc/machine-info")), before);
    ASSERT_EQ(scutil::run({"--set", "ComputerName", "Café de Li"}).status, 0);
    EXPECT_EQ(scutil::run({"--get", "ComputerName"}).output, "Café de Li\n");
}

TEST_F(DirectoryToolsTest, JoinedWiFiNetworkComesFromNetworkManager) {
    // A NetworkManager client that records its arguments and lists two networks, one joined.
    testsupport::writeFile(root_.at("/usr/bin/nmcli"),
                           "#!/bin/sh\necho \"$*\" >> '" + root_.path() +
                               "/nmcli.calls'\n"
                               "[ -f '" +
                               root_.path() + "/wifi' ] && cat '" + root_.path() + "/wifi'\nexit 0\n",
                           0755);
    testsupport::writeFile(root_.path() + "/wifi", "no:Guest\nyes:Office\\:5G\n");
    networksetup::Outcome joined = networksetup::run({"-getairportnetwork", "en0"});
    EXPECT_EQ(joined.status, 0);
    EXPECT_EQ(joined.output, "Current Wi-Fi Network: Office:5G\n");
    EXPECT_EQ(readText(root_.path() + "/nmcli.calls"), "-t -f ACTIVE,SSID device wifi list --rescan no\n");

    testsupport::writeFile(root_.path() + "/wifi", "no:Guest\n");
    EXPECT_EQ(networksetup::run({"-getairportnetwork", "en0"}).output,
              "You are not associated with an AirPort network.\n");
}

}  // namespace
