#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "ui/session/compliance/ZemCheck.h"
#include "platform/dispatch/ManualTime.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempRoot.h"

using common::AccountModel;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using RecordingLog = testsupport::CapturingLog;

// Answers each command line from a table; a line not in the table is a missing program.
class TableRunner : public CheckCommandRunner {
  public:
    std::map<std::string, CheckCommandResult> answers;
    std::vector<std::string> calls;

    CheckCommandResult run(const std::string& path, const std::vector<std::string>& args) override {
        std::string line = path;
        for (const auto& a : args) line += " " + a;
        calls.push_back(line);
        auto found = answers.find(line);
        if (found == answers.end()) return {std::nullopt, path + ": no such program"};
        return found->second;
    }
};

CheckCommandResult out(const std::string& text) {
    return {text, std::nullopt};
}
CheckCommandResult err(const std::string& text) {
    return {std::nullopt, text};
}

const std::string kFindmnt = "/usr/bin/findmnt -n -o SOURCE /";
const std::string kLsblk = "/usr/bin/lsblk -n -s -o TYPE /dev/mapper/root";
const std::string kSystemctl = "/usr/bin/systemctl is-active ufw.service firewalld.service nftables.service";
const std::string kRealm = "/usr/sbin/realm list --name-only";

class ComplianceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        queue_ = dispatch::WorkQueue::create("test.compliance.main");
        observer_ = dispatch::NotificationCenter::defaultCenter().addObserver(
            ZemCheck::kCheckNotificationName, nullptr, [this](const dispatch::Notification& n) {
                std::lock_guard<std::mutex> lock(mu_);
                ASSERT_TRUE(queue_->isCurrent());
                ASSERT_TRUE(n.object.dictionary() && n.object.dictionary()->size() == 1);
                const auto& [key, value] = *n.object.dictionary()->begin();
                auto item = ZemCheckModel::decode(value);
                ASSERT_TRUE(item);
                posted_.emplace_back(key, *item);
            });
    }
    void TearDown() override {
        check_.reset();
        dispatch::NotificationCenter::defaultCenter().removeObserver(observer_);
    }

    ZemCheck& makeCheck(std::shared_ptr<AccountRecordStore> accounts = nullptr) {
        ZemCheck::Options o;
        o.runner = runner_;
        o.accounts = std::move(accounts);
        o.mainQueue = queue_;
        o.log = &log_;
        check_ = std::make_unique<ZemCheck>(o);
        return *check_;
    }

    void requireAccess(const archive::Dictionary& access) {
        fs::create_directories(root_ / "Library/Application Support/RavAviza");
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Dictionary{{"access", access}},
            (root_ / "Library/Application Support/RavAviza/complianceInfo").string()));
    }
    void installVersion(const std::string& version) {
        fs::create_directories(root_ / "Applications/Hux/Hux.app/Contents");
        ASSERT_TRUE(
            archive::writePlistFile(archive::Dictionary{{"CFBundleVersion", version}},
                                    (root_ / "Applications/Hux/Hux.app/Contents/Info.plist").string()));
    }

    // Checks the item and returns what was reported for it.
    std::vector<std::pair<std::string, ZemCheckModel>> checkItem(ZemCheckModel& item) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            posted_.clear();
        }
        check_->checkWithModel(item);
        queue_->dispatchSync([] {});
        std::lock_guard<std::mutex> lock(mu_);
        return posted_;
    }

    testsupport::TempRoot tempRoot_{"rav-compliance"};
    fs::path root_ = tempRoot_.path();
    std::shared_ptr<dispatch::WorkQueue> queue_;
    std::shared_ptr<TableRunner> runner_ = std::make_shared<TableRunner>();
    RecordingLog log_;
    std::unique_ptr<ZemCheck> check_;
    dispatch::NotificationCenter::ObserverId observer_ = 0;
    std::mutex mu_;
    std::vector<std::pair<std::string, ZemCheckModel>> posted_;
};

ZemCheckModel item(const std::string& selector, const std::string& key) {
    ZemCheckModel m;
    m.title = "t";
    m.selectorName = selector;
    m.mainKey = key;
    return m;
}

