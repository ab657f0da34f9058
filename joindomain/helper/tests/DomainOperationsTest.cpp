#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ToolFakes.h"
#include "joindomain/helper/DomainOperations.h"
#include "joindomain/helper/JoinDomainUtil.h"
#include "joindomain/helper/StagedProfile.h"
#include "platform/archive/Plist.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

using sorrel::DomainOperations;
using sorrel::JoinDomainUtil;
using testsupport::readText;

constexpr const char* kDigAnswer =
    "; <<>> DiG 9.18 <<>> -t SRV _kerberos._tcp.corp.example.com\n"
    ";; QUESTION SECTION:\n"
    ";_kerberos._tcp.corp.example.com. IN SRV\n"
    "\n"
    ";; ANSWER SECTION:\n"
    "_kerberos._tcp.corp.example.com. 600 IN SRV 0 100 88 dc1.corp.example.com.\n"
    "_kerberos._tcp.corp.example.com. 600 IN SRV 0 100 88 dc2.corp.example.com.\n";
constexpr const char* kDigShort = "0 100 88 dc1.corp.example.com.\n0 100 88 dc2.corp.example.com.\n";

TEST(JoinDomainTexts, ComputerNameCandidates) {
    struct Case {
        const char* account;
        const char* model;
        int n;
        const char* expected;
    } cases[] = {
        {"abc", "MB", 0, "ABC-MB0"},
        {"mnopqrstuvwx", "MC", 5, "MNOPQRSTUVW-MC5"},  // 12 characters are cut to 11
        {"abcdefghijk", "MN", 9, "ABCDEFGHIJK-MN9"},   // 11 stay whole
        {"Li.Wei", "mb", 1, "LI.WEI-MB1"},
        // Two-digit numbers take a character from the account: 15 characters at most.
        {"abcdefghijk", "MC", 10, "ABCDEFGHIJ-MC10"},
        {"mnopqrstuvwx", "MN", 98, "MNOPQRSTUV-MN98"},
        {"abcdefghij", "MC", 10, "ABCDEFGHIJ-MC10"},
        {"abc", "MB", 98, "ABC-MB98"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DomainOperations::computerNameCandidate(c.account, c.model, c.n), c.expected) << c.account;
    }
    for (int n = 0; n < DomainOperations::kComputerNameCandidates; ++n) {
        EXPECT_LE(DomainOperations::computerNameCandidate("abcdefghijklmnop", "MC", n).size(), 15u) << n;
    }
}

TEST(JoinDomainTexts, MachineModelCodes) {
    EXPECT_EQ(JoinDomainUtil::machineModelFor(std::string("MacBookPro16,1")), "MB");
    EXPECT_EQ(JoinDomainUtil::machineModelFor(std::string("Macmini9,1")), "MN");
    EXPECT_EQ(JoinDomainUtil::machineModelFor(std::string("iMac21,1")), "MC");
    EXPECT_EQ(JoinDomainUtil::machineModelFor(std::string("ThinkPad X1")), "MC");
    EXPECT_EQ(JoinDomainUtil::machineModelFor(std::nullopt), "MC");
}

TEST(JoinDomainTexts, LdapBaseAndFilterValues) {
    EXPECT_EQ(JoinDomainUtil::ldapBase("a.b.c"), "DC=a,DC=b,DC=c");
    EXPECT_EQ(JoinDomainUtil::ldapBase("corp.example.com"), "DC=corp,DC=example,DC=com");
    EXPECT_EQ(JoinDomainUtil::ldapFilterValue("A*)(X\\"), "A\\2a\\29\\28X\\5c");
    EXPECT_TRUE(JoinDomainUtil::isDomainName("corp.example.com"));
    for (const char* bad : {"", "a..b", "a.b\n[realms]", "a b", "-x;y", ".a"}) {
        EXPECT_FALSE(JoinDomainUtil::isDomainName(bad)) << bad;
    }
}

