#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <limits>

#include "TestSupport.h"
#include "platform/archive/Plist.h"

namespace archive {
namespace {

using testsupport::TempFolder;

// Assembles a binary plist by hand from object encodings: 2-byte offsets, refSize-byte refs.
Data bplist(const std::vector<Data>& objects, uint64_t top, uint8_t refSize = 1) {
    Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), o.begin(), o.end());
    }
    uint64_t table = out.size();
    for (uint64_t off : offsets) {
        out.push_back(static_cast<uint8_t>(off >> 8));
        out.push_back(static_cast<uint8_t>(off));
    }
    auto be64 = [&](uint64_t v) {
        for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    out.insert(out.end(), {0, 0, 0, 0, 0, 0, 2, refSize});
    be64(objects.size());
    be64(top);
    be64(table);
    return out;
}

Data bytesOf(const std::string& s) {
    return Data(s.begin(), s.end());
}

Value sampleValue() {
    return Dictionary{
        {"text", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"escaped", "a&b<c>\"d'"},
        {"empty", ""},
        {"negative", -5},
        {"min", std::numeric_limits<int64_t>::min()},
        {"max", std::numeric_limits<int64_t>::max()},
        {"pi", 3.141592653589793},
        {"tiny", 5e-324},
        {"yes", true},
        {"no", false},
        {"bytes", Data{0, 1, 2, 0xff, 0}},
        {"noBytes", Data{}},
        {"when", Date{1700000000}},
        {"list", Array{1, "two", Array{}, Dictionary{}, Array{Dictionary{{"deep", 3.5}}}}},
    };
}