TEST_F(ComplianceFixture, EachCheckSetsTheWarningFromItsCommandAndReportsTheItem) {
    struct Case {
        const char* name;
        const char* selector;
        std::map<std::string, CheckCommandResult> answers;
        archive::Dictionary access;
        const char* version;  // installed; null: none
        bool warn;
    } cases[] = {
        {"root on dm-crypt",
         "checkFileVault:",
         {{kFindmnt, out("/dev/mapper/root\n")}, {kLsblk, out("crypt\npart\ndisk\n")}},
         {},
         nullptr,
         false},
        {"root on a plain partition",
         "checkFileVault:",
         {{kFindmnt, out("/dev/mapper/root\n")}, {kLsblk, out("lvm\npart\ndisk\n")}},
         {},
         nullptr,
         true},
        {"no mount source", "checkFileVault:", {{kFindmnt, err("findmnt: failed")}}, {}, nullptr, true},
        {"firewalld active",
         "checkFireWall:",
         {{kSystemctl, out("inactive\nactive\ninactive\n")}},
         {},
         nullptr,
         false},
        {"no firewall active",
         "checkFireWall:",
         {{kSystemctl, out("inactive\ninactive\nfailed\n")}},
         {},
         nullptr,
         true},
        {"firewall query failed",
         "checkFireWall:",
         {{kSystemctl, err("Failed to connect to bus")}},
         {},
         nullptr,
         true},
        {"joined the required realm",
         "checkJoinDomain:",
         {{kRealm, out("corp.example.com\n")}},
         {{"ent_domain", "CORP.example.com"}},
         nullptr,
         false},
        {"joined another realm",
         "checkJoinDomain:",
         {{kRealm, out("other.example.com\n")}},
         {{"ent_domain", "corp.example.com"}},
         nullptr,
         true},
        {"no realm", "checkJoinDomain:", {}, {{"ent_domain", "corp.example.com"}}, nullptr, true},
        {"no required domain", "checkJoinDomain:", {{kRealm, out("corp.example.com\n")}}, {}, nullptr, true},
        {"2.1.0 over 2.0.9", "checkZemVersion:", {}, {{"ent_zem", "2.0.9"}}, "2.1.0", false},
        {"10.0 over 9.0", "checkZemVersion:", {}, {{"ent_zem", "9.0"}}, "10.0", false},
        {"9.0 under 10.0", "checkZemVersion:", {}, {{"ent_zem", "10.0"}}, "9.0", true},
        {"equal", "checkZemVersion:", {}, {{"ent_zem", "5.2"}}, "5.2.0", false},
        {"no installed version", "checkZemVersion:", {}, {{"ent_zem", "1.0"}}, nullptr, true},
        {"no minimum", "checkZemVersion:", {}, {}, "1.0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_ / "Library");
        fs::remove_all(root_ / "Applications");
        if (!c.access.empty()) requireAccess(c.access);
        if (c.version) installVersion(c.version);
        runner_->answers = c.answers;
        makeCheck();
        ZemCheckModel m = item(c.selector, "key");
        m.isWarn = !c.warn;
        auto posted = checkItem(m);
        EXPECT_EQ(m.isWarn, c.warn);
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].first, "key");
        EXPECT_EQ(posted[0].second.isWarn, c.warn);
        EXPECT_EQ(posted[0].second.selectorName, c.selector);
    }
    EXPECT_TRUE(log_.has("[ZemCheck] check FireWall failed : Failed to connect to bus"));
    EXPECT_TRUE(log_.has("[ZemCheck] check Zem local version: 10.0, min version: 9.0"));
}

TEST_F(ComplianceFixture, ItemsWithoutACheckAreNeverReported) {
    makeCheck();
    for (const char* selector : {"checkPasswordSecurity:", "checkNothing:", "", "checkFileVault"}) {
        SCOPED_TRACE(selector);
        ZemCheckModel m = item(selector, "key");
        EXPECT_TRUE(checkItem(m).empty());
        EXPECT_FALSE(m.isWarn);
    }
    EXPECT_TRUE(runner_->calls.empty());
}

