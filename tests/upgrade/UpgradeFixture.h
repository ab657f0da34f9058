// The upgrade tests' shared fixture: a temporary filesystem root with a dpkg database, a loopback
// HTTP server serving a folder, real .deb packages of the product built with dpkg-deb, and the
// engine's environment in that root. Log lines are captured so tests can look for them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/PortServer.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "framework/encoding/MD5.h"
#include "upgrade/engine/ZemUpgradeHelper.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/CapturingLog.h"

namespace upgradetest {

namespace fs = std::filesystem;

using testsupport::capturedLog;

inline spawn::RunResult runTool(std::vector<std::string> argv) {
    spawn::Options options;
    options.program = argv[0];
    options.argv = std::move(argv);
    spawn::RunLimits limits;
    limits.deadline = std::chrono::seconds(120);
    return spawn::run(options, limits);
}

inline bool succeeded(const spawn::RunResult& r) {
    return r.waitStatus && spawn::exitStatusFromWait(*r.waitStatus) == 0;
}

// upgrade_http_server.py serving a folder, stopped when the object goes.
class HttpServer {
  public:
    HttpServer(const std::string& dir, const std::string& log)
        : log_(log), server_({RAVAVIZA_PYTHON, UPGRADE_HTTP_SERVER, "--dir", dir, "--log", log}) {}
    int port() const { return server_.port(); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
    }
    // How many requests asked for a path starting with prefix.
    int requests(const std::string& prefix) const {
        std::ifstream in(log_);
        int n = 0;
        for (std::string line; std::getline(in, line);)
            if (line.rfind(prefix, 0) == 0) ++n;
        return n;
    }

  private:
    std::string log_;
    testsupport::PortServer server_;
};

class UpgradeFixture : public ::testing::Test {
  protected:
    static constexpr const char* kPackage = "ravaviza";

    void SetUp() override {
        capturedLog().clear();
        fs::create_directories(root_ / "var/lib/dpkg/info");
        fs::create_directories(root_ / "var/lib/dpkg/updates");
        std::ofstream(root_ / "var/lib/dpkg/status").close();
        fs::create_directories(served_);
        fs::create_directories(paths::appUpgradeFolder());

        helper_ = std::make_unique<ZemUpgradeHelper>(environment());
        server_ = std::make_unique<HttpServer>(served_.string(), (base_ / "requests.log").string());
        ASSERT_GT(server_->port(), 0);
    }

    void TearDown() override {
        server_.reset();
    }

    // The engine's environment in the temporary root.
    UpgradeEnvironment environment() {
        UpgradeEnvironment env;
        env.rootDirectory = paths::appUpgradeFolder();
        env.installerPath = UPGRADE_INSTALLER;
        env.packageName = kPackage;
        env.consoleUser = [this] { return consoleUser_; };
        env.requestLimits.lowSpeedTime = std::chrono::seconds(2);
        env.requestLimits.lowSpeedBytes = 1000;
        return env;
    }

    // Builds a package of the product at version into the served folder; failing: its preinst
    // refuses, so dpkg keeps what was installed. Returns its MD5.
    std::string buildPackage(const std::string& file, const std::string& version, bool failing = false) {
        fs::path tree = base_ / ("tree-" + file);
        fs::create_directories(tree / "DEBIAN");
        fs::create_directories(tree / "Applications/Hux/Hux.app/Contents");
        std::ofstream(tree / "DEBIAN/control")
            << "Package: " << kPackage << "\nVersion: " << version
            << "\nArchitecture: all\nMaintainer: Test <test@example.invalid>\n"
            << "Description: test package\n";
        std::ofstream(tree / "Applications/Hux/Hux.app/Contents/version") << version << "\n";
        if (failing) {
            std::ofstream(tree / "DEBIAN/preinst") << "#!/bin/sh\nexit 1\n";
            fs::permissions(tree / "DEBIAN/preinst", fs::perms::owner_all | fs::perms::group_read |
                                                         fs::perms::group_exec | fs::perms::others_read |
                                                         fs::perms::others_exec);
        }
        fs::path out = served_ / file;
        auto r = runTool({"/usr/bin/dpkg-deb", "--root-owner-group", "--build", tree.string(), out.string()});
        EXPECT_TRUE(succeeded(r)) << r.error;
        return md5Of(out);
    }

    static std::string md5Of(const fs::path& path) {
        std::string bytes = testsupport::readText(path);
        return MD5::MD5HexDigest({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    }

    void installDirectly(const std::string& file) {
        auto r = runTool({UPGRADE_INSTALLER, "-pkg", (served_ / file).string(), "-target", "/"});
        ASSERT_TRUE(succeeded(r)) << r.error;
    }

    std::string installedVersion() {
        auto r = runTool({"/usr/bin/dpkg-query", "--admindir=" + (root_ / "var/lib/dpkg").string(), "-W",
                          "-f", "${Version}", kPackage});
        return succeeded(r) ? r.output : "";
    }

    void writeManifest(const std::string& body) { std::ofstream(served_ / "update.xml") << body; }

    std::string itemXml(const std::string& name, const std::string& version, const std::string& url,
                        const std::string& md5, const std::string& extra = "") {
        return "<updates><item name=\"" + name + "\" version=\"" + version + "\" url=\"" + url + "\" md5=\"" +
               md5 + "\" cmd=\"\" action=\"1\" runAs=\"root\" os=\"linux\"" + extra + "/></updates>";
    }

    std::string order(int type, const std::string& manifestPath = "/update.xml") {
        return nlohmann::json{
            {"type", type}, {"url", server_->url(manifestPath)}, {"des", "fixes"}, {"wait", 30}}
            .dump();
    }

    std::string pkgPath(const std::string& appName, const std::string& version) {
        return paths::appUpgradeFolder() + "/" + appName + "_" + version + ".pkg";
    }

    // Files in the upgrade folder other than the given ones.
    std::vector<std::string> strayFiles(std::vector<std::string> expected) {
        std::vector<std::string> stray;
        for (const auto& e : fs::directory_iterator(paths::appUpgradeFolder())) {
            std::string name = e.path().filename().string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end()) stray.push_back(name);
        }
        return stray;
    }

    static nlohmann::json plistAsJson(const std::string& path) {
        auto r = runTool({RAVAVIZA_PYTHON, UPGRADE_PLIST_TO_JSON, path});
        EXPECT_TRUE(succeeded(r)) << r.error;
        return nlohmann::json::parse(r.output, nullptr, false);
    }

    // The product's root, and beside it a folder for what the server serves and its request log.
    testsupport::TempRoot tempRoot_{"upgrade-test"};
    testsupport::TempFolder tempBase_{"upgrade-test-base"};
    fs::path base_ = tempBase_.path(), root_ = tempRoot_.path(), served_ = base_ / "served";
    std::optional<std::string> consoleUser_ = std::string("alice");
    std::unique_ptr<ZemUpgradeHelper> helper_;
    std::unique_ptr<HttpServer> server_;
};

}  // namespace upgradetest
