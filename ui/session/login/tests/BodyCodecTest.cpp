#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "common/cipher/WqAlgorithmSM4.h"
#include "framework/encoding/Base64.h"
#include "ui/session/login/BodyCodec.h"
#include "ui/session/login/JsonFields.h"
#include "ui/session/login/ZemUrlEncode.h"

using hux::Json;
using common::WqAlgorithmSM4;
namespace body = hux::ClientBody;

namespace {

std::span<const uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// AES-CBC under the default key and IV of arbitrary clear bytes, as wrapped Base64.
std::string encipher(const std::string& clear) {
    return WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(bytesOf(clear)).value();
}

}  // namespace

TEST(ClientBodyTest, EncodedBodyIsWrappedBase64OfAZlibStreamOfPrettyJson) {
    const Json params{{"userid", "alice"}, {"logintype", 1}, {"otp", "123456"}};
    const auto text = body::encryptResquestParams(params);
    ASSERT_TRUE(text);
    // 64-character lines joined by CR LF.
    size_t start = 0;
    for (size_t end; (end = text->find("\r\n", start)) != std::string::npos; start = end + 2) {
        EXPECT_EQ(end - start, 64u);
    }
    EXPECT_LE(text->size() - start, 64u);

    auto raw = Base64::dataWithBase64EncodedString(*text);
    ASSERT_TRUE(raw);
    auto clear = WqAlgorithmSM4::DecodeAES(*raw);
    ASSERT_TRUE(clear);
    ASSERT_GE(clear->size(), 2u);
    EXPECT_EQ((*clear)[0], 0x78) << "a zlib header, not gzip";
    auto json = hux::zipAndUnzip().gzipInflate(*clear);
    ASSERT_TRUE(json);
    const std::string jsonText(json->begin(), json->end());
    EXPECT_NE(jsonText.find('\n'), std::string::npos) << "pretty-printed";
    EXPECT_EQ(Json::parse(jsonText), params);
    EXPECT_EQ(body::decodeRequestBody(*text), params);
}

TEST(ClientBodyTest, ReplyFieldDecodesWithoutDecompressionAndAcceptsLineBreaks) {
    const Json field{{"domain", {{"auth_method", "3"}}}, {"list", {1, 2}}};
    std::string text = encipher(field.dump());
    EXPECT_EQ(body::decodeSM4(text), field);
    EXPECT_EQ(body::decodeSM4("\n" + text + "\r\n"), field);
}

TEST(ClientBodyTest, BadReplyFieldsGiveNothing) {
    const std::string valid = encipher("{\"a\":1}");
    std::string tampered = valid;
    const auto packed = hux::zipAndUnzip().gzipDeflate(bytesOf("{\"a\":1}")).value();
    const std::string compressed(packed.begin(), packed.end());
    tampered[5] = tampered[5] == 'A' ? 'B' : 'A';
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"not Base64", "%%%% !!!!"},
        {"Base64 of less than a block", Base64::base64EncodedString(std::string_view("short"))},
        {"damaged padding", tampered},
        {"not JSON", encipher("ticket=abc")},
        {"compressed JSON", encipher(compressed)},
        {"too long", std::string(body::kMaxEncodedBytes + 4, 'A')},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(body::decodeSM4(c.text)) << c.name;
    }
}

TEST(ClientBodyTest, InflateRefusesTruncatedStreamsAndBombsButTakesGzip) {
    const hux::zipAndUnzip zip;
    const std::string clear(5000, 'x');
    auto packed = zip.gzipDeflate(bytesOf(clear));
    ASSERT_TRUE(packed);
    EXPECT_EQ(zip.gzipInflate(*packed), std::vector<uint8_t>(clear.begin(), clear.end()));

    std::vector<uint8_t> truncated(packed->begin(), packed->end() - 3);
    EXPECT_FALSE(zip.gzipInflate(truncated));
    EXPECT_EQ(zip.gzipInflate({}), std::vector<uint8_t>{});
    EXPECT_EQ(zip.gzipDeflate({}), std::vector<uint8_t>{});

    // A gzip member of the same text.
    z_stream s{};
    ASSERT_EQ(deflateInit2(&s, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> gz(deflateBound(&s, clear.size()) + 32);
    s.next_in = const_cast<Bytef*>(bytesOf(clear).data());
    s.avail_in = static_cast<uInt>(clear.size());
    s.next_out = gz.data();
    s.avail_out = static_cast<uInt>(gz.size());
    ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    gz.resize(s.total_out);
    deflateEnd(&s);
    EXPECT_EQ(zip.gzipInflate(gz), std::vector<uint8_t>(clear.begin(), clear.end()));

    // 64 MiB of zeros packed into a few kilobytes.
    const std::string zeros(64u << 20, '\0');
    auto bomb = zip.gzipDeflate(bytesOf(zeros));
    ASSERT_TRUE(bomb);
    EXPECT_LT(bomb->size(), 100'000u);
    EXPECT_FALSE(zip.gzipInflate(*bomb));
    EXPECT_FALSE(body::decodeRequestBody(WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(*bomb).value()));
}

TEST(ClientBodyTest, QrTextKeepsOnlyLettersAndDigits) {
    const std::string text = "ab09 +=/\r\nZ";
    EXPECT_EQ(ZemUrlEncode::urlencodWithData(bytesOf(text)), "ab09%20%2B%3D%2F%0D%0AZ");
    EXPECT_EQ(ZemUrlEncode::urlencodWithData({}), "");
}

TEST(JsonFieldsTest, ReadsToleratesEveryShape) {
    const Json reply =
        Json::parse(R"({"ret":0,"s":"-7","f":2.0,"h":2.5,"t":"x","n":null,"o":{},"big":"12x"})");
    EXPECT_EQ(hux::fields::integer(reply, "ret"), 0);
    EXPECT_EQ(hux::fields::integer(reply, "s"), -7);
    EXPECT_EQ(hux::fields::integer(reply, "f"), 2);
    for (const char* key : {"h", "t", "n", "o", "big", "missing"}) {
        EXPECT_FALSE(hux::fields::integer(reply, key)) << key;
    }
    EXPECT_FALSE(hux::fields::integer(Json::array({1}), "ret"));
    EXPECT_FALSE(hux::fields::text(reply, "ret"));
    EXPECT_EQ(hux::fields::textOrNumber(reply, "ret"), "0");
    EXPECT_EQ(hux::fields::text(Json("plain"), "t"), std::nullopt);
}
