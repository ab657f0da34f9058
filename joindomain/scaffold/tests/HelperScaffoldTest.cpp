// The scaffold's parts in one process: the helper log file, shell outcomes, the lists a helper
// program carries, and a Helper serving two clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "joindomain/scaffold/EmbeddedPlist.h"
#include "joindomain/scaffold/HSLogger.h"
#include "joindomain/scaffold/Helper.h"
#include "joindomain/scaffold/HelperCopy.h"
#include "joindomain/scaffold/HelperProtocol.h"
#include "joindomain/scaffold/ShellScript.h"
#include "platform/core/LogFiles.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using namespace helperscaffold;

namespace {

const HelperIdentity kIdentity{"com.velmora.ScaffoldUnit",
                               "com.velmora.ScaffoldUnitApp",
                               "unit start",
                               "com.velmora.scaffoldunit.logger",
                               "Logs/ScaffoldUnit",
                               "ScaffoldUnit-Logger",
                               "ScaffoldUnit"};

std::string logPath() {
    return paths::localLibraryFolder() + "/Logs/ScaffoldUnit/ScaffoldUnit-Logger.log";
}

const std::string kHeaderStart = "\n\n------------------------------------ ScaffoldUnit-Logger ";

TEST(HSLogger, LinesCarryTheirTypePrefixAndEndInCrLf) {
    testsupport::TempRoot root;
    {
        HSLogger logger(kIdentity);
        logger.writeLog("info line", 0);
        logger.writeLog("debug line", 1);
        logger.writeLog("error line", 2);
        logger.writeLog("other line", 7);
        logger.flush();
    }
    const std::string text = testsupport::readText(logPath());
    ASSERT_EQ(text.rfind(kHeaderStart, 0), 0u) << text;
    EXPECT_NE(text.find(" Start ------------------------------------\n\n"), std::string::npos);
    struct Case {
        const char* text;
        const char* prefix;
    };
    for (const Case& c : {Case{"info line", "[Info] "}, Case{"debug line", "[Debug] "},
                          Case{"error line", "[Error] "}, Case{"other line", ""}}) {
        const size_t at = text.find(std::string(c.text) + "\r\n");
        ASSERT_NE(at, std::string::npos) << c.text;
        const size_t lineStart = text.rfind('\n', at) + 1;
        const std::string line = text.substr(lineStart, at - lineStart);
        // prefix, "yyyy-MM-dd HH:mm:ss", one blank
        ASSERT_EQ(line.size(), std::string(c.prefix).size() + 20) << line;
        EXPECT_EQ(line.substr(0, std::string(c.prefix).size()), c.prefix);
        EXPECT_EQ(line[std::string(c.prefix).size() + 4], '-') << line;
        EXPECT_EQ(line.back(), ' ');
    }
}

TEST(HSLogger, FileAtTheLimitIsAppendedToAndOneByteMoreStartsAfresh) {
    struct Case {
        int64_t size;
        bool kept;
    };
    for (const Case& c : {Case{HSLogger::kMaxFileBytes, true}, Case{HSLogger::kMaxFileBytes + 1, false}}) {
        testsupport::TempRoot root;
        std::string old(static_cast<size_t>(c.size), 'x');
        old.replace(0, 3, "old");
        testsupport::writeFile(logPath(), old);
        {
            HSLogger logger(kIdentity);
            logger.writeLog("new line", 0);
        }
        const std::string text = testsupport::readText(logPath());
        if (c.kept) {
            EXPECT_EQ(text.rfind("old", 0), 0u);
            EXPECT_EQ(text.substr(old.size(), kHeaderStart.size()), kHeaderStart);
        } else {
            EXPECT_EQ(text.rfind(kHeaderStart, 0), 0u) << "size " << c.size;
            EXPECT_LT(text.size(), 1000u);
        }
        EXPECT_NE(text.find("new line\r\n"), std::string::npos);
    }
}

TEST(HSLogger, LogFolderIsMadeWhenMissingAndAFileLinkIsNotFollowed) {
    testsupport::TempRoot root;
    const std::string elsewhere = root.write("elsewhere", "keep");
    fs::create_directories(fs::path(logPath()).parent_path());
    fs::create_symlink(elsewhere, logPath());
    {
        HSLogger logger(kIdentity);
        logger.writeLog("line", 0);
    }
    EXPECT_EQ(testsupport::readText(elsewhere), "keep");
}

// Root's log is for administrators: new files and files an earlier version left readable by all.
TEST(HSLogger, LogIsReadableByAdministratorsOnly) {
    for (const bool existing : {false, true}) {
        testsupport::TempRoot root;
        if (existing) testsupport::writeFile(logPath(), "earlier\n", 0644);
        {
            HSLogger logger(kIdentity);
            logger.writeLog("line", 0);
        }
        struct stat st {};
        ASSERT_EQ(::stat(logPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << (existing ? "existing" : "new");
        EXPECT_EQ(st.st_gid, logfiles::administratorGroup());
        const std::string text = testsupport::readText(logPath());
        EXPECT_EQ(text.rfind(existing ? "earlier\n" + kHeaderStart : kHeaderStart, 0), 0u) << text;
    }
}

TEST(ShellScript, OutcomeReadsAsTheScriptRunnerReportsIt) {
    struct Case {
        const char* name;
        ShellScript script;
        std::optional<std::string> output;
        int errorNumber;
        std::string message;
    };
    const std::vector<Case> cases{
        {"output without its last newline", ShellScript({"/bin/sh", "-c", "echo one; echo two"}), "one\ntwo",
         0, ""},
        {"no output", ShellScript({"/bin/true"}), "", 0, ""},
        {"status and error text", ShellScript({"/bin/sh", "-c", "echo out; echo bad >&2; exit 3"}),
         std::nullopt, 3, "bad"},
        {"error text alone is no failure", ShellScript({"/bin/sh", "-c", "echo warn >&2"}), "", 0, ""},
        {"missing program", ShellScript({"no-such-program-here"}), std::nullopt, 127,
         "no-such-program-here: No such file or directory"},
        {"later commands run after a failure, the last decides",
         ShellScript({"/bin/false"}).command({"/bin/sh", "-c", "echo after"}), "after", 0, ""},
        {"a failing last command", ShellScript({"/bin/true"}).command({"/bin/sh", "-c", "exit 5"}),
         std::nullopt, 5, "The command exited with a non-zero status."},
    };
    for (const Case& c : cases) {
        ScriptOutcome o = scriptOutcome(c.script.run());
        EXPECT_EQ(o.output, c.output) << c.name;
        EXPECT_EQ(o.errorNumber, c.errorNumber) << c.name;
        if (c.errorNumber == 0) {
            EXPECT_TRUE(o.errorInfo.empty()) << c.name;
        } else {
            EXPECT_EQ(o.errorInfo[kScriptErrorNumber].integer(), c.errorNumber) << c.name;
            EXPECT_EQ(*o.errorInfo[kScriptErrorMessage].string(), c.message) << c.name;
        }
    }
}

TEST(EmbeddedPlist, VersionIsReadFromTheHelperProgram) {
    testsupport::TempRoot root;
    EXPECT_EQ(embeddedVersion(TEST_HELPER_1_0), "1.0");
    EXPECT_EQ(embeddedVersion(TEST_HELPER_1_0_0), "1.0.0");
    auto job = embeddedPlist(TEST_HELPER_1_0, kLaunchdPlistSection);
    ASSERT_TRUE(job);
    EXPECT_EQ(*job->find("Label")->string(), "com.velmora.ScaffoldTest");
    EXPECT_EQ(job->find("MachServices")->find("com.velmora.ScaffoldTest")->boolean(), true);
    EXPECT_FALSE(embeddedVersion(root.write("text", "not a program")));
    EXPECT_FALSE(embeddedVersion(root.file("missing")));
    EXPECT_FALSE(embeddedVersion("/bin/true")) << "a program without the list";
}

// A helper in this process with one operation that answers at once.
class UnitHelper : public Helper {
  public:
    UnitHelper() : Helper(kIdentity) {
        exportOperation("ping:completion:", [](const archive::Array& args, const ReplyBlock& reply) {
            if (reply) reply({textArgument(args, 0).value_or("")});
        });
    }
};

// A client of the helper that keeps the helperLog: lines it is sent.
struct Client {
    std::shared_ptr<ipc::XpcConnection> connection;
    std::mutex m;
    std::vector<std::string> lines;

    Client() {
        ipc::XpcOptions options;
        options.privileged = true;
        connection = ipc::XpcConnection::create(kIdentity.label, options);
        connection->setMessageHandler(
            [this](const ipc::XpcMessage& message, const ipc::XpcConnection::Reply&) {
                if (selectorOf(message) != std::string(kHelperLogSelector)) return;
                std::lock_guard<std::mutex> l(m);
                lines.push_back(textArgument(argumentsOf(message), 0).value_or(""));
            });
        connection->resume();
    }
    ~Client() { connection->invalidate(); }
    std::string ping(const std::string& text) {
        auto reply = connection->sendSync(callMessage("ping:completion:", {text}), 10);
        return reply ? textArgument(argumentsOf(*reply), 0).value_or("") : "(none)";
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> l(m);
        return lines;
    }
};

TEST(Helper, LogLinesGoToTheLastClientAndTheHelperQuitsAfterBoth) {
    testsupport::TempRoot root;
    UnitHelper helper;
    std::thread run([&] { EXPECT_TRUE(helper.startToRun()); });
    ASSERT_TRUE(testsupport::eventually(
        [] { return fs::exists(ipc::socketPath(ipc::ServiceKind::Xpc, kIdentity.label)); }));
    auto first = std::make_unique<Client>();
    ASSERT_EQ(first->ping("a"), "a");
    auto second = std::make_unique<Client>();
    ASSERT_EQ(second->ping("b"), "b");
    ASSERT_EQ(helper.connectionCount(), 2u);

    // writeLog:type: from the first client: the line goes to the file and to the second.
    first->connection->send(callMessage(kWriteLogSelector, {"hello", 0}));
    ASSERT_TRUE(testsupport::eventually([&] { return !second->received().empty(); }));
    EXPECT_EQ(second->received(), std::vector<std::string>{"hello"});
    EXPECT_TRUE(first->received().empty());

    first.reset();
    ASSERT_TRUE(testsupport::eventually([&] { return helper.connectionCount() == 1; }));
    EXPECT_FALSE(helper.shouldQuit()) << "one client still connected";
    second.reset();
    ASSERT_TRUE(testsupport::eventually([&] { return helper.shouldQuit(); }));
    run.join();
    helper.logger().flush();
    EXPECT_NE(testsupport::readText(logPath()).find("[Info] "), std::string::npos);
    EXPECT_NE(testsupport::readText(logPath()).find(" hello\r\n"), std::string::npos);
}

TEST(Helper, UnknownSelectorsAndBadArgumentsAreDropped) {
    testsupport::TempRoot root;
    UnitHelper helper;
    std::thread run([&] { helper.startToRun(); });
    ASSERT_TRUE(testsupport::eventually(
        [] { return fs::exists(ipc::socketPath(ipc::ServiceKind::Xpc, kIdentity.label)); }));
    {
        Client client;
        client.connection->send(callMessage("noSuchOperation:", {"x"}));
        client.connection->send(callMessage(kWriteLogSelector, {int64_t{5}, "not a type"}));
        client.connection->send(archive::Dictionary{{"junk", true}});
        EXPECT_EQ(client.ping("still here"), "still here");
        EXPECT_TRUE(client.received().empty());
    }
    ASSERT_TRUE(testsupport::eventually([&] { return helper.shouldQuit(); }));
    run.join();
}

TEST(Helper, HelperCopyReplacesOnlyAFileOfTheHelperFolder) {
    testsupport::TempRoot root;
    UnitHelper helper;
    const std::string folder = paths::privilegedHelperFolder();
    const std::string source = root.write("source", "new helper", 0755);
    const std::string outsideFile = root.write("etc/passwd", "root:x:0:0");
    root.write("Library/PrivilegedHelperTools/sub/x", "nested");
    std::filesystem::create_symlink(outsideFile, folder + "/linked");
    std::filesystem::create_symlink(source, root.file("source-link"));
    root.makeFolder("a-folder");

    struct Case {
        std::string name;
        std::string source;
        std::string destination;
        std::string refusal;  // empty: copied
    };
    const std::vector<Case> cases{
        {"new file", source, folder + "/com.velmora.Unit", ""},
        {"over the old file", source, folder + "/com.velmora.Unit", ""},
        {"outside the folder", source, outsideFile, "is not in " + folder},
        {"the folder's sibling", source, folder + "Evil/x", "is not in " + folder},
        {"name with a slash", source, folder + "/sub/x", "is not a plain name"},
        {"dot-dot", source, folder + "/..", "is not a plain name"},
        {"dot-dot on the way", source, folder + "/../../etc/passwd", "is not a plain name"},
        {"the folder itself", source, folder + "/", "is not in " + folder},
        {"a link in the folder", source, folder + "/linked", "is a link"},
        {"a folder in the folder", source, folder + "/sub", "is not a regular file"},
        {"source is a link", root.file("source-link"), folder + "/com.velmora.Other", "is a link"},
        {"source is a folder", root.file("a-folder"), folder + "/com.velmora.Other", "is not a regular file"},
    };
    for (const Case& c : cases) {
        HelperCopy copy = copyIntoHelperFolder(c.source, c.destination);
        if (c.refusal.empty()) {
            EXPECT_TRUE(copy.ok()) << c.name << ": " << copy.copyError.value_or("");
            EXPECT_EQ(testsupport::readText(c.destination), "new helper") << c.name;
            struct stat st {};
            ASSERT_EQ(::lstat(c.destination.c_str(), &st), 0) << c.name;
            EXPECT_EQ(st.st_mode & 07777, 0755u) << c.name;
        } else {
            ASSERT_TRUE(copy.copyError) << c.name;
            EXPECT_NE(copy.copyError->find(c.refusal), std::string::npos)
                << c.name << ": " << *copy.copyError;
        }
    }
    // Nothing outside the folder changed and no temporary file was left behind.
    EXPECT_EQ(testsupport::readText(outsideFile), "root:x:0:0");
    EXPECT_EQ(testsupport::readText(folder + "/sub/x"), "nested");
    EXPECT_TRUE(std::filesystem::is_symlink(folder + "/linked"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/com.velmora.Other"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"com.velmora.Unit", "linked", "sub"}));

    // Through the operation, the two log lines carry the outcome back to the app.
    helper.UpdatePrivilegedHelperToolsWithResourcePath(source, folder + "/com.velmora.Unit");
    helper.UpdatePrivilegedHelperToolsWithResourcePath(source, outsideFile);
    helper.logger().flush();
    const std::string text = testsupport::readText(logPath());
    EXPECT_NE(text.find("Remove ScaffoldUnit cache result: (null), error: (null)\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Copy ScaffoldUnit result: (null), error: (null)\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Copy ScaffoldUnit result: (null), error: refused: " + outsideFile + " is not in " +
                        folder),
              std::string::npos)
        << text;
}

}  // namespace
