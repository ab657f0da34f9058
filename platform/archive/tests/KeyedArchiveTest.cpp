#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "TestSupport.h"
#include "platform/archive/KeyedArchive.h"

namespace archive {
namespace {

using test::classDesc;
using test::keyedArchive;
using test::sampleState;
using test::sharedRecord;
using testsupport::TempFolder;
using test::uid;

Data xmlBytes(const Value& v) {
    return *serializePlist(v, PlistFormat::Xml);
}

// Follows a reference, whether libplist handed it over as a UID or in its XML form.
const Value& deref(const Array& objects, const Value& ref) {
    return objects.at(static_cast<size_t>(*ref.find("CF$UID")->integer()));
}

const Array& objectsOf(const Data& archive) {
    static Value parsed;
    parsed = *parsePlist(archive);
    return *parsed.find("$objects")->array();
}

// An NSArray entry whose class description is at classUid.
Value arrayEntry(Array refs, int64_t classUid) {
    Dictionary d;
    d["$class"] = uid(classUid);
    d["NS.objects"] = Value(std::move(refs));
    return d;
}

const ClassAllowList kRecords{"ZemRecord", "ZemCMDModel"};

TEST(KeyedArchive, RoundTripsFoundationValuesAndRecordsInBothFormats) {
    for (auto format : {PlistFormat::Binary, PlistFormat::Xml}) {
        SCOPED_TRACE(format == PlistFormat::Xml ? "xml" : "binary");
        auto bytes = archivedData(sampleState(), format);
        ASSERT_TRUE(bytes);
        auto decoded = unarchive(*bytes, kRecords);
        ASSERT_TRUE(decoded) << decoded.error;
        const Value& v = *decoded.value;
        EXPECT_EQ(v, sampleState());
        // A null record property comes back as null; a UID referenced twice is one instance.
        EXPECT_TRUE(v.find("record")->object()->fields.at("owner").isNull());
        EXPECT_EQ(v.find("first")->sharedObject(), v.find("second")->sharedObject());
    }
    // A record property holding no object is nil as well.
    auto nilPointer = archivedData(Object{"ZemRecord", {{"p", Value(std::shared_ptr<const Object>())}}});
    ASSERT_TRUE(nilPointer);
    EXPECT_EQ(*unarchive(*nilPointer, kRecords).value, Value(Object{"ZemRecord", {{"p", Null{}}}}));
}

TEST(KeyedArchive, SharedObjectIsWrittenOnce) {
    auto record = sharedRecord();
    auto once = archivedData(Dictionary{{"a", Value(record)}, {"b", Value(record)}});
    auto twice = archivedData(Dictionary{{"a", Value(sharedRecord())}, {"b", Value(sharedRecord())}});
    ASSERT_TRUE(once && twice);
    auto instancesOfRecord = [](const Data& archive) {
        const Array& objects = objectsOf(archive);
        int n = 0;
        for (const auto& entry : objects) {
            const Value* cls = entry.find("$class");
            if (cls && *deref(objects, *cls).find("$classname") == Value("ZemRecord")) ++n;
        }
        return n;
    };
    EXPECT_EQ(instancesOfRecord(*once), 1);
    EXPECT_EQ(instancesOfRecord(*twice), 2);
    // Equal strings share one entry too: "printer" appears once in both.
    EXPECT_EQ(objectsOf(*twice).size(), objectsOf(*once).size() + 1);
}

TEST(KeyedArchive, WritesTheArchiverLayout) {
    auto bytes = archivedData(Dictionary{{"k", Array{1}}});
    ASSERT_TRUE(bytes);
    Value top = *parsePlist(*bytes);
    EXPECT_EQ(*top.find("$archiver"), Value("NSKeyedArchiver"));
    EXPECT_EQ(*top.find("$version"), Value(100000));
    const Array& objects = *top.find("$objects")->array();
    EXPECT_EQ(objects.at(0), Value("$null"));
    const Value& root = deref(objects, *top.find("$top")->find("root"));
    EXPECT_EQ(*deref(objects, *root.find("$class")).find("$classes"),
              Value(Array{"NSMutableDictionary", "NSDictionary", "NSObject"}));
    const Value& array = deref(objects, root.find("NS.objects")->array()->at(0));
    EXPECT_EQ(*deref(objects, *array.find("$class")).find("$classname"), Value("NSMutableArray"));
    EXPECT_EQ(deref(objects, array.find("NS.objects")->array()->at(0)), Value(1));
}

TEST(KeyedArchive, DecodesImmutableAndObjectFormsOfFoundationClasses) {
    Array objects{
        "$null",
        Dictionary{{"$class", uid(2)},
                   {"NS.keys", Array{uid(3), uid(4), uid(5)}},
                   {"NS.objects", Array{uid(6), uid(8), uid(10)}}},
        classDesc("NSDictionary"),
        "list",
        Dictionary{{"$class", uid(12)}, {"NS.string", "name"}},  // a key as NSString object
        "blob",
        Dictionary{{"$class", uid(7)}, {"NS.objects", Array{uid(0), uid(13), uid(14)}}},
        classDesc("NSArray"),
        Dictionary{{"$class", uid(9)}, {"NS.string", "Zh\xC3\xA8"}},
        classDesc("NSMutableString", {"NSMutableString", "NSString", "NSObject"}),
        Dictionary{{"$class", uid(11)}, {"NS.data", Data{1, 2}}},
        classDesc("NSMutableData", {"NSMutableData", "NSData", "NSObject"}),
        classDesc("NSString"),
        Dictionary{{"$class", uid(15)}, {"NS.time", 0.5}},
        Dictionary{{"$class", uid(16)}},
        classDesc("NSDate"),
        classDesc("NSNull"),
    };
    auto decoded = unarchive(xmlBytes(keyedArchive(objects)));
    ASSERT_TRUE(decoded) << decoded.error;
    EXPECT_EQ(*decoded.value, Value(Dictionary{{"list", Array{Null{}, Date{978307200.5}, Null{}}},
                                               {"name", "Zh\xC3\xA8"},
                                               {"blob", Data{1, 2}}}));
}

TEST(KeyedArchive, ClassesOutsideTheAllowListAreRefusedByName) {
    auto bytes = archivedData(Array{Object{"ZemRecord", {{"a", 1}}}});
    ASSERT_TRUE(bytes);
    auto refused = unarchive(*bytes);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error, "class \"ZemRecord\" is not allowed");
    EXPECT_TRUE(unarchive(*bytes, {"ZemRecord"}));