TEST(JoinDomainTexts, KerberosConfiguration) {
    const std::string kdc = JoinDomainUtil::kdcLinesFrom(
        "dc1.corp.example.com.\ndc2.corp.example.com.\nelsewhere.example.net.\n", "corp.example.com");
    EXPECT_EQ(kdc, "  kdc = DC1.CORP.EXAMPLE.COM:88\n  kdc = DC2.CORP.EXAMPLE.COM:88");
    EXPECT_EQ(JoinDomainUtil::krb5Configuration("corp.example.com", kdc),
              "[libdefaults]\n"
              "default_realm = CORP.EXAMPLE.COM\n"
              "dns_lookup_realm = false\n"
              "dns_lookup_kdc = false\n"
              "forwardable = false\n"
              "\n"
              "[realms]\n"
              "CORP.EXAMPLE.COM = {\n"
              "  kdc = DC1.CORP.EXAMPLE.COM:88\n"
              "  kdc = DC2.CORP.EXAMPLE.COM:88\n"
              "}\n"
              "\n"
              "[domain_realm]\n"
              ".corp.example.com = CORP.EXAMPLE.COM\n"
              "corp.example.com = CORP.EXAMPLE.COM");
}

// What a DNS server answers is written into krb5.conf only as the kdc of a host within the domain.
TEST(JoinDomainTexts, KerberosServersFromDnsAreOnlyHostNamesOfTheDomain) {
    struct Case {
        const char* name;
        std::string hosts;
        std::string domain;
        std::string lines;
    } cases[] = {
        {"a brace that would close the realm", "x}.corp.example.com.\ndc1.corp.example.com.\n",
         "corp.example.com", "  kdc = DC1.CORP.EXAMPLE.COM:88"},
        {"a carriage return", "dc1\r.corp.example.com.\ndc2.corp.example.com.\r\n", "corp.example.com", ""},
        {"DEL", "dc\x7f.corp.example.com.\n", "corp.example.com", ""},
        {"blanks and another key", "kdc = evil.corp.example.com.\n", "corp.example.com", ""},
        {"a line break in the domain", "dc1.corp.example.com.\n", "corp.example.com\n[libdefaults]", ""},
        {"an empty label", "dc1..corp.example.com.\n", "corp.example.com", ""},
        {"a name of another domain that ends alike", "evilcorp.example.com.\ndc1.corp.example.com.\n",
         "corp.example.com", "  kdc = DC1.CORP.EXAMPLE.COM:88"},
        {"the domain itself", "corp.example.com.\n", "corp.example.com", "  kdc = CORP.EXAMPLE.COM:88"},
    };
    for (const Case& c : cases) EXPECT_EQ(JoinDomainUtil::kdcLinesFrom(c.hosts, c.domain), c.lines) << c.name;
}

class DomainOperationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes_.emplace(root_.path());
        for (const char* tool :
             {"ldapwhoami", "dsconfigad", "scutil", "createmobileaccount", "dscl", "profiles"}) {
            fakes_->recorder(tool);
        }
        fakes_->script("dig", "case \"$*\" in *+short*) [ -f '" + root_.path() +
                                  "/answers/dig.short' ] && cat '" + root_.path() +
                                  "/answers/dig.short'; exit 0;; esac\n");
        // Names listed in answers/taken exist in the directory.
        fakes_->script("ldapsearch",
                       "for last; do :; done\n"
                       "name=$(printf '%s' \"$last\" | sed -n 's/.*(name=\\([^)]*\\))).*/\\1/p')\n"
                       "if grep -qxF \"$name\" '" +
                           root_.path() +
                           "/answers/taken' 2>/dev/null; then\n"
                           "  printf 'dn: CN=%s,OU=Computers\\nname: %s\\n' \"$name\" \"$name\"; exit 0\n"
                           "fi\n");
        testsupport::writeFile(root_.at("/sys/class/dmi/id/product_name"), "iMac21,1\n");
        std::filesystem::create_directories(paths::machineSupportFolder());
    }

    void initiate(const std::string& password = "Secret1!") {
        fakes_->answer("dig", "out", kDigAnswer);
        ops_.initiateDomainToolWithInfo({{"name", std::string("corp.example.com")},
                                         {"domain_admin_account", std::string("joiner")},
                                         {"domain_admin_pwd", password},
                                         {"wifissid", std::string("Office")}});
        fakes_->clearCalls();
    }

    void takeNames(const std::string& account, const std::string& model, int count) {
        std::string names;
        for (int n = 0; n < count; ++n)
            names += DomainOperations::computerNameCandidate(account, model, n) + "\n";
        testsupport::writeFile(root_.path() + "/answers/taken", names);
    }

    testsupport::TempRoot root_{"jd-ops"};
    std::optional<jdtest::ToolFakes> fakes_;
    jdtest::LogLines logs_;
    DomainOperations ops_{[this](const std::string& text, unsigned type) { logs_(text, type); }};
};

