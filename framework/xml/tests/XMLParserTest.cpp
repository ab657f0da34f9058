#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "framework/xml/XMLParser.h"

using nlohmann::json;
using calix::NSStringEqualsXMLNullString;
using calix::XMLParseError;
using calix::XMLParser;

namespace {

json parsed(const std::string& xml) {
    auto result = XMLParser::parse(xml);
    if (auto* error = std::get_if<XMLParseError>(&result)) {
        ADD_FAILURE() << "parse failed: " << error->reason << " for " << xml;
        return nullptr;
    }
    return std::get<json>(result);
}

XMLParseError failed(const std::string& xml, const XMLParser::Limits& limits = {}) {
    auto result = XMLParser::parse(xml, limits);
    if (auto* error = std::get_if<XMLParseError>(&result)) return *error;
    ADD_FAILURE() << "parse succeeded: " << std::get<json>(result).dump() << " for " << xml;
    return {};
}

struct ShapeCase {
    const char* name;
    const char* xml;
    const char* expected;  // JSON
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << c.xml;
}

class XMLShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(XMLShapes, DocumentGivesDictionaryTree) {
    EXPECT_EQ(parsed(GetParam().xml), json::parse(GetParam().expected)) << GetParam().xml;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XMLShapes,
    ::testing::Values(
        ShapeCase{"TwoItemsBecomeArray", R"(<list><item id="1"/><item id="2"/></list>)",
                  R"({"list":{"itemsArray":[{"id":"1"},{"id":"2"}]}})"},
        ShapeCase{"OneItemStaysPlain", R"(<list><item id="1"/></list>)", R"({"list":{"item":{"id":"1"}}})"},
        ShapeCase{"ThirdItemAppendsInOrder",
                  R"(<l><item n="a"/><other/><item n="b"/><item n="c">t</item></l>)",
                  R"({"l":{"other":{},"itemsArray":[{"n":"a"},{"n":"b"},{"n":"c","content":"t"}]}})"},
        ShapeCase{"WhiteSpaceBetweenChildrenGivesEmptyContent",
                  "<list>\n  <item id=\"1\"/>\n  <item id=\"2\"/>\n</list>",
                  R"({"list":{"content":"","itemsArray":[{"id":"1"},{"id":"2"}]}})"},
        ShapeCase{"NullAttributeDroppedTextUnderContent", R"(<a x="null" y="nullx">  v
</a>)",
                  R"({"a":{"y":"nullx","content":"v"}})"},
        ShapeCase{"TextExactlyNullGivesNoContent", R"(<r><a>null</a><b>w</b></r>)",
                  R"({"r":{"a":{},"b":{"content":"w"}}})"},
        // Text before a child belongs to the parent, not to the child.
        ShapeCase{"ParentTextStaysWithParent", R"(<r>head<c>x</c>tail</r>)",
                  R"({"r":{"content":"headtail","c":{"content":"x"}}})"},
        ShapeCase{
            "NestedArraysKeepTheirOwnChildren",
            R"(<r><g k="1"><v>a</v><v>b</v></g><g k="2"><v>c</v></g></r>)",
            R"({"r":{"gsArray":[{"k":"1","vsArray":[{"content":"a"},{"content":"b"}]},{"k":"2","v":{"content":"c"}}]}})"},
        ShapeCase{"CDataIsText", R"(<a><![CDATA[<x>]]></a>)", R"({"a":{"content":"<x>"}})"},
        ShapeCase{"PredefinedEntitiesDecode", R"(<a q="&quot;&amp;">&lt;&#x41;</a>)",
                  R"({"a":{"q":"\"&","content":"<A"}})"},
        // A child named like an attribute: both land in the array, nothing is lost.
        ShapeCase{"ChildNamedLikeAttribute", R"(<a k="v"><k>t</k></a>)",
                  R"({"a":{"ksArray":["v",{"content":"t"}]}})"},
        ShapeCase{"AttributeNamedLikeArrayKey", R"(<a ksArray="v"><k/><k/></a>)",
                  R"({"a":{"ksArray":["v",{},{}]}})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(XMLParserHostile, MalformedAndRefusedDocumentsFail) {
    struct Case {
        const char* xml;
        int code;  // 0: any expat error
    } cases[] = {
        {"", 0},
        {"<a>", 0},
        {"<a></b>", 0},
        {"<a x='1' x='2'/>", 0},
        {"<a/><b/>", 0},
        {"\xff\xfe<\x00", 0},
        {"<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>", XMLParser::kErrorEntityDeclared},
        {"<!DOCTYPE a [<!ENTITY % p \"x\">]><a/>", XMLParser::kErrorEntityDeclared},
        {"<a>&undeclared;</a>", 0},
    };
    for (const auto& c : cases) {
        const auto error = failed(c.xml);
        EXPECT_NE(error.code, 0) << c.xml;
        if (c.code) {
            EXPECT_EQ(error.code, c.code) << c.xml;
        }
        EXPECT_FALSE(error.reason.empty()) << c.xml;
    }
}

TEST(XMLParserHostile, BillionLaughsIsRefusedBeforeExpanding) {
    std::string doc = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        doc += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) doc += "&l" + std::to_string(i - 1) + ";";
        doc += "\">";
    }
    doc += "]><l>&l9;</l>";
    EXPECT_EQ(failed(doc).code, XMLParser::kErrorEntityDeclared);
}

