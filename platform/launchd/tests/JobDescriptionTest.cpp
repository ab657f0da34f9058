#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/archive/Plist.h"
#include "platform/launchd/JobDescription.h"
#include "tests/support/TempRoot.h"

namespace {

std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>" +
           body + "</dict></plist>\n";
}

class platform_launchd_JobFile : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    testsupport::TempFolder tmp_{"launchd-jobdesc"};
    std::string dir_ = tmp_.path();
};

TEST_F(platform_launchd_JobFile, ReadsEveryJobKey) {
    std::string path = write("job.plist", plist("<key>Label</key><string>com.velmora.Test</string>"
                                                "<key>Program</key><string>/bin/sleep</string>"
                                                "<key>ProgramArguments</key><array><string>sleep</string>"
                                                "<string>30</string></array>"
                                                "<key>RunAtLoad</key><true/><key>KeepAlive</key><true/>"
                                                "<key>StandardOutPath</key><string>/tmp/o.log</string>"
                                                "<key>StandardErrorPath</key><string>/tmp/e.log</string>"
                                                "<key>EnvironmentVariables</key><dict><key>A</key>"
                                                "<string>1</string></dict>"
                                                "<key>SomethingElse</key><integer>3</integer>"));
    std::string error;
    auto job = launchd::readJobFile(path, &error);
    ASSERT_TRUE(job) << error;
    EXPECT_EQ(job->label, "com.velmora.Test");
    EXPECT_EQ(job->executable(), "/bin/sleep");
    EXPECT_EQ(job->argv(), (std::vector<std::string>{"sleep", "30"}));
    EXPECT_TRUE(job->runAtLoad);
    EXPECT_TRUE(job->keepAlive);
    EXPECT_EQ(job->standardOutPath, "/tmp/o.log");
    EXPECT_EQ(job->standardErrorPath, "/tmp/e.log");
    EXPECT_EQ(job->environmentVariables.at("A"), "1");
    EXPECT_EQ(job->path, path);
}

TEST_F(platform_launchd_JobFile, BinaryFileReadsLikeXml) {
    archive::Dictionary d{{"Label", "com.velmora.Bin"},
                          {"ProgramArguments", archive::Array{"/bin/true"}},
                          {"KeepAlive", false}};
    std::string path = dir_ + "/bin.plist";
    ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Binary));
    auto job = launchd::readJobFile(path);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->label, "com.velmora.Bin");
    EXPECT_EQ(job->executable(), "/bin/true");
    EXPECT_FALSE(job->runAtLoad);
}

TEST_F(platform_launchd_JobFile, RejectsBrokenOrIncompleteFilesWithReason) {
    struct Case {
        const char* name;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"truncated", "<?xml version=\"1.0\"?><plist><dict><key>Label</key>", "Invalid property list"},
        {"not a plist", "hello", "Invalid property list"},
        {"array root", "<plist version=\"1.0\"><array/></plist>", "not a dictionary"},
        {"no label", plist("<key>ProgramArguments</key><array><string>/bin/true</string></array>"),
         "no Label"},
        {"no program", plist("<key>Label</key><string>x</string>"), "neither Program nor ProgramArguments"},
        {"empty arguments", plist("<key>Label</key><string>x</string><key>ProgramArguments</key><array/>"),
         "neither Program nor ProgramArguments"},
        {"argument not a string",
         plist("<key>Label</key><string>x</string><key>ProgramArguments</key><array><integer>1</integer></"
               "array>"),
         "ProgramArguments must be an array of strings"},
        {"KeepAlive not a bool",
         plist("<key>Label</key><string>x</string><key>Program</key><string>/bin/true</string>"
               "<key>KeepAlive</key><string>yes</string>"),
         "KeepAlive must be a boolean"},
        {"MachServices not a dictionary",
         plist("<key>Label</key><string>x</string><key>Program</key><string>/bin/true</string>"
               "<key>MachServices</key><array/>"),
         "MachServices must be a dictionary"},
        {"MachServices value not true",
         plist("<key>Label</key><string>x</string><key>Program</key><string>/bin/true</string>"
               "<key>MachServices</key><dict><key>a</key><string>yes</string></dict>"),
         "MachServices must map service names to true"},
        {"environment name with =",
         plist("<key>Label</key><string>x</string><key>Program</key><string>/bin/true</string>"
               "<key>EnvironmentVariables</key><dict><key>A=B</key><string>1</string></dict>"),
         "EnvironmentVariables"},
        {"label with a line break",
         plist("<key>Label</key><string>x\n1 1 y</string><key>Program</key><string>/bin/true</string>"),
         "Label must be one line of text"},
        {"label with a control character",
         plist("<key>Label</key><string>x\x01</string><key>Program</key><string>/bin/true</string>"),
         "Label must be one line of text"},
    };
    for (const Case& c : cases) {
        std::string error;
        auto job = launchd::readJobFile(write("case.plist", c.text), &error);
        EXPECT_FALSE(job) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
    std::string error;
    EXPECT_FALSE(launchd::readJobFile(dir_ + "/missing.plist", &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

TEST_F(platform_launchd_JobFile, ServiceNamesAreReadSorted) {
    std::string path = write("svc.plist", plist("<key>Label</key><string>x</string>"
                                                "<key>Program</key><string>/bin/true</string>"
                                                "<key>MachServices</key><dict>"
                                                "<key>com.velmora.b</key><true/>"
                                                "<key>com.velmora.off</key><false/>"
                                                "<key>com.velmora.a</key><dict/>"
                                                "</dict>"));
    std::string error;
    auto job = launchd::readJobFile(path, &error);
    ASSERT_TRUE(job) << error;
    EXPECT_EQ(job->machServices, (std::vector<std::string>{"com.velmora.a", "com.velmora.b"}));
}

TEST_F(platform_launchd_JobFile, FileOthersCouldChangeIsRefusedBeforeItIsRead) {
    const std::string good =
        plist("<key>Label</key><string>x</string><key>Program</key><string>/bin/true</string>");
    std::string target = write("good.plist", good);
    ::chmod(target.c_str(), 0644);
    ASSERT_TRUE(launchd::readJobFile(target));
    std::string link = dir_ + "/link.plist";
    std::filesystem::create_symlink(target, link);
    std::string fifo = dir_ + "/fifo.plist";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

    struct Case {
        const char* what;
        std::string path;
        mode_t mode;
        const char* reason;
    } cases[] = {
        {"writable by the group", target, 0664, "job file is writable by group or others"},
        {"writable by all", target, 0666, "job file is writable by group or others"},
        {"symbolic link", link, 0644, "job file is a symbolic link"},
        // Opening a FIFO must not block the supervisor until a writer comes.
        {"named pipe", fifo, 0644, "job file is not a regular file"},
        {"folder", dir_, 0755, "job file is not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::chmod(target.c_str(), c.mode);
        std::string error;
        EXPECT_FALSE(launchd::readJobFile(c.path, &error));
        EXPECT_EQ(error, c.reason);
    }
}

}  // namespace