TEST_F(DomainOperationsTest, InitiateKeepsDomainStateFromTheEntry) {
    initiate("pa\"ss");
    const auto state = ops_.state();
    EXPECT_EQ(state.domain, "corp.example.com");
    EXPECT_EQ(state.adminAccount, "joiner");
    EXPECT_EQ(state.adminPassword, "pa\"ss");
    EXPECT_EQ(state.searchDomain, "dc1.corp.example.com");
    EXPECT_EQ(state.DC, "DC=corp,DC=example,DC=com");
    EXPECT_TRUE(logs_.has("Fetch search domain=dc1.corp.example.com", sorrel::kLogInfo));
    EXPECT_TRUE(
        logs_.has("Initiate the Ducene success. Domain: corp.example.com, searchDomain: dc1.corp.example.com",
                  sorrel::kLogInfo));
}

TEST_F(DomainOperationsTest, InitiateWithoutKerberosRecordLeavesSearchDomainEmpty) {
    ops_.initiateDomainToolWithInfo({{"name", std::string("nowhere.test")}});
    EXPECT_EQ(ops_.state().searchDomain, "");
    EXPECT_TRUE(logs_.has("Fetch search domain script excute failed with Fetch search domain is nill",
                          sorrel::kLogError));
    // A name that is no DNS name is never handed to a lookup.
    fakes_->clearCalls();
    ops_.initiateDomainToolWithInfo({{"name", std::string("+tcp @evil")}});
    EXPECT_TRUE(fakes_->callsOf("dig").empty());
}

TEST_F(DomainOperationsTest, CheckAccountSendsThePasswordOnStandardInput) {
    initiate();
    const std::string password = "p\"w $(touch x) `id`";
    std::optional<std::optional<std::string>> reply;
    ops_.checkDomainAccount("alice", password, [&](std::optional<std::string> r) { reply = r; });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, std::nullopt);
    EXPECT_EQ(fakes_->calls(),
              (std::vector<std::string>{"ldapwhoami [-x] [-H] [ldap://dc1.corp.example.com] [-D] "
                                        "[alice@corp.example.com] [-y] [/dev/stdin]",
                                        "stdin ldapwhoami: " + password}));
    EXPECT_TRUE(logs_.has("Check join domain account is valid.", sorrel::kLogInfo));

    fakes_->answer("ldapwhoami", "err", "ldap_bind: Invalid credentials (49)\n");
    reply.reset();
    ops_.checkDomainAccount("alice", "wrong", [&](std::optional<std::string> r) { reply = r; });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "Check domain account failed with error: ldap_bind: Invalid credentials (49)\n");
    EXPECT_TRUE(logs_.has(**reply, sorrel::kLogError));
}

TEST_F(DomainOperationsTest, ComputerNamePickTakesTheFirstFreeName) {
    testsupport::writeFile(root_.at("/sys/class/dmi/id/product_name"), "MacBookAir10,1\n");
    initiate("adm\"in");
    takeNames("abc", "MB", 2);
    std::optional<std::optional<std::string>> reply;
    ops_.fetchComputerNameWithAccount("abc", [&](std::optional<std::string> r) { reply = r; });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "ABC-MB2");
    const auto searches = fakes_->callsOf("ldapsearch");
    ASSERT_EQ(searches.size(), 3u);
    EXPECT_EQ(searches[0],
              "ldapsearch [-LLL] [-x] [-H] [ldap://dc1.corp.example.com] [-D] [joiner@corp.example.com] [-y] "
              "[/dev/stdin] [-b] [DC=corp,DC=example,DC=com] [(&(objectClass=user)(name=ABC-MB0))]");
    EXPECT_EQ(fakes_->callsOf("stdin ldapsearch:").front(), "stdin ldapsearch: adm\"in");
}

TEST_F(DomainOperationsTest, ComputerNamePickGivesNothingAfterNinetyNineTakenNames) {
    initiate();
    takeNames("mnopqrstuvwx", "MC", 100);
    std::optional<std::optional<std::string>> reply;
    ops_.fetchComputerNameWithAccount("mnopqrstuvwx", [&](std::optional<std::string> r) { reply = r; });
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, std::nullopt);
    const auto searches = fakes_->callsOf("ldapsearch");
    ASSERT_EQ(searches.size(), 99u);
    EXPECT_NE(searches.back().find("(name=MNOPQRSTUV-MC98)"), std::string::npos);
}