TEST(XMLParserHostile, ExternalEntityIsNeverRead) {
    const auto secret = std::filesystem::temp_directory_path() / ("xml-secret-" + std::to_string(::getpid()));
    std::ofstream(secret) << "TOPSECRET";
    const std::string file = "file://" + secret.string();
    for (const std::string& doc : {
             "<!DOCTYPE a [<!ENTITY s SYSTEM \"" + file + "\">]><a>&s;</a>",
             "<!DOCTYPE a SYSTEM \"" + file + "\"><a>x</a>",
             "<!DOCTYPE a [<!ENTITY % s SYSTEM \"" + file + "\"> %s;]><a>x</a>",
         }) {
        auto result = XMLParser::parse(doc);
        if (auto* tree = std::get_if<json>(&result)) {
            EXPECT_EQ(tree->dump().find("TOPSECRET"), std::string::npos);
        }
    }
    std::filesystem::remove(secret);
}

TEST(XMLParserHostile, CapsOnSizeDepthAndElements) {
    XMLParser::Limits limits;
    limits.maxBytes = 64;
    EXPECT_EQ(failed("<a>" + std::string(100, 'x') + "</a>", limits).code, XMLParser::kErrorTooLarge);

    limits = {};
    limits.maxDepth = 3;
    EXPECT_TRUE(std::holds_alternative<json>(XMLParser::parse("<a><b><c/></b></a>", limits)));
    EXPECT_EQ(failed("<a><b><c><d/></c></b></a>", limits).code, XMLParser::kErrorTooDeep);

    limits = {};
    limits.maxElements = 3;
    EXPECT_EQ(failed("<a><b/><b/><b/></a>", limits).code, XMLParser::kErrorTooManyElements);

    // The default depth cap holds against a deep document without exhausting the stack.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<d>";
    EXPECT_EQ(failed(deep).code, XMLParser::kErrorTooDeep);
}

TEST(XMLParserClass, CleanedAttributesDropsOnlyTheNullText) {
    const json in = {{"a", "null"}, {"b", "NULL"}, {"c", ""}, {"d", 1}, {"e", "x"}};
    EXPECT_EQ(XMLParser::cleanedAttributes(in), (json{{"b", "NULL"}, {"c", ""}, {"d", 1}, {"e", "x"}}));
    EXPECT_TRUE(NSStringEqualsXMLNullString("null"));
    EXPECT_FALSE(NSStringEqualsXMLNullString("null "));
}

// Collects the callbacks of one parser and waits for them with a bounded deadline.
struct Outcome {
    std::mutex m;
    std::condition_variable cv;
    int successes = 0;
    int failures = 0;
    json tree;
    XMLParseError error;

    XMLParser::Success onSuccess() {
        return [this](json t) {
            std::lock_guard lock(m);
            ++successes;
            tree = std::move(t);
            cv.notify_all();
        };
    }
    XMLParser::Failure onFailure() {
        return [this](XMLParseError e) {
            std::lock_guard lock(m);
            ++failures;
            error = std::move(e);
            cv.notify_all();
        };
    }
    bool waitForAny() {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return successes + failures > 0; });
    }
};

TEST(XMLParserAsync, MalformedCallsFailureOnceAndNeverSuccess) {
    Outcome outcome;
    XMLParser parser;
    std::atomic<int> delivered{0};
    parser.parseData("<a><b></a>", outcome.onSuccess(), outcome.onFailure(), {},
                     [&](std::function<void()> task) {
                         ++delivered;
                         task();
                     });
    ASSERT_TRUE(outcome.waitForAny());
    EXPECT_EQ(outcome.failures, 1);
    EXPECT_EQ(outcome.successes, 0);
    EXPECT_EQ(delivered.load(), 1);
    EXPECT_EQ(outcome.error.code, 7);  // expat: mismatched tag
}

TEST(XMLParserAsync, NewParseOrDestructionAbortsTheRunningOne) {
    Outcome first, second, third;
    std::function<void()> held;
    auto hold = [&held](std::function<void()> task) { held = std::move(task); };
    {
        XMLParser parser;
        // The first parse is held back, so the second surely starts while it is pending.
        parser.parseData("<a>1</a>", first.onSuccess(), first.onFailure(), hold);
        parser.parseData("<b>2</b>", second.onSuccess(), second.onFailure());
        ASSERT_TRUE(second.waitForAny());
        EXPECT_EQ(second.tree, json::parse(R"({"b":{"content":"2"}})"));
        held();  // runs to its end here, and must deliver nothing
        EXPECT_EQ(first.successes + first.failures, 0);

        parser.parseData("<c/>", third.onSuccess(), third.onFailure(), hold);
    }
    held();  // the parser is gone: its pending parse delivers nothing
    EXPECT_EQ(third.successes + third.failures, 0);
}

TEST(XMLParserAsync, ContentsOfLocalFileOnlyAndOnCallingThread) {
    const auto path =
        std::filesystem::temp_directory_path() / ("xml-list-" + std::to_string(::getpid()) + ".xml");
    std::ofstream(path) << "<list><item id=\"1\"/></list>";
    XMLParser parser;
    Outcome local;
    parser.parseContentsOfURL("file://" + path.string(), local.onSuccess(), local.onFailure());
    EXPECT_EQ(local.successes, 1);  // synchronous: already delivered
    EXPECT_EQ(local.tree, json::parse(R"({"list":{"item":{"id":"1"}}})"));

    Outcome remote;
    parser.parseContentsOfURL("http://127.0.0.1:9/list.xml", remote.onSuccess(), remote.onFailure());
    EXPECT_EQ(remote.failures, 1);
    EXPECT_EQ(remote.error.code, XMLParser::kErrorUnreadable);

    Outcome missing;
    parser.parseContentsOfURL(path.string() + ".missing", missing.onSuccess(), missing.onFailure());
    EXPECT_EQ(missing.failures, 1);
    std::filesystem::remove(path);
}

}  // namespace
