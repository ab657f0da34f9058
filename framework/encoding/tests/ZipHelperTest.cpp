#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "framework/encoding/MD5.h"
#include "framework/encoding/ZipHelper.h"
#include "tests/support/TempRoot.h"

using calix::ZipHelper;

extern char** environ;

namespace {

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = gen();
        for (int k = 0; k < 8; ++k) out[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    return out;
}

// Compresses with zlib directly; windowBits 15 gives a zlib wrapper, 31 a gzip one.
std::vector<uint8_t> zlibCompress(const std::vector<uint8_t>& data, int windowBits) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> out(deflateBound(&s, data.size()));
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// A gzip stream of `size` zero bytes, built without holding the zeros in memory (fastest level: it
// deflates and inflates several times faster than the default on such input).
std::vector<uint8_t> gzipOfZeros(size_t size) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, Z_BEST_SPEED, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> zeros(1 << 20);
    std::vector<uint8_t> out;
    std::vector<uint8_t> chunk(1 << 16);
    size_t left = size;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        const size_t chunkSize = std::min(left, zeros.size());
        s.next_in = zeros.data();
        s.avail_in = static_cast<uInt>(chunkSize);
        left -= chunkSize;
        do {
            s.next_out = chunk.data();
            s.avail_out = static_cast<uInt>(chunk.size());
            rc = deflate(&s, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            out.insert(out.end(), chunk.data(), s.next_out);
        } while (s.avail_out == 0 || (left == 0 && rc == Z_OK));
    }
    deflateEnd(&s);
    return out;
}

struct Run {
    int status = -1;
    std::string output;
};

// Runs argv (no shell) and collects its standard output, killing it after `timeout`.
Run runProgram(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    Run run;
    int fds[2];
    if (pipe(fds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        run.output.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class calix_encoding_ZipHelperFiles : public ::testing::Test {
  protected:

    std::string writeFile(const std::string& name, const std::vector<uint8_t>& data) {
        const auto path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return path;
    }
    std::vector<uint8_t> readFile(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    testsupport::TempFolder tmp_{"calix_encoding_zip"};
    std::filesystem::path dir_ = tmp_.path();
};

TEST_F(calix_encoding_ZipHelperFiles, EightMiBOfRandomDataRoundTripsAsRealGzip) {
    const auto data = randomBytes(8u << 20, 42);
    const auto gz = ZipHelper::gzipData(data);
    ASSERT_TRUE(gz);
    EXPECT_GT(gz->size(), data.size());  // incompressible: the old fixed buffer was too small for this
    EXPECT_EQ(ZipHelper::ungzipData(*gz), data);

    // Python's gzip module reads our stream (header, CRC and length checked) ...
    const auto ours = writeFile("ours.gz", *gz);
    const auto check = runProgram({RAVAVIZA_PYTHON, "-c",
                                   "import gzip,hashlib,sys\n"
                                   "d=gzip.open(sys.argv[1]).read()\n"
                                   "print(hashlib.sha256(d).hexdigest(), len(d))",
                                   ours},
                                  std::chrono::seconds(60));
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output, MD5::sha256HexDisgest(data) + " " + std::to_string(data.size()) + "\n");

    // ... and we read its.
    const auto plain = writeFile("plain", data);
    const auto theirs = (dir_ / "theirs.gz").string();
    const auto write =
        runProgram({RAVAVIZA_PYTHON, "-c",
                    "import gzip,sys\n"
                    "open(sys.argv[2],'wb').write(gzip.compress(open(sys.argv[1],'rb').read()))",
                    plain, theirs},
                   std::chrono::seconds(60));
    ASSERT_EQ(write.status, 0);
    EXPECT_EQ(ZipHelper::ungzipData(readFile("theirs.gz")), data);
}

TEST(calix_encoding_ZipHelper, OneByteRoundTrips) {
    const std::vector<uint8_t> one{'x'};
    const auto gz = ZipHelper::gzipData(one);
    ASSERT_TRUE(gz);
    ASSERT_GE(gz->size(), 18u);
    EXPECT_EQ((*gz)[0], 0x1f);
    EXPECT_EQ((*gz)[1], 0x8b);
    EXPECT_EQ((*gz)[2], 8);  // deflate
    EXPECT_EQ(ZipHelper::ungzipData(*gz), one);
}

TEST(calix_encoding_ZipHelper, LogsToTheSystemLog) {
    // LOG_PERROR copies each system log line to standard error, where the test can read it.
    openlog("calix_encoding_tests", LOG_PERROR, LOG_USER);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ZipHelper::gzipData({}));
    EXPECT_TRUE(ZipHelper::gzipData(std::vector<uint8_t>(4096, 'a')));
    const std::string log = testing::internal::GetCapturedStderr();
    openlog(nullptr, 0, LOG_USER);  // drop LOG_PERROR again
    closelog();
    EXPECT_THAT(log, testing::HasSubstr(
                         "+[ZipHelper gzipData:]:Error:Can't compress an empty or null NSdata object."));
    EXPECT_THAT(log, testing::HasSubstr("+[ZipHelper gzipData:]:Compressed file form 4 KB to 0 KB"));
}

TEST(calix_encoding_ZipHelper, InflatesZlibAndGzipWrappers) {
    const auto data = randomBytes(100000, 3);
    EXPECT_EQ(ZipHelper::ungzipData(zlibCompress(data, 15)), data);
    EXPECT_EQ(ZipHelper::ungzipData(zlibCompress(data, 31)), data);
    const std::vector<uint8_t> text(300000, 'z');  // inflates to many times the input size
    EXPECT_EQ(ZipHelper::ungzipData(zlibCompress(text, 15)), text);
    EXPECT_EQ(ZipHelper::ungzipData(zlibCompress({}, 31)), std::vector<uint8_t>{});

    const auto empty = ZipHelper::ungzipData({});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(calix_encoding_ZipHelper, DamagedStreamsGiveNothing) {
    const auto data = randomBytes(5000, 5);
    const auto gz = *ZipHelper::gzipData(data);
    struct Case {
        const char* what;
        std::vector<uint8_t> input;
    } cases[] = {
        {"last byte missing", {gz.begin(), gz.end() - 1}},
        {"trailer missing", {gz.begin(), gz.end() - 8}},
        {"half missing", {gz.begin(), gz.begin() + gz.size() / 2}},
        {"header only", {gz.begin(), gz.begin() + 10}},
        {"not compressed", data},
        {"one byte", {0x1f}},
    };
    std::vector<uint8_t> badCrc = gz;
    badCrc[badCrc.size() - 6] ^= 0xFF;
    for (const auto& c : cases) EXPECT_FALSE(ZipHelper::ungzipData(c.input)) << c.what;
    EXPECT_FALSE(ZipHelper::ungzipData(badCrc)) << "checksum";
}

TEST(calix_encoding_ZipHelper, RefusesStreamsThatInflatePastTheLimit) {
    const std::vector<uint8_t> data(1000, 'q');
    const auto gz = *ZipHelper::gzipData(data);
    struct Case {
        size_t limit;
        bool accepted;
    } cases[] = {{999, false}, {1000, true}, {1001, true}, {0, false}};
    for (const auto& c : cases)
        EXPECT_EQ(ZipHelper::ungzipData(gz, c.limit).has_value(), c.accepted) << c.limit;

    // About a MiB that would inflate to more than the default limit.
    const auto bomb = gzipOfZeros(ZipHelper::kMaxInflatedSize + 4096);
    ASSERT_LT(bomb.size(), 2u << 20);
    EXPECT_FALSE(ZipHelper::ungzipData(bomb));
}

}  // namespace