TEST_F(DomainOperationsTest, ComputerNamePickReadsSearchErrors) {
    initiate();
    struct Case {
        const char* error;
        std::optional<std::string> expected;
    } cases[] = {
        {"ldap_bind: Invalid credentials (49)\n", std::nullopt},  // a failed search stops the pick
        {"DIGEST-MD5 common mech free\n", std::string("ABC-MC0")},
    };
    for (const Case& c : cases) {
        fakes_->clearCalls();
        fakes_->answer("ldapsearch", "err", c.error);
        EXPECT_EQ(ops_.pickComputerName("abc"), c.expected) << c.error;
        EXPECT_EQ(fakes_->callsOf("ldapsearch").size(), 1u);
    }
}

TEST_F(DomainOperationsTest, JoinWritesKerberosConfigurationAndBindsWithPasswordOnInput) {
    initiate("adm\"in$HOME");
    fakes_->answer("dig", "short", kDigShort);
    fakes_->answer("dsconfigad", "out", "Settings changed\n");
    testsupport::writeFile(root_.at("/etc/krb5.conf"), "original", 0644);

    std::optional<int> reply;
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(readText(root_.at("/etc/krb5_tmp.conf")), "original");
    const std::string conf = readText(root_.at("/etc/krb5.conf"));
    EXPECT_NE(
        conf.find(
            "CORP.EXAMPLE.COM = {\n  kdc = DC1.CORP.EXAMPLE.COM:88\n  kdc = DC2.CORP.EXAMPLE.COM:88\n}"),
        std::string::npos)
        << conf;
    EXPECT_EQ(fakes_->callsOf("dig").front(), "dig [-t] [SRV] [_kerberos._tcp.CORP.EXAMPLE.COM] [+short]");
    EXPECT_EQ(fakes_->callsOf("dsconfigad").front(),
              "dsconfigad [-a] [ABC-MC0] [-domain] [corp.example.com] [-u] [joiner] [-ou] "
              "[DC=corp,DC=example,DC=com]");
    EXPECT_EQ(fakes_->callsOf("stdin dsconfigad:").front(), "stdin dsconfigad: adm\"in$HOME");
    EXPECT_TRUE(logs_.has("Join domain finish, result: Settings changed\n", sorrel::kLogInfo));
    // Linux has no keychain preferences to point anywhere.
    EXPECT_FALSE(std::filesystem::exists(root_.at("/Library/Preferences/com.apple.security.plist")));
    EXPECT_FALSE(std::filesystem::exists(root_.at("/Library/Preferences")));

    // A second join keeps the machine's original, not the first join's configuration.
    testsupport::writeFile(root_.at("/etc/krb5.conf"), "first join");
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(readText(root_.at("/etc/krb5_tmp.conf")), "original");
    EXPECT_EQ(readText(root_.at("/etc/krb5.conf")), conf);
}

// The original krb5.conf is kept once; a refused bind puts back what was there before it.
TEST_F(DomainOperationsTest, FailedJoinPutsTheKerberosConfigurationBack) {
    const std::optional<std::string> none;
    struct Case {
        const char* name;
        std::optional<std::string> conf;  // before the join
        std::optional<std::string> kept;
        std::optional<std::string> confAfter;
        std::optional<std::string> keptAfter;
    } cases[] = {
        {"first join", std::string("original"), none, std::string("original"), none},
        {"later join", std::string("first join"), std::string("original"), std::string("first join"),
         std::string("original")},
        {"no configuration before", none, none, none, none},
        {"no configuration but a kept one", none, std::string("original"), none, std::string("original")},
    };
    initiate();
    fakes_->answer("dig", "short", kDigShort);
    fakes_->answer("dsconfigad", "err", "realm: Couldn't join realm\n");
    fakes_->answer("dsconfigad", "status", "1");
    const std::string conf = root_.at("/etc/krb5.conf");
    const std::string kept = root_.at("/etc/krb5_tmp.conf");
    for (const Case& c : cases) {
        std::filesystem::remove(conf);
        std::filesystem::remove(kept);
        if (c.conf) testsupport::writeFile(conf, *c.conf, 0644);
        if (c.kept) testsupport::writeFile(kept, *c.kept, 0644);
        std::optional<int> reply;
        ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
        EXPECT_EQ(reply, sorrel::kJoinFailed) << c.name;
        EXPECT_EQ(std::filesystem::exists(conf) ? std::optional(readText(conf)) : none, c.confAfter)
            << c.name;
        EXPECT_EQ(std::filesystem::exists(kept) ? std::optional(readText(kept)) : none, c.keptAfter)
            << c.name;
    }
    EXPECT_TRUE(logs_.has("Restored krb5.conf after the failed join.", sorrel::kLogInfo));

    // After a failed first join, the next join keeps the original again.
    testsupport::writeFile(conf, "original", 0644);
    std::filesystem::remove(kept);
    ops_.joinWithComputerName("ABC-MC0", nullptr);
    std::filesystem::remove(root_.path() + "/answers/dsconfigad.err");
    std::filesystem::remove(root_.path() + "/answers/dsconfigad.status");
    ops_.joinWithComputerName("ABC-MC0", nullptr);
    EXPECT_EQ(readText(kept), "original");
    EXPECT_NE(readText(conf).find("[realms]"), std::string::npos);
}

