// blesshelper LABEL HELPER: installs an app's privileged helper, run as root by pkexec once an
// administrator has agreed. It copies the helper program into the privileged-helper folder,
// writes the job file the helper carries (with the installed program added) into LaunchDaemons
// and loads it into launchd, replacing a job of that label that ran before.
//   --root DIR   the product's root (pkexec passes no environment on)
// Exit statuses: 0 installed; 2 usage; 3 not root; 4 the helper is unreadable, not the label's
// or its job list holds a control character; 5 it could not be installed; 6 launchd did not load it.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "EmbeddedPlist.h"
#include "platform/archive/Plist.h"
#include "platform/core/FileIO.h"
#include "platform/core/LineText.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "platform/tools/ToolMain.h"

namespace {

constexpr size_t kMaxHelperBytes = 64u << 20;

bool validLabel(const std::string& label) {
    if (label.empty() || label.size() > 200 || label[0] == '.') return false;
    for (char c : label) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')) return false;
    }
    return true;
}

int fail(int status, const std::string& text) {
    std::fprintf(stderr, "blesshelper: %s\n", text.c_str());
    return status;
}

// Whether every key and string of a job list is one line of text: the job file is XML, which
// cannot hold most control characters, and launchd keeps the label in a line-based record.
bool linesOfText(const archive::Value& value) {
    if (const std::string* s = value.string()) return linetext::lineSafe(*s);
    if (const archive::Array* a = value.array()) {
        for (const archive::Value& item : *a) {
            if (!linesOfText(item)) return false;
        }
    }
    if (const archive::Dictionary* d = value.dictionary()) {
        for (const auto& [key, item] : *d) {
            if (!linetext::lineSafe(key) || !linesOfText(item)) return false;
        }
    }
    return true;
}

std::string textOf(const archive::Value& plist, const char* key) {
    const archive::Value* v = plist.find(key);
    return v && v->string() ? *v->string() : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = tooling::answerHelpOrVersion(argc, argv, "blesshelper",
                                                     "usage: blesshelper [--root DIR] LABEL HELPER\n"))
        return *answered;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--root") {
        ::setenv("RAVAVIZA_ROOT", args[1].c_str(), 1);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 2) return fail(2, "usage: blesshelper [--root DIR] LABEL HELPER");
    const std::string& label = args[0];
    const std::string& source = args[1];
    if (!validLabel(label)) return fail(2, "invalid label " + label);
    if (::geteuid() != 0) return fail(3, "must run as root");

    std::optional<archive::Value> job =
        helperscaffold::embeddedPlist(source, helperscaffold::kLaunchdPlistSection);
    std::optional<archive::Value> info =
        helperscaffold::embeddedPlist(source, helperscaffold::kInfoPlistSection);
    if (!job || !job->dictionary() || !info || textOf(*job, "Label") != label ||
        textOf(*info, "CFBundleIdentifier") != label)
        return fail(4, source + " is not the helper " + label);
    std::optional<std::vector<uint8_t>> program = fileio::readFile(source, kMaxHelperBytes);
    if (!program) return fail(4, "cannot read " + source);

    std::error_code ec;
    for (const std::string& folder : {paths::privilegedHelperFolder(), paths::launchDaemonsFolder()}) {
        std::filesystem::create_directories(folder, ec);
    }
    const std::string installed = paths::installedHelper(label);
    const std::string jobFile = paths::helperJobFile(label);
    archive::Dictionary jobKeys = *job->dictionary();
    jobKeys["Program"] = installed;
    jobKeys["ProgramArguments"] = archive::Array{installed};
    if (!linesOfText(jobKeys))
        return fail(4, "the job list of " + source + " holds text that is not one line");
    if (!fileio::writeFileAtomically(installed, *program, 0755)) return fail(5, "cannot write " + installed);
    std::optional<archive::Data> bytes = archive::serializePlist(jobKeys, archive::PlistFormat::Xml);
    if (!bytes || !fileio::writeFileAtomically(jobFile, *bytes, 0644))
        return fail(5, "cannot write " + jobFile);

    // A job of this label that ran an older helper ends first, so the next client starts the new one.
    launchd::client::unload(jobFile);
    launchd::Reply loaded = launchd::client::load(jobFile);
    if (!loaded.ok()) return fail(6, "cannot load " + jobFile + ": " + loaded.message);
    return 0;
}