TEST(Plist, RoundTripsPlainValuesInBothFormats) {
    for (auto format : {PlistFormat::Xml, PlistFormat::Binary}) {
        SCOPED_TRACE(format == PlistFormat::Xml ? "xml" : "binary");
        auto bytes = serializePlist(sampleValue(), format);
        ASSERT_TRUE(bytes);
        std::string error;
        auto back = parsePlist(*bytes, &error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(*back, sampleValue());
    }
}

TEST(Plist, BinaryDatesKeepMicrosecondsXmlDatesWholeSeconds) {
    // Includes times before 1970 and just before 2001, where the seconds are negative.
    Value v(Array{Date{1700000000.25}, Date{-1000000.5}, Date{978307199.75}});
    auto bin = parsePlist(*serializePlist(v, PlistFormat::Binary));
    ASSERT_TRUE(bin);
    EXPECT_NEAR(bin->array()->at(0).date()->secondsSince1970, 1700000000.25, 1e-6);
    EXPECT_NEAR(bin->array()->at(1).date()->secondsSince1970, -1000000.5, 1e-6);
    EXPECT_NEAR(bin->array()->at(2).date()->secondsSince1970, 978307199.75, 1e-6);
    auto xml = parsePlist(*serializePlist(v, PlistFormat::Xml));
    ASSERT_TRUE(xml);
    EXPECT_EQ(xml->array()->at(0).date()->secondsSince1970, 1700000000.0);
}

TEST(Plist, RefusesValuesWithoutPlistForm) {
    struct Case {
        const char* name;
        Value value;
    };
    const Case cases[] = {
        {"null", Value(Null{})},
        {"object", Value(Object{"ZemRecord", {}})},
        {"null inside array", Value(Array{1, Null{}})},
        {"string with NUL", Value(std::string("a\0b", 3))},
        {"stray continuation byte", Value("a\x80")},
        {"overlong encoding", Value("\xC0\xAF")},
        {"surrogate", Value("\xED\xA0\x80")},
        {"truncated sequence", Value("\xE2\x82")},
        {"key not UTF-8", Value(Dictionary{{"\xFF", 1}})},
        {"date beyond 32-bit seconds", Value(Date{1e12})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(serializePlist(c.value, PlistFormat::Binary));
        EXPECT_FALSE(serializePlist(c.value, PlistFormat::Xml));
    }
}

TEST(Plist, ReadsUidAsCfUidDictionary) {
    auto v = parsePlist(bplist({{0xA1, 1}, {0x80, 5}}, 0));
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, Value(Array{Dictionary{{"CF$UID", 5}}}));
}

TEST(Plist, RejectsBadInputWithAReason) {
    // Thirty levels of [x, x] sharing one child: 150 bytes that expand to a billion values.
    std::vector<Data> bomb{{0x51, 'x'}};
    for (uint8_t i = 1; i <= 30; ++i)
        bomb.push_back({0xA2, static_cast<uint8_t>(i - 1), static_cast<uint8_t>(i - 1)});
    // 600 arrays each holding the next.
    std::vector<Data> deep;
    for (uint16_t i = 0; i < 600; ++i)
        deep.push_back({0xA1, static_cast<uint8_t>((i + 1) >> 8), static_cast<uint8_t>(i + 1)});
    deep.push_back({0x08});
    std::string deepXml = "<plist version=\"1.0\">";
    for (int i = 0; i < 600; ++i) deepXml += "<array>";
    for (int i = 0; i < 600; ++i) deepXml += "</array>";
    deepXml += "</plist>";
    auto valid = *serializePlist(Value(Array{"abc", 1, 2}), PlistFormat::Binary);
    Data truncated(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2));
    Data badTable = valid;
    badTable[badTable.size() - 1] = 0xF0;  // offset table beyond the end

    struct Case {
        const char* name;
        Data bytes;
        const char* error;
    };
    const Case cases[] = {
        {"empty", {}, "empty input"},
        {"not a plist", bytesOf("hello, world"), "not a property list"},
        {"truncated binary", truncated, "binary property list"},
        {"offset table out of range", badTable, "malformed binary property list"},
        {"reference out of range", bplist({{0xA1, 7}}, 0), "malformed binary property list"},
        {"array containing itself", bplist({{0xA1, 0}}, 0), "cyclic property list"},
        {"string longer than the file", bplist({{0x5F, 0x10, 0xFF}}, 0), "malformed binary property list"},
        {"unknown object type", bplist({{0x70}}, 0), "unsupported"},
        // libplist 2.2 aborts when asked for a string with a NUL inside.
        {"NUL inside a binary string", bplist({{0x53, 'a', 0, 'b'}}, 0), "NUL character"},
        {"NUL inside a UTF-16 key", bplist({{0xD1, 1, 2}, {0x61, 0, 0}, {0x09}}, 0), "NUL character"},
        {"NUL inside an XML string", bytesOf(std::string("<plist><string>a\0b</string></plist>", 35)),
         "malformed XML"},
        {"shared-reference expansion", bplist(bomb, 30), "too many values"},
        {"binary nested too deeply", bplist(deep, 0, 2), "nested too deeply"},
        {"XML nested too deeply", bytesOf(deepXml), "nested too deeply"},
        {"XML tags crossed", bytesOf("<plist><array><dict></array></dict></plist>"), "malformed XML"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(parsePlist(c.bytes, &error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(Plist, FilesAreWrittenAtomicallyAndReadWithinTheCap) {
    TempFolder dir;
    std::string path = dir.file("settings.plist");
    ASSERT_TRUE(writePlistFile(sampleValue(), path));
    ASSERT_TRUE(writePlistFile(Value(Dictionary{{"v", 2}}), path, PlistFormat::Binary));
    auto back = readPlistFile(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, Value(Dictionary{{"v", 2}}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    std::string error;
    EXPECT_FALSE(readPlistFile(path, &error, 10));
    EXPECT_NE(error.find("larger than the limit"), std::string::npos) << error;
    std::string link = dir.file("link.plist");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    EXPECT_FALSE(readPlistFile(link));
    EXPECT_FALSE(writePlistFile(Value(Null{}), path));
    EXPECT_EQ(*readPlistFile(path), Value(Dictionary{{"v", 2}}));
}

}  // namespace
}  // namespace archive
