#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "proto/ZemRequest.h"
#include "proto/ZemResponse.h"
#include "proto/ZemUrlEncode.h"

using zem::ZemRequest;
using zem::ZemResponse;
using zem::ZemUrlEncode;

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

std::vector<uint8_t> allByteValues() {
    std::vector<uint8_t> out;
    for (int i = 0; i < 256; ++i) out.push_back(static_cast<uint8_t>(i));
    return out;
}

std::string serialized(const ZemV5Root& root) {
    std::string out;
    root.SerializeToString(&out);
    return out;
}

}  // namespace

TEST(serverlink_proto_UrlEncode, RoundTripGivesExactlyTheBytesWithoutATrailingZero) {
    const std::vector<std::vector<uint8_t>> cases = {
        {}, bytes("AZaz09"), bytes("a b+c%d&e=f-._~"), {0x00, 0x00, 0x08, 0xE8, 0x07, 0x00}, allByteValues(),
    };
    for (const auto& input : cases) {
        std::string text = ZemUrlEncode::urlencodWithData(input);
        ASSERT_EQ(text.find('\0'), std::string::npos);
        for (char c : text) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '%') << text;
        size_t len = 99;
        std::vector<uint8_t> decoded = ZemUrlEncode::urldecode(text, &len);
        EXPECT_EQ(decoded, input);
        EXPECT_EQ(len, input.size());
    }
}

TEST(serverlink_proto_UrlEncode, EscapesEverythingButLettersAndDigitsInUpperCaseHex) {
    EXPECT_EQ(ZemUrlEncode::urlencodWithData(std::string_view("aZ9-._~ /\xff")), "aZ9%2D%2E%5F%7E%20%2F%FF");
}

TEST(serverlink_proto_UrlEncode, DecodingKeepsWhatIsNoEscape) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"a+b", "a+b"},        // no form decoding: "+" is not a space
        {"%41%4a%4A", "AJJ"},  // either case of hex digit
        {"%G1%", "%G1%"},      // not an escape
        {"ab%4", "ab%4"},      // cut short at the end
        {"%00x", std::string("\0x", 2)},
    };
    for (const auto& c : cases) {
        size_t len = 0;
        auto decoded = ZemUrlEncode::urldecode(c.text, &len);
        EXPECT_EQ(std::string(decoded.begin(), decoded.end()), c.expected) << c.text;
        EXPECT_EQ(len, c.expected.size()) << c.text;
    }
    EXPECT_TRUE(ZemUrlEncode::urldecode("%41", nullptr) == bytes("A"));
}

TEST(serverlink_proto_Request, HeadCarriesTheProcessUserAndDataIsTheSerializedRoot) {
    ZemRequest request;
    EXPECT_EQ(request.msgHead(), request.msgHead());
    const ZemRequest& constRequest = request;
    request.generateMsgHead();
    ASSERT_NE(constRequest.msgHead(), nullptr);
    passwd* pw = ::getpwuid(::geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(constRequest.msgHead()->username(), pw->pw_name);

    request.msgHead()->set_action(5002);
    EXPECT_EQ(constRequest.reqMsgBody(), nullptr);
    ReqMsgBody body;
    PolicyContGetMsgReq typed;
    typed.add_reqpolicyidarray(int64_t{1} << 40);
    *body.MutableExtension(ZemV5Root::policyContGetMsgReqBody) = typed;
    request.setReqMsgBody(body);
    ASSERT_TRUE(request.buildData());

    ZemV5Root parsed;
    ASSERT_TRUE(parsed.ParseFromString(request.data()));
    EXPECT_EQ(parsed.msghead().action(), 5002);
    ASSERT_TRUE(parsed.reqmsgbody().HasExtension(ZemV5Root::policyContGetMsgReqBody));
    EXPECT_EQ(parsed.reqmsgbody().GetExtension(ZemV5Root::policyContGetMsgReqBody).reqpolicyidarray(0),
              int64_t{1} << 40);
}

TEST(serverlink_proto_Request, GeneratingTheHeadAgainStartsFromAnEmptyHead) {
    ZemRequest request;
    request.msgHead()->set_userid("u-1");
    request.generateMsgHead();
    EXPECT_FALSE(request.msgHead()->has_userid());
}

TEST(serverlink_proto_Response, ParsesHeadAndGenericBody) {
    ZemV5Root root;
    root.mutable_msghead()->set_action(6000);
    root.mutable_msghead()->set_retcode(7);
    root.mutable_msgrspbody()
        ->MutableExtension(ZemV5Root::configGetMsgRspBody)
        ->add_configitemsarray()
        ->set_value("x");
    std::string wire = serialized(root);
    ZemResponse response(bytes(wire));
    EXPECT_EQ(response.msgHead(), nullptr);  // nothing before parsing
    ASSERT_TRUE(response.parseData());
    ASSERT_NE(response.msgHead(), nullptr);
    EXPECT_EQ(response.msgHead()->retcode(), 7);
    ASSERT_NE(response.msgRspBody(), nullptr);
    EXPECT_TRUE(response.msgRspBody()->HasExtension(ZemV5Root::configGetMsgRspBody));
    EXPECT_EQ(response.responseMsg(), nullptr);  // the base class picks no typed reply
}

TEST(serverlink_proto_Response, RejectsGarbageTruncatedAndOversizedInput) {
    ZemV5Root root;
    root.mutable_msghead()->set_zemver("5.2.1.3");
    root.mutable_msgrspbody()
        ->MutableExtension(ZemV5Root::updateMsgRspBody)
        ->set_updateurl(std::string(300, 'u'));
    std::string wire = serialized(root);

    // A well-formed message just over the cap: one long string in the head.
    ZemV5Root big;
    big.mutable_msghead()->set_zemver(std::string(ZemResponse::kMaxReplyBytes, 'v'));
    std::vector<uint8_t> oversized = bytes(serialized(big));
    const std::vector<std::vector<uint8_t>> cases = {
        bytes(wire.substr(0, wire.size() - 1)),  // cut inside the body
        bytes(wire.substr(0, 5)),                // cut inside the head
        bytes("not a protobuf message at all"),
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},  // overlong varint tag
        {0x1A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F},                                // body length far past the end
        oversized,
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        ZemResponse response(cases[i]);
        EXPECT_FALSE(response.parseData()) << "case " << i;
        EXPECT_EQ(response.msgHead(), nullptr) << "case " << i;
        EXPECT_EQ(response.msgRspBody(), nullptr) << "case " << i;
    }
}

TEST(serverlink_proto_Response, EmptyReplyIsAnEmptyRootWithoutHeadOrBody) {
    ZemResponse response({});
    ASSERT_TRUE(response.parseData());
    EXPECT_EQ(response.msgHead(), nullptr);
    EXPECT_EQ(response.msgRspBody(), nullptr);
}
