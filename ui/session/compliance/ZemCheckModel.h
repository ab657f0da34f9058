// The compliance catalogue's records: one check item, one category of the compliance screen, and
// the catalogue ZemCheck.plist that lists them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

class ZemCheckModel {
  public:
    static constexpr const char* kClassName = "ZemCheckModel";

    std::string title;
    std::string detail;
    std::string selectorName;  // the checker operation, with its trailing colon ("checkFileVault:")
    std::string mainKey;       // the key the result is reported under
    std::string keyword;
    bool isWarn = false;

    // Copies "title", "detail", "selectorName", "mainKey" and "keyword" when they are strings.
    void spreadDictToModel(const archive::Value& dictionary);

    // The item as it travels in a notification.
    archive::Value encode() const;
    static std::optional<ZemCheckModel> decode(const archive::Value& value);
};

struct ZemRootModel {
    std::string name;
    bool isWarn = false;
    long repairNum = 0;
    std::vector<ZemCheckModel> leafArr;
};

// The catalogue among the app bundle's resources.
std::string checkCataloguePath();

// Reads the catalogue: an array of one-entry dictionaries {category name: [item dictionaries]}.
// Elements of another shape are skipped; nothing when the file is not such an array.
std::optional<std::vector<ZemRootModel>> loadCheckCatalogue(const std::string& path);
