// The record of one upgrade package: the manifest item's attributes plus the order's type,
// description and wait, archived to ZemUpgrade.data for a later install.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/archive/Value.h"

struct AppModuleModel {
    static constexpr const char* kClassName = "AppModuleModel";

    int64_t upgradeType = -1;
    std::optional<std::string> name, appName, version, md5, updateAction, argvs, downUrl, runAuthority, os,
        des;
    double upgradeTime = 0;
    int64_t waitTime = 0;
    // The package's size from the manifest's optional "size" attribute; caps the download. Not archived.
    std::optional<uint64_t> maxBytes;

    // Every string empty, upgradeType -1.
    AppModuleModel();
    // From a manifest item's attribute dictionary: strings absent unless the item carries them
    // (as text), numbers 0. appName is the name up to the first ".pkg".
    static AppModuleModel initWithData(const nlohmann::json& item);

    archive::Value encode() const;
    // Nothing when the value is not an AppModuleModel object.
    static std::optional<AppModuleModel> decode(const archive::Value& value);

  private:
    struct Empty {};
    explicit AppModuleModel(Empty);
};
