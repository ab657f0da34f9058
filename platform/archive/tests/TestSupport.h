// Helpers for the archive tests: a bounded Python run and archive builders.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/archive/Plist.h"
#include "platform/archive/Value.h"

extern char** environ;

namespace archive {

// Shows values in failure messages as indented text.
inline void printValue(const Value& v, std::ostream& os, int indent) {
    std::string pad(static_cast<size_t>(indent) * 2, ' ');
    const auto& s = v.storage();
    if (v.isNull())
        os << "null";
    else if (auto b = std::get_if<bool>(&s))
        os << (*b ? "true" : "false");
    else if (auto i = std::get_if<int64_t>(&s))
        os << *i;
    else if (auto d = std::get_if<double>(&s))
        os << *d << "r";
    else if (auto str = v.string())
        os << '"' << *str << '"';
    else if (auto data = v.data())
        os << "<" << data->size() << " bytes>";
    else if (auto date = v.date())
        os << "date(" << std::fixed << date->secondsSince1970 << ")";
    else if (auto arr = v.array()) {
        os << "[\n";
        for (const auto& item : *arr) {
            os << pad << "  ";
            printValue(item, os, indent + 1);
            os << "\n";
        }
        os << pad << "]";
    } else if (auto dict = v.dictionary()) {
        os << "{\n";
        for (const auto& [k, item] : *dict) {
            os << pad << "  " << k << ": ";
            printValue(item, os, indent + 1);
            os << "\n";
        }
        os << pad << "}";
    } else if (auto obj = v.object()) {
        os << obj->className << " ";
        printValue(Value(obj->fields), os, indent);
    } else {
        os << "nil object";
    }
}

inline void PrintTo(const Value& v, std::ostream* os) {
    printValue(v, *os, 0);
}

}  // namespace archive

namespace archive::test {

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
using testsupport::readText;

inline Data readBytes(const std::string& path) {
    std::string s = readText(path);
    return Data(s.begin(), s.end());
}

struct RunResult {
    int exitCode = -1;   // -1 when the program could not start, timed out or died by a signal
    std::string output;  // stdout and stderr together
};

// Runs /usr/bin/python3 on a script with arguments; killed after the time-out.
inline RunResult runPython(const std::string& script, const std::vector<std::string>& args,
                           const std::string& outFile,
                           std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::vector<std::string> argv{RAVAVIZA_PYTHON, script};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    RunResult r;
    int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return r;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            r.output = readText(outFile) + "\n(timed out)";
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.output = readText(outFile);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    return r;
}

// Builders for archives written by hand: a reference in the XML form, which the decoder
// accepts as readily as a binary UID, and the archive around a list of "$objects".
inline Value uid(int64_t n) {
    return Dictionary{{"CF$UID", n}};
}

inline Value classDesc(const std::string& name, Array chain = {}) {
    if (chain.empty()) chain = {name, "NSObject"};
    return Dictionary{{"$classname", name}, {"$classes", std::move(chain)}};
}

inline Value keyedArchive(Array objects, int64_t root = 1) {
    return Dictionary{{"$archiver", "NSKeyedArchiver"},
                      {"$version", 100000},
                      {"$top", Dictionary{{"root", uid(root)}}},
                      {"$objects", std::move(objects)}};
}

inline std::shared_ptr<const Object> sharedRecord() {
    return std::make_shared<const Object>(
        Object{"ZemRecord", {{"name", "printer"}, {"port", 9100}, {"enabled", true}, {"ratio", 0.5}}});
}

// A state dictionary with every kind of value, a record shared by two keys and a nested record.
inline Value sampleState() {
    auto shared = sharedRecord();
    return Dictionary{
        {"user", "\xE6\x9D\x8E\xE9\x9B\xB7 \xF0\x9F\x98\x80"},
        {"count", -17},
        {"big", std::numeric_limits<int64_t>::min()},
        {"huge", std::numeric_limits<int64_t>::max()},
        {"ratio", 2.5},
        {"on", true},
        {"off", false},
        {"blob", Data{0, 0xff, 0x10}},
        {"none", Null{}},
        {"when", Date{1700000000.125}},
        {"servers", Array{"a.example", Array{1, 2, Array{}}, Dictionary{}}},
        {"nested", Dictionary{{"level", Dictionary{{"deeper", Array{Null{}, "x"}}}}}},
        {"first", Value(shared)},
        {"second", Value(shared)},
        {"record", Object{"ZemCMDModel",
                          {{"cmdId", 12},
                           {"args", Array{"-v", "x"}},
                           {"owner", Null{}},
                           {"$dollar", "kept"},
                           {"child", Object{"ZemRecord", {{"name", "inner"}}}}}}},
    };
}

}  // namespace archive::test
