// One office tool of the machine-wide tool list (appmgrlist.archive), and one category of the
// trusted cloud apps (qzncloudlist.archive, key "trustedapp"), with the look-ups the trusted-apps
// window uses on a list of categories.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

class ZemToolModel {
  public:
    // A tool from one dictionary of the list; a missing key gives "" (100 for appSerialNum), a
    // present key is taken as it is. Null when the value is no dictionary.
    static std::shared_ptr<ZemToolModel> initWithDictionary(const archive::Value& dictionary);
    static std::shared_ptr<ZemToolModel> initWithDictionary(const archive::Value* dictionary);

    std::string appType;
    std::string downloadUrl;
    std::string desUrl;
    std::string appName;
    int64_t appSerialNum = 100;  // orders the tools
    std::string procName;
    std::string execPath;
    std::string signature;
    std::string appVersion;
    std::string corp;
    std::string icon;
};

class ZemCategoryMode {
  public:
    // A category from one entry of the trusted-app list: its name, its order and the entry's app
    // as the first app. Null when the value is no dictionary.
    static std::shared_ptr<ZemCategoryMode> initWithDictionary(const archive::Value& dictionary);

    // Appends the name unless the list already holds it.
    void addAppObj(const std::string& name);
    // With apps: the names joined by "、" (stored and returned); without: the stored text.
    const std::string& trustAppListName();
    void setTrustAppListName(std::string text) { trustAppListName_ = std::move(text); }
    std::vector<std::string>& trustedAppList() { return trustedAppList_; }

    std::string categoryType;
    int64_t category_serialnum = 0;

  private:
    std::string trustAppListName_;
    std::vector<std::string> trustedAppList_;
};

// Look-ups on a list of categories by name.
namespace isContains {

bool isContainsObject(const std::vector<std::shared_ptr<ZemCategoryMode>>& array, const std::string& text);
// The index of the first category of that name, or -1.
int32_t ObjectPositionToArray(const std::vector<std::shared_ptr<ZemCategoryMode>>& array,
                              const std::string& text);

}  // namespace isContains

namespace ZemToolValues {

// A list value as text: a text as it is, a number in decimal, anything else "".
std::string text(const archive::Value& value);
// A list value as an integer: a number (a real truncated), or a text's leading decimal integer
// (0 when it has none).
int64_t integerValue(const archive::Value& value);

}  // namespace ZemToolValues
