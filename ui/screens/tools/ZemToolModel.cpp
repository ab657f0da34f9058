#include "ZemToolModel.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

namespace ZemToolValues {

std::string text(const archive::Value& value) {
    if (const std::string* s = value.string()) return *s;
    if (value.isBool()) return *value.boolean() ? "1" : "0";
    if (value.isInteger()) return std::to_string(*value.integer());
    if (value.isReal()) {
        std::string out = std::to_string(*value.real());
        // Shortest form: no trailing zeros after the point.
        if (out.find('.') != std::string::npos) {
            out.erase(out.find_last_not_of('0') + 1);
            if (out.back() == '.') out.pop_back();
        }
        return out;
    }
    return "";
}

int64_t integerValue(const archive::Value& value) {
    if (value.isBool()) return *value.boolean() ? 1 : 0;
    if (value.isInteger()) return *value.integer();
    if (value.isReal()) {
        const double d = *value.real();
        if (std::isnan(d)) return 0;
        if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    const std::string* s = value.string();
    if (!s) return 0;
    size_t i = 0;
    while (i < s->size() && std::isspace(static_cast<unsigned char>((*s)[i]))) ++i;
    bool negative = false;
    if (i < s->size() && ((*s)[i] == '-' || (*s)[i] == '+')) negative = (*s)[i++] == '-';
    int64_t result = 0;
    for (; i < s->size() && std::isdigit(static_cast<unsigned char>((*s)[i])); ++i) {
        const int digit = (*s)[i] - '0';
        // Saturates instead of overflowing on an over-long number.
        if (result > (std::numeric_limits<int64_t>::max() - digit) / 10)
            return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
        result = result * 10 + digit;
    }
    return negative ? -result : result;
}

}  // namespace ZemToolValues

namespace {

std::string textOr(const archive::Dictionary& dict, const char* key, std::string fallback) {
    auto it = dict.find(key);
    return it == dict.end() ? fallback : ZemToolValues::text(it->second);
}

}  // namespace

std::shared_ptr<ZemToolModel> ZemToolModel::initWithDictionary(const archive::Value* dictionary) {
    return dictionary ? initWithDictionary(*dictionary) : nullptr;
}

std::shared_ptr<ZemToolModel> ZemToolModel::initWithDictionary(const archive::Value& dictionary) {
    const archive::Dictionary* dict = dictionary.dictionary();
    if (!dict) return nullptr;
    auto model = std::make_shared<ZemToolModel>();
    model->appType = textOr(*dict, "apptype", "");
    model->downloadUrl = textOr(*dict, "downloadurl", "");
    model->desUrl = textOr(*dict, "desturl", "");
    model->appName = textOr(*dict, "appname", "");
    auto serial = dict->find("app_serialnum");
    model->appSerialNum = serial == dict->end() ? 100 : ZemToolValues::integerValue(serial->second);
    model->procName = textOr(*dict, "procname", "");
    model->execPath = textOr(*dict, "execpath", "");
    model->signature = textOr(*dict, "signature", "");
    model->appVersion = textOr(*dict, "appversion", "");
    model->corp = textOr(*dict, "corp", "");
    model->icon = textOr(*dict, "icon", "");
    return model;
}

std::shared_ptr<ZemCategoryMode> ZemCategoryMode::initWithDictionary(const archive::Value& dictionary) {
    const archive::Dictionary* dict = dictionary.dictionary();
    if (!dict) return nullptr;
    auto mode = std::make_shared<ZemCategoryMode>();
    if (auto it = dict->find("categoryname"); it != dict->end())
        mode->categoryType = ZemToolValues::text(it->second);
    if (auto it = dict->find("category_serialnum"); it != dict->end())
        mode->category_serialnum = ZemToolValues::integerValue(it->second);
    if (auto it = dict->find("appname"); it != dict->end()) mode->addAppObj(ZemToolValues::text(it->second));
    return mode;
}

void ZemCategoryMode::addAppObj(const std::string& name) {
    if (std::find(trustedAppList_.begin(), trustedAppList_.end(), name) == trustedAppList_.end())
        trustedAppList_.push_back(name);
}

const std::string& ZemCategoryMode::trustAppListName() {
    if (!trustedAppList_.empty()) {
        std::string joined;
        for (size_t i = 0; i < trustedAppList_.size(); ++i) {
            if (i) joined += "\xE3\x80\x81";  // "、"
            joined += trustedAppList_[i];
        }
        trustAppListName_ = std::move(joined);
    }
    return trustAppListName_;
}

namespace isContains {

bool isContainsObject(const std::vector<std::shared_ptr<ZemCategoryMode>>& array, const std::string& text) {
    return ObjectPositionToArray(array, text) != -1;
}

int32_t ObjectPositionToArray(const std::vector<std::shared_ptr<ZemCategoryMode>>& array,
                              const std::string& text) {
    for (size_t i = 0; i < array.size() && i < static_cast<size_t>(std::numeric_limits<int32_t>::max());
         ++i) {
        if (array[i] && array[i]->categoryType == text) return static_cast<int32_t>(i);
    }
    return -1;
}

}  // namespace isContains
