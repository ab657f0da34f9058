// Our archives checked by Python's plistlib, and Python-written archives decoded by us: each
// side reads the other's files, so a fault shared by our encoder and decoder still shows.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/core/FileIO.h"

namespace archive {
namespace {

using testsupport::TempFolder;

std::string script(const char* name) {
    return std::string(RAVAVIZA_TEST_SOURCE_DIR) + "/platform/archive/tests/" + name;
}

TEST(KeyedArchivePython, PlistlibReadsOurArchivesInBothFormats) {
    TempFolder dir;
    for (auto format : {PlistFormat::Binary, PlistFormat::Xml}) {
        SCOPED_TRACE(format == PlistFormat::Xml ? "xml" : "binary");
        std::string path = dir.file("state.archive");
        auto bytes = archivedData(test::sampleState(), format);
        ASSERT_TRUE(bytes);
        ASSERT_TRUE(fileio::writeFileAtomically(path, *bytes));
        auto r = test::runPython(script("check_archive.py"), {path}, dir.file("out.txt"));
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
}

TEST(KeyedArchivePython, DecodesAnArchiveWrittenByPlistlib) {
    TempFolder dir;
    std::string path = dir.file("fixture.archive");
    auto r = test::runPython(script("make_fixture.py"), {path}, dir.file("out.txt"));
    ASSERT_EQ(r.exitCode, 0) << r.output;

    EXPECT_EQ(unarchiveObjectWithFile(path).error, "class \"ZemRecord\" is not allowed");
    auto decoded = unarchiveObjectWithFile(path, {"ZemRecord"});
    ASSERT_TRUE(decoded) << decoded.error;
    Value record(
        Object{"ZemRecord",
               {{"name", "printer \xC3\xA9"}, {"port", 631}, {"$escaped", "yes"}, {"missing", Null{}}}});
    Value expected(Dictionary{
        {"name", "Zh\xC3\xA8ng"},
        {"emoji",
         "\xF0\x9F\x98\x80 \xC3\xBCn\xC3\xAF"
         "code"},
        {"count", -3},
        {"big", int64_t{1} << 40},
        {"pi", 3.25},
        {"flag", true},
        {"blob", Data{0, 1, 2}},
        {"mutableBlob", Data{0xff}},
        {"when", Date{978307200 + 86400.5}},
        {"nothing", Null{}},
        {"list", Array{record, record, Null{}, "x"}},
        {"record", record},
    });
    EXPECT_EQ(*decoded.value, expected);
    // The record referenced from three places is one instance.
    const Array& list = *decoded.value->find("list")->array();
    EXPECT_EQ(list[0].sharedObject(), list[1].sharedObject());
    EXPECT_EQ(list[0].sharedObject(), decoded.value->find("record")->sharedObject());
}

}  // namespace
}  // namespace archive
