#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "OpenSslReference.h"
#include "common/cipher/StringExtension.h"
#include "common/cipher/WqAlgorithmSM4.h"
#include "framework/encoding/Base64.h"
#include "framework/encoding/UrlEncode.h"

using common::WqAlgorithmSM4;
using common::kAESCBCIv;
using common::kDefaultAESKey;
using common::kLoginTicketKey;

extern char** environ;

using namespace cipher_test;

namespace {

Bytes unbase64(const std::optional<std::string>& text) {
    if (!text) return {};
    return Base64::dataWithBase64EncodedString(*text).value_or(Bytes{});
}

std::string base64(const Bytes& data) {
    return Base64::base64EncodedStringWithWrapWidth(data, 64).value_or("");
}

// Runs a program with an argument vector and returns its standard output, or nothing when it cannot
// start, runs past the deadline (it is killed) or exits unsuccessfully.
std::optional<std::string> runProgram(const std::vector<std::string>& argv, std::chrono::seconds deadline) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return std::nullopt;
    }
    std::string out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    bool timedOut = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return out;
}

TEST(common_cipher_AesCbcHelpers, DefaultKeyAndFixedIvMatchOpenSsl) {
    std::mt19937 rng(3);
    const Bytes key = bytesOf(kDefaultAESKey);
    const Bytes iv = bytesOf(kAESCBCIv);
    for (size_t n : {0, 1, 15, 16, 17, 31, 32, 33, 100, 1000, 4096}) {
        SCOPED_TRACE(n);
        const Bytes plain = randomBytes(rng, n);
        const auto sealed = WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(plain);
        const Bytes cipher = unbase64(sealed);
        EXPECT_EQ(cipher.size(), n + 16 - n % 16);
        EXPECT_EQ(cipher, evp(EVP_aes_128_cbc(), key, iv.data(), true, true, plain));
        EXPECT_EQ(WqAlgorithmSM4::DecodeAES(cipher), plain);
    }
    // A fixed answer, so a change to the key, the IV or the padding shows even if OpenSSL changed too.
    const std::string json = R"({"a":1})";
    EXPECT_EQ(WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(bytesOf(json)), "SnLfOdmrLwFGrXtOz6EffA==");
}

