// Readers of raw HTTP replies: framing kind and lengths, chunk markers and chunk payloads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/messages/ZemHttpFraming.h"

namespace {

std::span<const uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

TEST(serverlink_messages_HttpFraming, FramingKindAndLengthsOfAReplyHead) {
    struct Case {
        std::string reply;
        int type;
        int64_t headLen;
        int64_t bodyLen;  // -1: not set
        int64_t exactCaseLength;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nbody", ZemHttpFraming::kFramedByLength, 39, 12, 12},
        {"HTTP/1.1 200 OK\r\ncontent-length:  7 \r\n\r\n", ZemHttpFraming::kFramedByLength, 40, 7, 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", ZemHttpFraming::kChunked, 66,
         -1, 3},
        {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\nabc", ZemHttpFraming::kNoLength, 30, -1, 0},
        {"no blank line at all", ZemHttpFraming::kNoLength, 24, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        int64_t headLen = -1, bodyLen = -1;
        EXPECT_EQ(ZemHttpFraming::getHTTPParseTypeAndReadHeadLen(bytes(c.reply), &headLen, &bodyLen), c.type);
        EXPECT_EQ(headLen, c.headLen);
        EXPECT_EQ(bodyLen, c.bodyLen);
        EXPECT_EQ(ZemHttpFraming::getReadDataHeadLength(bytes(c.reply)), c.headLen);
        int64_t head2 = -1;
        EXPECT_EQ(ZemHttpFraming::getReadDataBodyAndHeadlength(bytes(c.reply), &head2), c.exactCaseLength);
        EXPECT_EQ(head2, c.headLen);
    }
}

TEST(serverlink_messages_HttpFraming, ChunkMarkersAndPayloads) {
    const std::string first = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n";
    EXPECT_TRUE(ZemHttpFraming::isChunkedData(bytes(first)));
    EXPECT_FALSE(ZemHttpFraming::isChunkedDataReadEnd(bytes(first)));
    EXPECT_EQ(ZemHttpFraming::getChunkedBodyStringWithIsFirst(bytes(first), true), "hello");
    EXPECT_EQ(ZemHttpFraming::getChunkedBodyStringWithIsFirst(bytes(std::string("\r\n3\r\nabcdef")), false), "abc");
    // A size beyond the data takes what there is.
    EXPECT_EQ(ZemHttpFraming::getChunkedBodyStringWithIsFirst(bytes(std::string("\r\nff\r\nab")), false), "ab");
    const std::string end = "\r\n0\r\n\r\n";
    EXPECT_TRUE(ZemHttpFraming::isChunkedEndData(bytes(end)));
    EXPECT_TRUE(ZemHttpFraming::isChunkedDataReadEnd(bytes("x" + end)));
    EXPECT_EQ(ZemHttpFraming::getChunkedBodyStringWithIsFirst(bytes(end), false), "");

    int64_t bodyLen = -1;
    bool isEnd = false;
    auto payload =
        ZemHttpFraming::getChunkedBodyDataWithIsFirst(bytes(std::string("1a\r\npayload\r\n0\r\n\r\n")), true, &bodyLen, &isEnd);
    ASSERT_TRUE(payload);
    EXPECT_EQ(std::string(payload->begin(), payload->end()), "payload");
    EXPECT_EQ(bodyLen, 26);
    EXPECT_TRUE(isEnd);
    payload = ZemHttpFraming::getChunkedBodyDataWithIsFirst(bytes(std::string("more\r\n")), false, &bodyLen, &isEnd);
    ASSERT_TRUE(payload);
    EXPECT_EQ(std::string(payload->begin(), payload->end()), "more");
    EXPECT_FALSE(isEnd);
    EXPECT_FALSE(ZemHttpFraming::getChunkedBodyDataWithIsFirst(bytes(std::string("0\r\n\r\n")), false, nullptr, &isEnd));
}
