#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/remote/RemoteMessageAssembler.h"

using hollin::RemoteMessageAssembler;

namespace {

std::string message(const std::string& url, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nUrl:" + url + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

const std::string kOne = message("/remote/Keepalive", "{}");
const std::string kTwo = message("/remote/ActiveServiceForMachine", R"({"DeviceID":"U","Activate":"1"})");

// Feeds the stream cut at the given points and returns every message and what is left pending.
std::vector<std::string> feed(RemoteMessageAssembler& a, const std::string& stream,
                              std::vector<size_t> cuts) {
    std::vector<std::string> out;
    size_t pos = 0;
    cuts.push_back(stream.size());
    for (size_t cut : cuts) {
        EXPECT_TRUE(a.append(std::string_view(stream).substr(pos, cut - pos), out));
        pos = cut;
    }
    return out;
}

TEST(RemoteMessageAssembler, AnyCuttingGivesTheSameWholeMessages) {
    const std::string stream = kOne + kTwo + kOne;
    const std::vector<std::string> expected{kOne, kTwo, kOne};
    struct Case {
        const char* name;
        std::vector<size_t> cuts;
    } cases[] = {
        {"one chunk", {}},
        {"header cut inside the blank line", {kOne.find("\r\n\r\n") + 2}},
        {"one whole and a part, then the rest", {kOne.size() + 10}},
        {"cut exactly between messages", {kOne.size(), kOne.size() + kTwo.size()}},
        {"body cut", {kOne.size() + kTwo.size() - 3}},
    };
    for (const auto& c : cases) {
        RemoteMessageAssembler a;
        EXPECT_EQ(feed(a, stream, c.cuts), expected) << c.name;
        EXPECT_EQ(a.pending(), 0u) << c.name;
    }
    RemoteMessageAssembler bytes;
    std::vector<size_t> every;
    for (size_t i = 1; i < stream.size(); ++i) every.push_back(i);
    EXPECT_EQ(feed(bytes, stream, every), expected);
}

TEST(RemoteMessageAssembler, TrailingPartIsKeptForTheNextRead) {
    RemoteMessageAssembler a;
    std::vector<std::string> out;
    ASSERT_TRUE(a.append(kOne + kTwo.substr(0, 20), out));
    EXPECT_EQ(out, std::vector<std::string>{kOne});
    EXPECT_EQ(a.pending(), 20u);
    ASSERT_TRUE(a.append(kTwo.substr(20), out));
    EXPECT_EQ(out, (std::vector<std::string>{kOne, kTwo}));
    EXPECT_EQ(a.pending(), 0u);
}

TEST(RemoteMessageAssembler, HeaderWithoutLengthIsAWholeMessage) {
    RemoteMessageAssembler a;
    std::vector<std::string> out;
    ASSERT_TRUE(a.append("A\r\n\r\nB\r\ncontent-length:\t3 \r\n\r\nxyz", out));
    EXPECT_EQ(out, (std::vector<std::string>{"A\r\n\r\n", "B\r\ncontent-length:\t3 \r\n\r\nxyz"}));
}

TEST(RemoteMessageAssembler, HostileStreamsBreakTheFramingAndHoldNothing) {
    const std::string longHeader = "X: " + std::string(RemoteMessageAssembler::kMaxHeaderLength + 10, 'a');
    const std::string cases[] = {
        longHeader,                                           // no header end within the cap
        longHeader + "\r\n\r\n",                              // a header end past the cap
        "X\r\nContent-Length: -1\r\n\r\n",                    // a sign
        "X\r\nContent-Length: 12abc\r\n\r\n",                 // trailing junk
        "X\r\nContent-Length:\r\n\r\n",                       // no digits
        "X\r\nContent-Length: 99999999999999999999\r\n\r\n",  // overflow
        "X\r\nContent-Length: " + std::to_string(RemoteMessageAssembler::kMaxBodyLength + 1) + "\r\n\r\n",
        "X\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",  // two lengths
    };
    for (const auto& stream : cases) {
        RemoteMessageAssembler a;
        std::vector<std::string> out;
        EXPECT_FALSE(a.append(kOne + stream, out)) << stream.substr(0, 60);
        EXPECT_EQ(out, std::vector<std::string>{kOne}) << "messages before the break still count";
        EXPECT_TRUE(a.broken());
        EXPECT_EQ(a.pending(), 0u);
        EXPECT_FALSE(a.append(kOne, out));  // stays broken until reset
        a.reset();
        out.clear();
        EXPECT_TRUE(a.append(kOne, out));
        EXPECT_EQ(out.size(), 1u);
    }
}

}  // namespace