TEST(common_cipher_AesCbcHelpers, KeyLengthSelectsTheAesSize) {
    const Bytes plain = bytesOf("key size check");
    const Bytes iv = bytesOf(kAESCBCIv);
    const struct {
        std::string key;
        const EVP_CIPHER* cipher;
    } cases[] = {
        {"0123456789abcdef", EVP_aes_128_cbc()},
        {"0123456789abcdef01234567", EVP_aes_192_cbc()},
        {"0123456789abcdef0123456789abcdef", EVP_aes_256_cbc()},
        {"", nullptr},
        {"0123456789abcde", nullptr},
        {"0123456789abcdef0", nullptr},
        {"0123456789abcdef0123456789abcdef0", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const auto sealed = WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(plain, c.key);
        if (!c.cipher) {
            EXPECT_FALSE(sealed.has_value());
            continue;
        }
        EXPECT_EQ(unbase64(sealed), evp(c.cipher, bytesOf(c.key), iv.data(), true, true, plain));
    }
}

TEST(common_cipher_AesCbcHelpers, EncryptionMatchesPythonCryptography) {
    std::mt19937 rng(5);
    std::vector<Bytes> plains;
    std::vector<std::string> argv = {RAVAVIZA_PYTHON,
                                     RAVAVIZA_TEST_SOURCE_DIR "/common/cipher/tests/aes_cbc_check.py",
                                     std::string(kDefaultAESKey), std::string(kAESCBCIv)};
    for (size_t n : {1, 15, 16, 17, 64, 333}) {
        plains.push_back(randomBytes(rng, n));
        argv.push_back(UrlEncode::convertDataToHexStr(plains.back()));
    }
    const auto out = runProgram(argv, std::chrono::seconds(60));
    ASSERT_TRUE(out.has_value()) << "the Python check did not run";
    std::istringstream lines(*out);
    for (const auto& plain : plains) {
        SCOPED_TRACE(plain.size());
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        const Bytes cipher = unbase64(WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(plain));
        EXPECT_EQ(UrlEncode::convertDataToHexStr(cipher), expected);
        EXPECT_EQ(WqAlgorithmSM4::DecodeAES(UrlEncode::stringFromHexString(expected)), plain);
    }
}

TEST(common_cipher_AesCbcHelpers, DecodeReadsWholeBlocksAndRejectsBadInput) {
    const Bytes plain = bytesOf("twenty bytes of text");
    Bytes cipher = unbase64(WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(plain));
    ASSERT_EQ(cipher.size(), 32u);

    // A trailing partial block is ignored; less than one block is empty data.
    Bytes withTail = cipher;
    withTail.insert(withTail.end(), {1, 2, 3});
    EXPECT_EQ(WqAlgorithmSM4::DecodeAES(withTail), plain);
    EXPECT_EQ(WqAlgorithmSM4::DecodeAES(Bytes(15, 9)), Bytes{});
    EXPECT_EQ(WqAlgorithmSM4::DecodeAES(Bytes{}), Bytes{});
    // Only the first 16 bytes of a longer key count.
    EXPECT_EQ(WqAlgorithmSM4::DecodeAES(cipher, std::string(kDefaultAESKey) + "ignored"), plain);

    const Bytes key = bytesOf(kDefaultAESKey);
    const Bytes iv = bytesOf(kAESCBCIv);
    const struct {
        const char* name;
        Bytes data;
        std::optional<std::string> key;
    } cases[] = {
        {"key under 16 bytes", cipher, "fifteen-bytes!!"},
        {"empty key", cipher, ""},
        {"padding byte 0", *evp(EVP_aes_128_cbc(), key, iv.data(), true, false, Bytes(16, 0)), std::nullopt},
        {"padding byte 17", *evp(EVP_aes_128_cbc(), key, iv.data(), true, false, Bytes(32, 17)),
         std::nullopt},
        {"padded bytes differ",
         *evp(EVP_aes_128_cbc(), key, iv.data(), true, false,
              [] {
                  Bytes b(16, 0);
                  b[15] = 4;
                  return b;
              }()),
         std::nullopt},
        {"wrong key", cipher, "another-key-0123"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(WqAlgorithmSM4::DecodeAES(c.data, c.key).has_value());
    }
}

TEST(common_cipher_AesEcbStringPair, RoundTripsAndMatchesAKnownAnswer) {
    const std::string texts[] = {
        "", "a", "a1b2c3-ticket", "exactly sixteen!", "Hello, 世界 ✓", std::string(200, 'q')};
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        const auto sealed = Extension::aes256_encrypt(text, kLoginTicketKey);
        ASSERT_TRUE(sealed.has_value());
        EXPECT_EQ(UrlEncode::aes256_decrypt(*sealed, kLoginTicketKey), text);
    }
    EXPECT_EQ(UrlEncode::aes256_encrypt("a1b2c3-ticket", "tavlorine"), "qhw541HuOK+vT3bwEddKKQ==");
    // Line breaks and other characters outside the alphabet are skipped when reading.
    EXPECT_EQ(UrlEncode::aes256_decrypt("qhw541Hu\r\nOK+vT3bw EddKKQ==\n", "tavlorine"), "a1b2c3-ticket");
}

TEST(common_cipher_AesEcbStringPair, KeyIsItsFirstSixteenBytesFilledWithZeros) {
    const std::string text = "key forms";
    const struct {
        std::string key;
        Bytes aesKey;
    } cases[] = {
        {"tavlorine",
         [] {
             Bytes k = bytesOf("tavlorine");
             k.resize(16, 0);
             return k;
         }()},
        {"", Bytes(16, 0)},
        {"0123456789abcdef", bytesOf("0123456789abcdef")},
        {"0123456789abcdef-and-more-than-32-bytes-of-key", bytesOf("0123456789abcdef")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(unbase64(UrlEncode::aes256_encrypt(text, c.key)),
                  evp(EVP_aes_128_ecb(), c.aesKey, nullptr, true, true, bytesOf(text)));
    }
    const auto sealed = UrlEncode::aes256_encrypt(std::string(100, 'w'), "k");
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(sealed->substr(64, 2), "\r\n");
}

TEST(common_cipher_AesEcbStringPair, BadInputGivesNothing) {
    const std::string good = *UrlEncode::aes256_encrypt("secret", "tavlorine");
    const Bytes key = [] {
        Bytes k = bytesOf("tavlorine");
        k.resize(16, 0);
        return k;
    }();
    const struct {
        const char* name;
        std::string text;
        std::string key;
    } cases[] = {
        {"empty", "", "tavlorine"},
        {"no alphabet characters", "!!!!", "tavlorine"},
        {"broken Base64 group", "QUJD=", "tavlorine"},
        {"not whole blocks", base64(Bytes(20, 7)), "tavlorine"},
        {"truncated", good.substr(0, good.size() - 4), "tavlorine"},
        {"wrong key", good, "tavlorinf"},
        {"padding byte 0", base64(*evp(EVP_aes_128_ecb(), key, nullptr, true, false, Bytes(16, 0))),
         "tavlorine"},
        {"result not UTF-8",
         base64(*evp(EVP_aes_128_ecb(), key, nullptr, true, true, Bytes{0xED, 0xA0, 0x80})), "tavlorine"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(UrlEncode::aes256_decrypt(c.text, c.key).has_value());
    }
    EXPECT_FALSE(UrlEncode::aes256_encrypt("\xC3\x28", "tavlorine").has_value());
}

}  // namespace