TEST_F(ComplianceFixture, TheCataloguesItemsAreEachCheckedAndReported) {
    auto catalogue = loadCheckCatalogue(CHECK_CATALOGUE);
    ASSERT_TRUE(catalogue);
    makeCheck();
    std::map<std::string, std::string> reported;  // title -> main key
    for (ZemRootModel& category : *catalogue) {
        EXPECT_FALSE(category.name.empty());
        for (ZemCheckModel& m : category.leafArr) {
            for (const auto& [key, posted] : checkItem(m)) reported[posted.title] = key;
        }
    }
    EXPECT_EQ(reported, (std::map<std::string, std::string>{{"磁盘已加密", "is_disk_encrypt"},
                                                            {"已开启主机防火墙", "firewall"},
                                                            {"Zem安装检测", "ent_zem"},
                                                            {"域检测", "ent_domain"}}));
}

TEST(ZemCheckModel, TakesOnlyStringsFromTheDictionary) {
    ZemCheckModel m;
    m.detail = "kept";
    m.spreadDictToModel(archive::Dictionary{{"title", "T"},
                                            {"detail", 3},
                                            {"selectorName", "checkFireWall:"},
                                            {"mainKey", archive::Array{}},
                                            {"keyword", "k"}});
    EXPECT_EQ(m.title, "T");
    EXPECT_EQ(m.detail, "kept");
    EXPECT_EQ(m.selectorName, "checkFireWall:");
    EXPECT_EQ(m.mainKey, "");
    EXPECT_EQ(m.keyword, "k");
}

TEST(ZemCheck, ComparesVersionsByNumericParts) {
    struct Case {
        const char *a, *b;
        int order;
    } cases[] = {
        {"2.1.0", "2.0.9", 1},      {"10.0", "9.0", 1}, {"9.0", "10.0", -1},
        {"1.2", "1.2.0", 0},        {"1.02", "1.2", 0}, {"1.2.10", "1.2.9", 1},
        {"5.0.1-beta", "5.0.1", 1}, {"", "0", 0},       {"123456789012345678901234567890", "9", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(ZemCheck::compareVersions(c.a, c.b), c.order);
        EXPECT_EQ(ZemCheck::compareVersions(c.b, c.a), -c.order);
    }
}

TEST(ZemCheck, DecodesUnicodeEscapesOfTheDefaultsTool) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"\\u5f20\\u4e09", "张三"}, {"li\\u00e9 \"x\"", "lié \"x\""},
        {"\\ud83d\\ude00", "😀"},    {"a\\u000d\\u000ab", "a\nb"},
        {"plain", "plain"},         {"\\uZZ", "UZZ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ZemCheck::replaceUnicode(c.in), c.out);
    }
}

// The directory-account check of the login session as the server would answer it.
class ScriptedDomainChecker : public DomainAccountChecker {
  public:
    bool reachable = false;
    bool valid = true;
    std::vector<std::pair<std::string, std::string>> requests;
    void checkDomainAccount(const std::string& uid, const std::string& domain,
                            Completion completion) override {
        requests.emplace_back(uid, domain);
        if (reachable) {
            completion(valid, "Zhang San", std::nullopt);
        } else {
            completion(false, "", ErrorValue{"NSURLErrorDomain", -1004, "Could not connect to the server."});
        }
    }
};

class DomainLogin : public ComplianceFixture {
  protected:
    void SetUp() override {
        ComplianceFixture::SetUp();
        // root is the console user; its account record lives in <home>/Library/Application Support.
        tempRoot_.signInAtScreen("root");
        fs::create_directories(root_ / "root");
        runner_->answers = {
            {"/usr/bin/id -un", out("zhangsan@corp.example.com\n")},
            {"/usr/bin/getent -s sss passwd zhangsan@corp.example.com",
             out("zhangsan@corp.example.com:*:1:1::/home/z:/bin/bash\n")},
            {kRealm, out("corp.example.com\n")},
        };
        checker_ = std::make_shared<ScriptedDomainChecker>();
    }