TEST_F(DomainOperationsTest, JoinWithoutKerberosServersLeavesTheConfigurationAlone) {
    initiate();
    testsupport::writeFile(root_.at("/etc/krb5.conf"), "previous");
    std::optional<int> reply;
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(readText(root_.at("/etc/krb5.conf")), "previous");
    EXPECT_FALSE(std::filesystem::exists(root_.at("/etc/krb5_tmp.conf")));
    EXPECT_EQ(fakes_->callsOf("dsconfigad").size(), 1u);
}

TEST_F(DomainOperationsTest, JoinReportsBindErrorText) {
    initiate();
    fakes_->answer("dsconfigad", "err", "Invalid credentials supplied for binding\n");
    fakes_->answer("dsconfigad", "status", "70");
    std::optional<int> reply;
    ops_.joinWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, sorrel::kJoinFailed);
    EXPECT_TRUE(logs_.has("Join domain failed with error: Invalid credentials supplied for binding\n",
                          sorrel::kLogError));
}

TEST_F(DomainOperationsTest, MachineNamesAnswerZeroEvenWhenEveryStepFails) {
    fakes_->answer("scutil", "err", "SCPreferencesSetComputerName() failed\n");
    fakes_->answer("scutil", "status", "1");
    std::optional<int> reply;
    ops_.updateMachineWithComputerName("ABC-MC0", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(fakes_->calls(), (std::vector<std::string>{"scutil [--set] [ComputerName] [ABC-MC0]",
                                                         "scutil [--set] [HostName] [ABC-MC0]",
                                                         "scutil [--set] [LocalHostName] [ABC-MC0]"}));
    EXPECT_TRUE(logs_.hasPrefix("Ducene set computer name failed with error : ", sorrel::kLogError));
    EXPECT_TRUE(logs_.hasPrefix("Ducene set host name failed with error : ", sorrel::kLogError));
    EXPECT_TRUE(logs_.hasPrefix("Ducene set local host name failed with error : ", sorrel::kLogError));

    std::filesystem::remove(root_.path() + "/answers/scutil.status");
    std::filesystem::remove(root_.path() + "/answers/scutil.err");
    ops_.updateMachineWithComputerName("ABC-MC0", nullptr);
    EXPECT_TRUE(logs_.has("Ducene set local host name successfully.", sorrel::kLogInfo));
}

TEST_F(DomainOperationsTest, JoinedDomainNameFromTheBindingSettings) {
    struct Case {
        const char* show;
        std::optional<std::string> expected;
    } cases[] = {
        {"Active Directory Forest          = corp.example.com\n"
         "Active Directory Domain          = corp.example.com\n"
         "Computer Account                 = abc-mc0$\n",
         std::string("corp.example.com")},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        fakes_->answer("dsconfigad", "out", c.show);
        std::optional<std::optional<std::string>> reply;
        ops_.fetchJoinedDomainNameWithCompletion([&](std::optional<std::string> r) { reply = r; });
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, c.expected);
    }
    EXPECT_EQ(fakes_->callsOf("dsconfigad").front(), "dsconfigad [-show]");
}