    auto set =
        keyedArchive({"$null", Dictionary{{"$class", uid(2)}, {"NS.objects", Array{}}}, classDesc("NSSet")});
    EXPECT_EQ(unarchive(xmlBytes(set)).error, "class \"NSSet\" is not allowed");
}

TEST(KeyedArchive, DepthLimitCountsContainersAndObjects) {
    DecodeLimits limits;
    limits.maxDepth = 3;
    // Each level wrapped in Value: Array{Array{...}} would be a copy, not a nesting, for clang.
    auto nest = [](Value inner) { return Value(Array{std::move(inner)}); };
    auto atLimit = archivedData(nest(nest(Object{"ZemRecord", {{"n", 1}}})));
    auto overLimit = archivedData(nest(nest(nest(nest("x")))));
    EXPECT_TRUE(unarchive(*atLimit, {"ZemRecord"}, limits));
    auto r = unarchive(*overLimit, {}, limits);
    EXPECT_EQ(r.error, "archive nested deeper than 3 levels");
}

TEST(KeyedArchive, ValuesWithoutArchiveFormAreNotEncoded) {
    struct Case {
        const char* name;
        Value value;
    };
    const Case cases[] = {
        {"record named like a Foundation class", Object{"NSMutableArray", {}}},
        {"record without class name", Object{"", {}}},
        {"string that is not UTF-8", Array{"\xC3"}},
        {"string with NUL", Array{std::string("a\0b", 3)}},
        {"record with empty field name", Object{"ZemRecord", {{"", 1}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(archivedData(c.value));
    }
}

TEST(KeyedArchive, BadArchivesGiveAClearError) {
    auto valid = *archivedData(Dictionary{{"k", "v"}, {"n", Array{1, 2, 3}}});
    Data truncated(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2));
    std::string text = "this is not a property list";

    // [a, a] nested 40 times: each level doubles the decoded size of a tiny archive.
    Array bomb{"$null", classDesc("NSArray"), arrayEntry({}, 1)};
    for (int i = 0; i < 40; ++i) {
        int64_t prev = static_cast<int64_t>(bomb.size()) - 1;
        bomb.push_back(arrayEntry(Array{uid(prev), uid(prev)}, 1));
    }
    int64_t bombRoot = static_cast<int64_t>(bomb.size()) - 1;

    Array deep{"$null", classDesc("NSArray")};
    for (int i = 0; i < 200; ++i)
        deep.push_back(arrayEntry(Array{uid(static_cast<int64_t>(deep.size()) + 1)}, 1));
    deep.push_back("leaf");

    Array many{"$null"};
    for (int i = 0; i < 100; ++i) many.push_back("s" + std::to_string(i));

    auto array = [](Value objectsOfArray) {
        Dictionary d;
        d["$class"] = uid(2);
        d["NS.objects"] = std::move(objectsOfArray);
        return d;
    };
    auto dict = [](Value keys, Value values) {
        return Dictionary{
            {"$class", uid(2)}, {"NS.keys", std::move(keys)}, {"NS.objects", std::move(values)}};
    };

    DecodeLimits smallBudget;
    smallBudget.maxDecodedBytes = 1u << 20;
    DecodeLimits small;
    small.maxBytes = 64;
    DecodeLimits fewObjects;
    fewObjects.maxObjects = 50;

    struct Case {
        const char* name;
        Data bytes;
        DecodeLimits limits;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}, "empty archive"},
        {"truncated binary", truncated, {}, "not a property list: malformed binary property list trailer"},
        {"not a plist", Data(text.begin(), text.end()), {}, "not a property list: not a property list"},
        {"plist but not an archive",
         xmlBytes(Dictionary{{"a", 1}}),
         {},
         "not a keyed archive: \"$archiver\" is not NSKeyedArchiver"},
        {"top level array", xmlBytes(Array{1}), {}, "not a keyed archive: top level is not a dictionary"},
        {"missing $objects",
         xmlBytes(Dictionary{{"$archiver", "NSKeyedArchiver"}}),
         {},
         "not a keyed archive: \"$objects\" missing or not an array"},
        {"missing $top",
         xmlBytes(Dictionary{{"$archiver", "NSKeyedArchiver"}, {"$objects", Array{"$null", "x"}}}),
         {},
         "not a keyed archive: \"$top\" missing or not a dictionary"},
        {"root not a reference",
         xmlBytes(Dictionary{{"$archiver", "NSKeyedArchiver"},
                             {"$top", Dictionary{{"root", 1}}},
                             {"$objects", Array{"$null", "x"}}}),
         {},
         "\"$top\" has no \"root\" reference"},
        {"root out of range",
         xmlBytes(keyedArchive({"$null", "x"}, 9)),
         {},
         "reference 9 is out of range (2 objects)"},
        {"$class wrong type",
         xmlBytes(keyedArchive({"$null", Dictionary{{"$class", "NSArray"}}})),
         {},
         "\"$class\" is not a reference"},
        {"$class out of range",
         xmlBytes(keyedArchive({"$null", Dictionary{{"$class", uid(7)}}})),
         {},
         "class reference 7 is out of range"},
        {"class without name",
         xmlBytes(keyedArchive({"$null", Dictionary{{"$class", uid(2)}}, Dictionary{}})),
         {},
         "class description 2 has no \"$classname\""},
        {"object without $class",
         xmlBytes(keyedArchive({"$null", Dictionary{{"NS.objects", Array{}}}})),
         {},
         "object without \"$class\""},
        {"NS.objects not an array",
         xmlBytes(keyedArchive({"$null", array("x"), classDesc("NSArray")})),
         {},
         "\"NS.objects\" is not an array"},
        {"array element not a reference",
         xmlBytes(keyedArchive({"$null", array(Array{1}), classDesc("NSArray")})),
         {},
         "\"NS.objects\" holds a value that is not a reference"},
        {"element out of range",
         xmlBytes(keyedArchive({"$null", array(Array{uid(40)}), classDesc("NSArray")})),
         {},
         "reference 40 is out of range (3 objects)"},
        {"key not a string",
         xmlBytes(keyedArchive({"$null", dict(Array{uid(3)}, Array{uid(3)}), classDesc("NSDictionary"), 5})),
         {},
         "dictionary key is not a string"},
        {"keys and objects differ",
         xmlBytes(keyedArchive({"$null", dict(Array{uid(3)}, Array{}), classDesc("NSDictionary"), "k"})),
         {},
         "\"NS.keys\" and \"NS.objects\" differ in length"},
        {"cyclic array",
         xmlBytes(keyedArchive({"$null", array(Array{uid(1)}), classDesc("NSArray")})),
         {},
         "cyclic archive"},
        {"cycle through a string object",
         xmlBytes(keyedArchive(
             {"$null", Dictionary{{"$class", uid(2)}, {"NS.string", uid(1)}}, classDesc("NSString")})),
         {},
         "cyclic archive"},
        {"class not allowed",
         xmlBytes(keyedArchive({"$null", Dictionary{{"$class", uid(2)}}, classDesc("AccountModel")})),
         {},
         "class \"AccountModel\" is not allowed"},
        {"larger than maxBytes", valid, small,
         "archive of " + std::to_string(valid.size()) + " bytes is larger than the limit of 64"},
        {"more objects than maxObjects", xmlBytes(keyedArchive(many)), fewObjects,
         "archive has 101 objects, more than the limit of 50"},
        {"deeper than maxDepth",
         xmlBytes(keyedArchive(deep, 2)),
         {},
         "archive nested deeper than 128 levels"},
        {"shared arrays expanding", xmlBytes(keyedArchive(bomb, bombRoot)), smallBudget,
         "archive expands beyond the decode limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (auto format : {PlistFormat::Xml, PlistFormat::Binary}) {
            // Hand-built archives are checked in both plist forms; the others are given as bytes.
            Data bytes = c.bytes;
            if (format == PlistFormat::Binary) {
                auto asPlist = parsePlist(c.bytes);
                if (!asPlist || c.bytes.size() > c.limits.maxBytes) continue;
                bytes = *serializePlist(*asPlist, PlistFormat::Binary);
            }
            auto r = unarchive(bytes, {}, c.limits);
            EXPECT_FALSE(r);
            EXPECT_EQ(r.error, c.error);
        }
    }
}

TEST(KeyedArchive, FilesRoundTripAndUnsafeFilesAreRefused) {
    TempFolder dir;
    std::string path = dir.file("record_server.archive");
    ASSERT_TRUE(archiveRootObjectToFile(sampleState(), path));
    ASSERT_TRUE(archiveRootObjectToFile(Dictionary{{"v", 2}}, path));  // replaces
    auto r = unarchiveObjectWithFile(path);
    ASSERT_TRUE(r) << r.error;
    EXPECT_EQ(*r.value, Value(Dictionary{{"v", 2}}));

    EXPECT_EQ(unarchiveObjectWithFile(dir.file("missing.archive")).error,
              "no file at " + dir.file("missing.archive"));
    std::string link = dir.file("link.archive");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    EXPECT_NE(unarchiveObjectWithFile(link).error.find("cannot read"), std::string::npos);
    DecodeLimits tiny;
    tiny.maxBytes = 16;
    EXPECT_FALSE(unarchiveObjectWithFile(path, {}, tiny));

    EXPECT_TRUE(unarchiveUserFile(path, ::geteuid()));
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(unarchiveUserFile(path, 0));
        EXPECT_TRUE(unarchiveUserFile(path, 65534));
    }
    EXPECT_FALSE(archiveRootObjectToFile(Object{"", {}}, path));
}

}  // namespace
}  // namespace archive