    void startLogin() {
        queue_->dispatchSync([this] { check_->checkDomainLogin(); });
    }
    // Seconds of ticks on the manual timeline, one at a time.
    void tick(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            dispatch::ManualTime::advance(1s);
            queue_->dispatchSync([] {});
        }
    }
    size_t requests() {
        size_t n = 0;
        queue_->dispatchSync([&] { n = checker_->requests.size(); });
        return n;
    }

    std::shared_ptr<ScriptedDomainChecker> checker_;
};

TEST_F(DomainLogin, RetriesEveryFifteenSecondsUntilTheServerAnswersThenSavesTheRecord) {
    dispatch::ManualTime time;
    makeCheck().setDomainAccountChecker(checker_);
    startLogin();
    ASSERT_EQ(requests(), 1u);
    EXPECT_EQ(checker_->requests[0], (std::pair<std::string, std::string>{"zhangsan", "corp.example.com"}));

    // Each failed request is followed by one more 15 s later, and no sooner.
    for (size_t round = 2; round <= 4; ++round) {
        tick(14);
        EXPECT_EQ(requests(), round - 1);
        tick(1);
        EXPECT_EQ(requests(), round);
    }

    checker_->reachable = true;
    tick(15);
    EXPECT_EQ(requests(), 5u);
    tick(120);
    EXPECT_EQ(requests(), 5u);
    queue_->dispatchSync([this] {
        EXPECT_TRUE(check_->isDomainLoginChecked());
        EXPECT_FALSE(check_->timerRunning());
    });
    auto record = AccountModel::currentModel();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->userid, "zhangsan");
    EXPECT_EQ(record->username, "Zhang San");
    EXPECT_EQ(record->loginType, 3);
    EXPECT_EQ(record->zemStatus, 0);
    EXPECT_EQ(record->domainName, "CORP");
    EXPECT_TRUE(log_.has("[ZemCheck] DomainLogin:  The account model save result: 1."));
}

TEST_F(DomainLogin, ASecondLoginReplacesTheFirstsTimer) {
    dispatch::ManualTime time;
    makeCheck().setDomainAccountChecker(checker_);
    startLogin();
    startLogin();
    ASSERT_EQ(requests(), 2u);
    tick(15);
    EXPECT_EQ(requests(), 3u);
    tick(15);
    EXPECT_EQ(requests(), 4u);
}

TEST_F(DomainLogin, ARecordSavedMeanwhileEndsTheRetries) {
    dispatch::ManualTime time;
    makeCheck().setDomainAccountChecker(checker_);
    startLogin();
    tick(5);
    AccountModel signedIn;
    signedIn.userid = "someone";
    ASSERT_TRUE(signedIn.save());
    tick(60);
    EXPECT_EQ(requests(), 1u);
    queue_->dispatchSync([this] { EXPECT_FALSE(check_->timerRunning()); });
}

TEST_F(DomainLogin, NoRequestForLocalAccountsOtherDomainsOrAnExistingRecord) {
    struct Case {
        const char* name;
        std::map<std::string, CheckCommandResult> changes;
        bool record;
        const char* line;
    } cases[] = {
        {"local account",
         {{"/usr/bin/getent -s sss passwd zhangsan@corp.example.com", err("")}},
         false,
         "[ZemCheck] DomainLogin:  The login user account isn`t domain mobile account."},
        {"other domain",
         {{kRealm, out("other.example.com\n")}},
         false,
         "[ZemCheck] DomainLogin: The domain of mobile account is not be same the current domain."},
        {"signed in already", {}, true, "[ZemCheck] DomainLogin: QZN is start or Zem has been logined."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (const auto& [line, answer] : c.changes) runner_->answers[line] = answer;
        if (c.record) {
            AccountModel signedIn;
            ASSERT_TRUE(signedIn.save());
        }
        makeCheck().setDomainAccountChecker(checker_);
        startLogin();
        EXPECT_EQ(requests(), 0u);
        EXPECT_TRUE(log_.has(c.line));
        TearDown();
    }
}

}  // namespace
