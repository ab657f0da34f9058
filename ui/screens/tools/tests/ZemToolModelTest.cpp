// Tool records and trusted-app categories from list dictionaries, and the look-ups by category name.
#include <gtest/gtest.h>

#include <algorithm>

#include "ui/screens/tools/ZemToolModel.h"

using archive::Array;
using archive::Dictionary;
using archive::Value;

TEST(ZemToolModelTest, MissingKeysTakeTheirDefaultsAndPresentKeysStayAsTheyAre) {
    auto full = ZemToolModel::initWithDictionary(Value(Dictionary{{"apptype", "hyperlink"},
                                                                  {"downloadurl", "http://d"},
                                                                  {"desturl", "http://x"},
                                                                  {"appname", ""},
                                                                  {"app_serialnum", "7"},
                                                                  {"procname", "p"},
                                                                  {"execpath", "/e"},
                                                                  {"signature", "s"},
                                                                  {"appversion", "1.2"},
                                                                  {"corp", "c"},
                                                                  {"icon", "mail.png"}}));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->appType, "hyperlink");
    EXPECT_EQ(full->downloadUrl, "http://d");
    EXPECT_EQ(full->desUrl, "http://x");
    EXPECT_EQ(full->appName, "");
    EXPECT_EQ(full->appSerialNum, 7);
    EXPECT_EQ(full->procName, "p");
    EXPECT_EQ(full->execPath, "/e");
    EXPECT_EQ(full->signature, "s");
    EXPECT_EQ(full->appVersion, "1.2");
    EXPECT_EQ(full->corp, "c");
    EXPECT_EQ(full->icon, "mail.png");

    auto empty = ZemToolModel::initWithDictionary(Value(Dictionary{}));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->appSerialNum, 100);
    EXPECT_EQ(empty->appName, "");
    EXPECT_EQ(empty->icon, "");

    EXPECT_FALSE(ZemToolModel::initWithDictionary(Value("not a dictionary")));
    EXPECT_FALSE(ZemToolModel::initWithDictionary(static_cast<const Value*>(nullptr)));
}

TEST(ZemToolModelTest, SerialNumberReadsNumbersAndLeadingDigits) {
    const std::pair<Value, int64_t> cases[] = {{Value(3), 3},
                                               {Value("12abc"), 12},
                                               {Value("abc"), 0},
                                               {Value(" -4"), -4},
                                               {Value(2.9), 2},
                                               {Value(archive::Null{}), 0},
                                               {Value("99999999999999999999"), INT64_MAX}};
    for (const auto& [value, expected] : cases) {
        auto model = ZemToolModel::initWithDictionary(Value(Dictionary{{"app_serialnum", value}}));
        ASSERT_TRUE(model);
        EXPECT_EQ(model->appSerialNum, expected);
    }
}

TEST(ZemToolModelTest, ToolWithoutSerialNumberSortsAfterLowerNumbers) {
    std::vector<std::shared_ptr<ZemToolModel>> tools;
    for (const Value& v :
         Array{Dictionary{{"appname", "none"}}, Dictionary{{"appname", "b"}, {"app_serialnum", 101}},
               Dictionary{{"appname", "a"}, {"app_serialnum", 5}}})
        tools.push_back(ZemToolModel::initWithDictionary(v));
    std::stable_sort(tools.begin(), tools.end(),
                     [](auto& x, auto& y) { return x->appSerialNum < y->appSerialNum; });
    EXPECT_EQ(tools[0]->appName, "a");
    EXPECT_EQ(tools[1]->appName, "none");
    EXPECT_EQ(tools[2]->appName, "b");
}

TEST(ZemToolModelTest, CategoryCollectsDistinctAppsInArrivalOrder) {
    auto mode = ZemCategoryMode::initWithDictionary(
        Value(Dictionary{{"categoryname", "Office"}, {"category_serialnum", 2}, {"appname", "Mail"}}));
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->categoryType, "Office");
    EXPECT_EQ(mode->category_serialnum, 2);
    mode->addAppObj("Docs");
    mode->addAppObj("Mail");
    EXPECT_EQ(mode->trustedAppList(), (std::vector<std::string>{"Mail", "Docs"}));
    EXPECT_EQ(mode->trustAppListName(),
              "Mail\xE3\x80\x81"
              "Docs");

    // A category without apps keeps the stored text.
    auto bare = ZemCategoryMode::initWithDictionary(Value(Dictionary{{"categoryname", "Empty"}}));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->category_serialnum, 0);
    EXPECT_EQ(bare->trustAppListName(), "");
    bare->setTrustAppListName("kept");
    EXPECT_EQ(bare->trustAppListName(), "kept");
    EXPECT_FALSE(ZemCategoryMode::initWithDictionary(Value(Array{})));
}

TEST(ZemToolModelTest, LookUpsFindCategoriesByName) {
    std::vector<std::shared_ptr<ZemCategoryMode>> list;
    EXPECT_EQ(isContains::ObjectPositionToArray(list, "x"), -1);
    EXPECT_FALSE(isContains::isContainsObject(list, "x"));
    for (const char* name : {"A", "B", "B"}) {
        auto mode = std::make_shared<ZemCategoryMode>();
        mode->categoryType = name;
        list.push_back(mode);
    }
    EXPECT_EQ(isContains::ObjectPositionToArray(list, "B"), 1);
    EXPECT_TRUE(isContains::isContainsObject(list, "A"));
    EXPECT_EQ(isContains::ObjectPositionToArray(list, "C"), -1);
}