TEST_F(DomainOperationsTest, LeavingAnswersTheScriptErrorNumber) {
    std::optional<int> reply;
    ops_.quitDomainWithCompletion([&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(fakes_->callsOf("dsconfigad").front(),
              "dsconfigad [-f] [-r] [-u] [-username] [root] [-password] []");
    EXPECT_TRUE(logs_.has("Ducene excute quit domain successfully.", sorrel::kLogInfo));

    fakes_->answer("dsconfigad", "err", "not bound\n");
    fakes_->answer("dsconfigad", "status", "5");
    ops_.quitDomainWithCompletion([&](int r) { reply = r; });
    EXPECT_EQ(reply, 5);
    EXPECT_TRUE(logs_.hasPrefix("Ducene excute quit domain failed with error : ", sorrel::kLogError));
}

TEST_F(DomainOperationsTest, EachJoinAppendsOneNoteLine) {
    const std::string note = paths::machineSupportFolder() + "/joinDomainUpdate.txt";
    ops_.sendJoinDomainSuccessNotification();
    ops_.sendJoinDomainSuccessNotification();
    const std::string text = readText(note);
    const std::string tail = " Join domain success, then Zem need update machine name. \n";
    ASSERT_EQ(text.size(), 2 * (19 + tail.size())) << text;
    EXPECT_EQ(text.substr(19, tail.size()), tail);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[13], '-');  // "yyyy-MM-dd HH-mm-ss"
    EXPECT_TRUE(
        logs_.has("Update JoinDomain send notification recordings write files success", sorrel::kLogInfo));
}

TEST_F(DomainOperationsTest, MobileAccountSteps) {
    struct Case {
        const char* name;
        const char* enableOutput;
        const char* createOutput;
        int reply;
        std::vector<std::string> calls;
    } cases[] = {
        {"enable fails",
         "",
         "",
         sorrel::kMobileAccountFailed,
         {"dsconfigad [-mobile] [enable] [-mobileconfirm] [disable]"}},
        {"created",
         "Settings changed\n",
         "created\n",
         0,
         {"dsconfigad [-mobile] [enable] [-mobileconfirm] [disable]", "createmobileaccount [-n] [li.wei]",
          "dscl [.] [-merge] [/groups/admin] [GroupMembership] [li.wei] [li.wei]"}},
        {"not found at first",
         "Settings changed\n",
         "li.wei was not found\n",
         0,
         {"dsconfigad [-mobile] [enable] [-mobileconfirm] [disable]", "createmobileaccount [-n] [li.wei]",
          "createmobileaccount [-n] [li.wei]",
          "dscl [.] [-merge] [/groups/admin] [GroupMembership] [li.wei] [li.wei]"}},
    };
    for (const Case& c : cases) {
        fakes_->clearCalls();
        fakes_->answer("dsconfigad", "out", c.enableOutput);
        fakes_->answer("createmobileaccount", "out", c.createOutput);
        std::optional<int> reply;
        ops_.createMobileAccountWithUid("Li.Wei", [&](int r) { reply = r; });
        EXPECT_EQ(reply, c.reply) << c.name;
        EXPECT_EQ(fakes_->calls(), c.calls) << c.name;
    }
    // An account that a tool would read as an option is never handed to one.
    fakes_->clearCalls();
    std::optional<int> reply;
    ops_.createMobileAccountWithUid("-rf", [&](int r) { reply = r; });
    EXPECT_EQ(reply, 0);
    EXPECT_EQ(fakes_->calls().size(), 1u);
}

TEST_F(DomainOperationsTest, ProfileInstallsTakeOnlyTheCopyTheAppStaged) {
    // "nobody" stands for the console user, who plants profiles in its own folder.
    root_.signInAtScreen("nobody");
    const std::string home = paths::homeFolder("nobody").value();
    const std::string folder = home + "/Library/Application Support/RavAvizaL";
    std::filesystem::create_directories(folder);
    for (const std::string& path : {home, home + "/Library", home + "/Library/Application Support", folder}) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    }
    for (const char* name : {"ConnectEthernet.mobileconfig", "ConnectWiFi.mobileconfig"}) {
        testsupport::writeFile(folder + "/" + name, "identity=planted-by-the-user", 0600);
        ASSERT_EQ(::chown((folder + "/" + name).c_str(), 65534, 65534), 0);
    }
    // The stand-in shows what it was given to read.
    fakes_->script("profiles", "echo \"read: $(cat \"$3\")\" >> '" + root_.path() + "/calls'\n");
    auto stage = [](const std::string& name) {
        const std::string text = "profile " + name;
        return sorrel::stageProfile(name, std::vector<uint8_t>(text.begin(), text.end())).value();
    };

    int ethernetReplies = 0;
    std::optional<bool> wifiReply;
    const std::string ethernet = stage("ConnectEthernet.mobileconfig");
    const std::string wifi = stage("ConnectWiFi.mobileconfig");
    struct stat st {};
    ASSERT_EQ(::stat(sorrel::stagedProfileFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the staged profiles hold the password";
    ops_.ConnectEthernetWithUsername("alice", "pw", ethernet, [&](bool) { ++ethernetReplies; });
    ops_.ConnectWiFiWithSSID("Office", "alice", "pw", wifi, [&](bool r) { wifiReply = r; });
    const auto calls = fakes_->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1], "read: profile ConnectEthernet.mobileconfig");
    EXPECT_EQ(calls[3], "read: profile ConnectWiFi.mobileconfig");
    // Root's tool reads a private copy, which is gone afterwards, as is the staged one.
    EXPECT_EQ(calls[0].find(sorrel::stagedProfileFolder()), std::string::npos) << calls[0];
    const std::string copy =
        calls[2].substr(calls[2].rfind('[') + 1, calls[2].size() - calls[2].rfind('[') - 2);
    EXPECT_FALSE(std::filesystem::exists(copy)) << copy;
    EXPECT_FALSE(std::filesystem::exists(wifi));
    EXPECT_EQ(ethernetReplies, 0);
    EXPECT_FALSE(wifiReply.has_value()) << "a successful Wi-Fi install sends no reply";
    EXPECT_TRUE(logs_.has("DomainTool::InstallWiFiMobileConfig Success", sorrel::kLogDebug));

    // The tool refuses: the Wi-Fi operation answers NO, the Ethernet one never answers.
    fakes_->answer("profiles", "err", "profiles: the profile is not valid\n");
    fakes_->answer("profiles", "status", "1");
    ops_.ConnectEthernetWithUsername("alice", "pw", stage("ConnectEthernet.mobileconfig"),
                                     [&](bool) { ++ethernetReplies; });
    ops_.ConnectWiFiWithSSID("Office", "alice", "pw", stage("ConnectWiFi.mobileconfig"),
                             [&](bool r) { wifiReply = r; });
    EXPECT_EQ(ethernetReplies, 0);
    EXPECT_EQ(wifiReply, false);
    EXPECT_TRUE(logs_.has("DomainTool::InstallEthernetMobileConfig Fail", sorrel::kLogDebug));
    std::filesystem::remove(root_.path() + "/answers/profiles.err");
    std::filesystem::remove(root_.path() + "/answers/profiles.status");

    // Nothing runs for the user's planted file, a path other than the staged one, a profile staged
    // once and installed already, a staged file that is not root's, or a staged folder swapped for
    // a link to the user's folder.
    const std::string planted = folder + "/ConnectWiFi.mobileconfig";
    const std::string linkedFolder = root_.makeFolder("linked-profiles");
    struct Case {
        const char* name;
        std::optional<std::string> mPath;
        std::function<void()> before;
    };
    const std::vector<Case> cases{
        {"no path", std::nullopt, [] {}},
        {"the user's planted file", planted, [] {}},
        {"the staged name under another folder", root_.path() + "/ConnectWiFi.mobileconfig", [] {}},
        {"the other profile's staged name", sorrel::stagedProfileFolder() + "/ConnectEthernet.mobileconfig",
         [] {}},
        {"installed already", wifi, [] {}},
        {"not root's", wifi,
         [&] { ASSERT_EQ(::chown(stage("ConnectWiFi.mobileconfig").c_str(), 65534, 65534), 0); }},
        {"folder is a link", wifi,
         [&] {
             std::filesystem::remove_all(sorrel::stagedProfileFolder());
             testsupport::writeFile(linkedFolder + "/ConnectWiFi.mobileconfig",
                                    "identity=planted-by-the-user");
             std::filesystem::create_directory_symlink(linkedFolder, sorrel::stagedProfileFolder());
         }},
    };
    for (const Case& c : cases) {
        fakes_->clearCalls();
        c.before();
        wifiReply.reset();
        ops_.ConnectWiFiWithSSID("Office", "alice", "pw", c.mPath, [&](bool r) { wifiReply = r; });
        EXPECT_EQ(wifiReply, false) << c.name;
        EXPECT_TRUE(fakes_->calls().empty()) << c.name;
    }
    EXPECT_EQ(testsupport::readText(planted), "identity=planted-by-the-user");
}

}  // namespace
