// Recording stand-ins for the programs the domain-join pair runs, placed first on the search path
// (the product's tool folder under a temporary root). Each records its argument vector and what
// it read on standard input, and answers from files the test writes.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace jdtest {

class ToolFakes {
  public:
    explicit ToolFakes(const std::string& root) : root_(root) {
        std::filesystem::create_directories(paths::toolFolder());
        std::filesystem::create_directories(root_ + "/answers");
    }

    // A program that records "name [arg] [arg]..." and "stdin name: text", prints
    // answers/<name>.out and answers/<name>.err and exits with answers/<name>.status.
    void recorder(const std::string& name) { script(name, ""); }

    // The same with extra shell lines run after recording (they may answer and exit themselves).
    void script(const std::string& name, const std::string& body) {
        const std::string d = root_ + "/answers";
        std::string text =
            "#!/bin/sh\n"
            "{ printf '%s' '" +
            name +
            "'; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; "
            "printf '\\n'; } >> '" +
            root_ +
            "/calls'\n"
            "in=$(cat)\n"
            "[ -n \"$in\" ] && printf 'stdin " +
            name + ": %s\\n' \"$in\" >> '" + root_ + "/calls'\n" + body + "[ -f '" + d + "/" + name +
            ".out' ] && cat '" + d + "/" + name +
            ".out'\n"
            "[ -f '" +
            d + "/" + name + ".err' ] && cat '" + d + "/" + name +
            ".err' >&2\n"
            "[ -f '" +
            d + "/" + name + ".status' ] && exit $(cat '" + d + "/" + name +
            ".status')\n"
            "exit 0\n";
        testsupport::writeFile(paths::toolFolder() + "/" + name, text, 0755);
    }

    void answer(const std::string& name, const std::string& stream, const std::string& text) {
        testsupport::writeFile(root_ + "/answers/" + name + "." + stream, text);
    }

    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(root_ + "/calls");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::vector<std::string> callsOf(const std::string& name) const {
        std::vector<std::string> found;
        for (const std::string& line : calls()) {
            if (line.rfind(name + " ", 0) == 0 || line == name) found.push_back(line);
        }
        return found;
    }
    void clearCalls() const { std::filesystem::remove(root_ + "/calls"); }

  private:
    std::string root_;
};

// Collects log lines with their types.
class LogLines {
  public:
    void operator()(const std::string& text, unsigned type) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text, type);
    }
    bool has(const std::string& text, unsigned type) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.first == text && line.second == type) return true;
        }
        return false;
    }
    bool hasPrefix(const std::string& prefix, unsigned type) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.first.rfind(prefix, 0) == 0 && line.second == type) return true;
        }
        return false;
    }
    std::vector<std::pair<std::string, unsigned>> all() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, unsigned>> lines_;
};

}  // namespace jdtest
