#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/core/FileIO.h"
#include "tests/support/TempRoot.h"

namespace {

class FileIOTest : public ::testing::Test {
  protected:
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& path, const std::string& text) const { std::ofstream(path) << text; }
    size_t entries() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_), {}));
    }
    static std::string text(const std::optional<std::vector<uint8_t>>& bytes) {
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<none>";
    }

    testsupport::TempFolder tmp_{"platform_core"};
    std::string dir_ = tmp_.path();
};

TEST_F(FileIOTest, ReadUserFileRefusesWhatAUserCouldPlantThere) {
    write(file("plain"), "0123456789");
    ASSERT_EQ(::symlink(file("plain").c_str(), file("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(file("folder").c_str(), 0700), 0);

    struct Case {
        const char* name;
        std::string path;
        std::optional<uid_t> owner;
        size_t maxBytes;
        bool readable;
    };
    const Case cases[] = {
        {"regular file of its owner", file("plain"), ::geteuid(), 10, true},
        {"any owner when none is required", file("plain"), std::nullopt, 10, true},
        {"one byte over the cap", file("plain"), std::nullopt, 9, false},
        {"symlink to a readable file", file("link"), std::nullopt, 100, false},
        {"FIFO, which must not block", file("fifo"), std::nullopt, 100, false},
        {"directory", file("folder"), std::nullopt, 100, false},
        {"missing", file("missing"), std::nullopt, 100, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = fileio::readUserFile(c.path, c.owner, c.maxBytes);
        EXPECT_EQ(bytes.has_value(), c.readable) << text(bytes);
        if (c.readable) {
            EXPECT_EQ(text(bytes), "0123456789");
        }
    }
}

TEST_F(FileIOTest, ReadUserFileRefusesAnotherOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    write(file("theirs"), "data");
    ASSERT_EQ(::chown(file("theirs").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(fileio::readUserFile(file("theirs"), 0, 100));
    EXPECT_EQ(text(fileio::readUserFile(file("theirs"), 65534, 100)), "data");
}

TEST_F(FileIOTest, ReadFileIsCappedAndDoesNotBlockOnAFifo) {
    write(file("plain"), "abc");
    EXPECT_EQ(text(fileio::readFile(file("plain"), 3)), "abc");
    EXPECT_FALSE(fileio::readFile(file("plain"), 2));
    ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
    auto fifo = fileio::readFile(file("fifo"), 100);  // returns at once, with nothing to read
    EXPECT_TRUE(!fifo || fifo->empty());
}

TEST_F(FileIOTest, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
    std::string path = file("state");
    write(path, "old content that is longer");
    ASSERT_TRUE(fileio::writeFileAtomically(path, std::string("new"), 0600));
    EXPECT_EQ(text(fileio::readFile(path, 100)), "new");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(entries(), 1u);

    // A symlink at the path is replaced, not written through.
    write(file("target"), "untouched");
    ASSERT_EQ(::symlink(file("target").c_str(), file("link").c_str()), 0);
    ASSERT_TRUE(fileio::writeFileAtomically(file("link"), std::string("replaced")));
    EXPECT_EQ(text(fileio::readFile(file("target"), 100)), "untouched");
    EXPECT_EQ(text(fileio::readUserFile(file("link"), std::nullopt, 100)), "replaced");

    // A failed write leaves neither the old file changed nor a temporary behind.
    EXPECT_FALSE(fileio::writeFileAtomically(file("missing/state"), std::string("x")));
    ASSERT_EQ(::mkdir(file("busy").c_str(), 0700), 0);
    EXPECT_FALSE(fileio::writeFileAtomically(file("busy"), std::string("x")));  // a directory is there
    EXPECT_EQ(entries(), 4u);                                                   // state, target, link, busy
}

TEST_F(FileIOTest, StaleTemporariesOfOursAreRemovedAndNothingElse) {
    timespec start{};
    ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &start), 0);
    const timespec before{start.tv_sec - 60, 0}, after{start.tv_sec + 60, 0};
    auto plant = [&](const std::string& name, const timespec& mtime) {
        write(file(name), "partial");
        const timespec times[2] = {mtime, mtime};
        ASSERT_EQ(::utimensat(AT_FDCWD, file(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
    };
    struct Case {
        const char* what;
        std::string name;
        timespec mtime;
        bool removed;
    };
    const Case cases[] = {
        {"left by a killed writer", "cmd.archive.tmp.Ab12Cd", before, true},
        {"another killed writer", "HollinLogInfo.data.tmp.zzzzzz", before, true},
        {"being written since the start", "config.archive.tmp.Xy34Zw", after, false},
        {"the state file itself", "cmd.archive", before, false},
        {"five-letter suffix", "cmd.archive.tmp.Ab12C", before, false},
        {"seven-letter suffix", "cmd.archive.tmp.Ab12Cde", before, false},
        {"suffix with a mark", "cmd.archive.tmp.Ab1-Cd", before, false},
        {"no name before the suffix", ".tmp.Ab12Cd", before, false},
    };
    for (const auto& c : cases) plant(c.name, c.mtime);

    // Entries that match the pattern but are not files we made.
    write(file("outside"), "keep me");
    ASSERT_EQ(::symlink(file("outside").c_str(), file("link.tmp.Ab12Cd").c_str()), 0);
    ASSERT_EQ(::mkdir(file("folder.tmp.Ab12Cd").c_str(), 0700), 0);
    bool foreignOwner = false;
    if (::geteuid() == 0) {
        plant("theirs.tmp.Ab12Cd", before);
        ASSERT_EQ(::chown(file("theirs.tmp.Ab12Cd").c_str(), 65534, 65534), 0);
        foreignOwner = true;
    }

    EXPECT_EQ(fileio::removeStaleTemporaries(dir_, start), 2u);
    for (const auto& c : cases) {
        EXPECT_EQ(std::filesystem::exists(file(c.name)), !c.removed) << c.what;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(file("link.tmp.Ab12Cd")));
    EXPECT_EQ(text(fileio::readFile(file("outside"), 100)), "keep me");
    EXPECT_TRUE(std::filesystem::is_directory(file("folder.tmp.Ab12Cd")));
    if (foreignOwner) {
        EXPECT_TRUE(std::filesystem::exists(file("theirs.tmp.Ab12Cd")));
    }
}

TEST_F(FileIOTest, StaleTemporariesAreNotSoughtThroughASymlinkedFolder) {
    ASSERT_EQ(::mkdir(file("real").c_str(), 0700), 0);
    write(file("real/cmd.archive.tmp.Ab12Cd"), "partial");
    const timespec old[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file("real/cmd.archive.tmp.Ab12Cd").c_str(), old, 0), 0);
    ASSERT_EQ(::symlink(file("real").c_str(), file("alias").c_str()), 0);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    EXPECT_EQ(fileio::removeStaleTemporaries(file("alias"), now), 0u);
    EXPECT_TRUE(std::filesystem::exists(file("real/cmd.archive.tmp.Ab12Cd")));
    EXPECT_EQ(fileio::removeStaleTemporaries(file("missing"), now), 0u);
    EXPECT_EQ(fileio::removeStaleTemporaries(file("real"), now), 1u);
}

TEST_F(FileIOTest, CountedWriteReportsHowFarAFullFileGot) {
    // /dev/full refuses every byte, like a disk with no space left.
    int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const std::string bytes = "one line\n";
    int error = 0;
    EXPECT_EQ(fileio::writeCounted(
                  fd, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
                  &error),
              0u);
    EXPECT_EQ(error, ENOSPC);
    ::close(fd);
}

}  // namespace
