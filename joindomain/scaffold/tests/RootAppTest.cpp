// What a root app keeps of its caller's environment, and the user it acts for.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "joindomain/scaffold/RootApp.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

using helperscaffold::ActingUser;
namespace fs = std::filesystem;

std::optional<std::string> valueOf(const std::vector<std::string>& env, const std::string& name) {
    std::optional<std::string> found;
    for (const std::string& entry : env) {
        if (entry.rfind(name + "=", 0) == 0) {
            EXPECT_FALSE(found) << name << " twice";
            found = entry.substr(name.size() + 1);
        }
    }
    return found;
}

uid_t nobodyUid() {
    passwd* pw = ::getpwnam("nobody");
    return pw ? pw->pw_uid : 65534;
}

TEST(RootAppEnvironment, KeepsOnlyPlainDisplayLocaleAndKnownPlatformValues) {
    testsupport::TempFolder folders("root-app-env", 0755);
    const std::string rootOwned = folders.makeFolder("root-owned");
    const std::string userOwned = folders.makeFolder("user-owned");
    ASSERT_EQ(::chown(userOwned.c_str(), nobodyUid(), nobodyUid()), 0);
    const std::string groupWritable = folders.makeFolder("group-writable");
    ::chmod(groupWritable.c_str(), 0775);
    const std::string belowUsers = folders.makeFolder("user-owned/inside");
    fs::create_directory_symlink(rootOwned, folders.file("linked"));
    const std::string uid = std::to_string(nobodyUid());

    struct Case {
        std::string entry;
        std::optional<std::string> kept;  // the value kept, or nothing
    };
    const std::vector<Case> cases{
        {"DISPLAY=:0", ":0"},
        {"DISPLAY=localhost:10.0", "localhost:10.0"},
        {"DISPLAY=:0 evil", std::nullopt},
        {"XAUTHORITY=/home/u/.Xauthority", "/home/u/.Xauthority"},
        {"XAUTHORITY=relative", std::nullopt},
        {"WAYLAND_DISPLAY=wayland-0", "wayland-0"},
        {"WAYLAND_DISPLAY=/home/u/sock", std::nullopt},
        {"LANG=zh_CN.UTF-8", "zh_CN.UTF-8"},
        {"LC_ALL=/home/u/locale", std::nullopt},
        {"LC_MESSAGES=../../home/u/l", std::nullopt},
        {"QT_QPA_PLATFORM=offscreen", "offscreen"},
        {"QT_QPA_PLATFORM=xcb", "xcb"},
        {"QT_QPA_PLATFORM=no_such_platform", std::nullopt},
        {"QT_QPA_PLATFORM=xcb:plugin=evil", std::nullopt},
        {"QT_PLUGIN_PATH=/home/u/plugins", std::nullopt},
        {"QT_QPA_PLATFORM_PLUGIN_PATH=/home/u/p", std::nullopt},
        {"QT_QPA_PLATFORMTHEME=gtk3", std::nullopt},
        {"QT_STYLE_OVERRIDE=evil", std::nullopt},
        {"QML2_IMPORT_PATH=/home/u", std::nullopt},
        {"LD_PRELOAD=/home/u/evil.so", std::nullopt},
        {"LD_LIBRARY_PATH=/home/u", std::nullopt},
        {"GTK_MODULES=evil", std::nullopt},
        {"GIO_EXTRA_MODULES=/home/u", std::nullopt},
        {"GDK_PIXBUF_MODULE_FILE=/home/u/x", std::nullopt},
        {"XDG_CONFIG_HOME=/home/u/.config", std::nullopt},
        {"XDG_DATA_DIRS=/home/u", std::nullopt},
        {"LOCPATH=/home/u", std::nullopt},
        {"TZ=/home/u/zone", std::nullopt},
        {"XDG_RUNTIME_DIR=/run/user/" + uid, "/run/user/" + uid},
        {"PKEXEC_UID=" + uid, uid},
        {"RAVAVIZA_ROOT=" + rootOwned, rootOwned},
        {"RAVAVIZA_ROOT=" + userOwned, std::nullopt},
        {"RAVAVIZA_ROOT=" + belowUsers, std::nullopt},
        {"RAVAVIZA_ROOT=" + groupWritable, std::nullopt},
        {"RAVAVIZA_ROOT=" + folders.file("linked"), std::nullopt},
        {"RAVAVIZA_ROOT=" + rootOwned + "/..", std::nullopt},
        {"RAVAVIZA_ROOT=relative", std::nullopt},
        {"RAVAVIZA_ROOT=" + folders.file("missing"), std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string name = c.entry.substr(0, c.entry.find('='));
        // Each with the asking user's id, which XDG_RUNTIME_DIR is checked against.
        std::vector<std::string> given{c.entry};
        if (name != "PKEXEC_UID") given.push_back("PKEXEC_UID=" + uid);
        EXPECT_EQ(valueOf(helperscaffold::rootAppEnvironment(given), name), c.kept) << c.entry;
    }

    // Another user's runtime folder is not taken; PATH and root's names are root's own.
    const std::vector<std::string> env = helperscaffold::rootAppEnvironment(
        {"PKEXEC_UID=" + uid, "XDG_RUNTIME_DIR=/run/user/0", "PATH=/home/u/bin:/usr/bin", "HOME=/home/u",
         "USER=u", "LOGNAME=u", "SHELL=/home/u/sh"});
    EXPECT_EQ(valueOf(env, "XDG_RUNTIME_DIR"), std::nullopt);
    EXPECT_EQ(valueOf(env, "PATH"), "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
    EXPECT_EQ(valueOf(env, "HOME"), "/root");
    EXPECT_EQ(valueOf(env, "USER"), "root");
    EXPECT_EQ(valueOf(env, "LOGNAME"), "root");
    EXPECT_EQ(valueOf(env, "SHELL"), std::nullopt);
}

TEST(ChooseActingUser, TakesTheAskingUserOnlyWhenAtTheScreen) {
    testsupport::TempRoot root("root-app-user", 0755);
    const std::string uid = std::to_string(nobodyUid());
    struct Case {
        const char* name;
        std::optional<std::string> pkexecUid;
        std::optional<std::string> console;  // signed in at the screen
        std::optional<std::string> actsFor;  // nothing: refused
        std::string refusal;
    };
    const std::vector<Case> cases{
        {"root started it itself", std::nullopt, "nobody", "root", ""},
        {"root through pkexec", "0", std::nullopt, "root", ""},
        {"the user at the screen", uid, "nobody", "nobody", ""},
        {"another user at the screen", uid, "root", std::nullopt, "is not the user at the screen (root)"},
        {"nobody at the screen", uid, std::nullopt, std::nullopt, "(nobody signed in)"},
        {"not a number", "12x", "nobody", std::nullopt, "PKEXEC_UID is not a user id"},
        {"out of range", "99999999999", "nobody", std::nullopt, "PKEXEC_UID is not a user id"},
        {"unknown id", "4000000000", "nobody", std::nullopt, "no account for user id 4000000000"},
    };
    for (const Case& c : cases) {
        fs::remove_all(root.file("run"));
        if (c.console) root.signInAtScreen(*c.console);
        std::string refusal;
        std::optional<ActingUser> user = helperscaffold::chooseActingUser(c.pkexecUid, &refusal);
        if (!c.actsFor) {
            EXPECT_FALSE(user) << c.name;
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.name << ": " << refusal;
            continue;
        }
        ASSERT_TRUE(user) << c.name << ": " << refusal;
        EXPECT_EQ(user->name, *c.actsFor) << c.name;
        EXPECT_EQ(user->home, paths::homeFolder(*c.actsFor).value()) << c.name;
        EXPECT_EQ(user->home.rfind(root.path(), 0), 0u) << "the home lies under the product's root";
    }
}

}  // namespace
