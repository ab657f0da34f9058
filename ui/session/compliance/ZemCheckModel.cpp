#include "ZemCheckModel.h"

#include "platform/archive/Plist.h"
#include "platform/paths/Paths.h"

namespace {

constexpr size_t kMaxCatalogueBytes = 1u << 20;

void copyString(const archive::Value& dictionary, const char* key, std::string& into) {
    if (const archive::Value* v = dictionary.find(key); v && v->string()) into = *v->string();
}

}  // namespace

void ZemCheckModel::spreadDictToModel(const archive::Value& dictionary) {
    copyString(dictionary, "title", title);
    copyString(dictionary, "detail", detail);
    copyString(dictionary, "selectorName", selectorName);
    copyString(dictionary, "mainKey", mainKey);
    copyString(dictionary, "keyword", keyword);
}

archive::Value ZemCheckModel::encode() const {
    archive::Object o;
    o.className = kClassName;
    o.fields = {{"title", title},     {"detail", detail},   {"selectorName", selectorName},
                {"mainKey", mainKey}, {"keyword", keyword}, {"isWarn", isWarn}};
    return archive::Value(std::move(o));
}

std::optional<ZemCheckModel> ZemCheckModel::decode(const archive::Value& value) {
    const archive::Object* o = value.object();
    if (!o || o->className != kClassName) return std::nullopt;
    ZemCheckModel model;
    archive::Value fields(o->fields);
    model.spreadDictToModel(fields);
    if (const archive::Value* warn = fields.find("isWarn")) model.isWarn = warn->boolean().value_or(false);
    return model;
}

std::string checkCataloguePath() {
    return paths::uiAppResources() + "/ZemCheck.plist";
}

std::optional<std::vector<ZemRootModel>> loadCheckCatalogue(const std::string& path) {
    std::optional<archive::Value> root = archive::readPlistFile(path, nullptr, kMaxCatalogueBytes);
    if (!root || !root->array()) return std::nullopt;
    std::vector<ZemRootModel> categories;
    for (const archive::Value& element : *root->array()) {
        const archive::Dictionary* entry = element.dictionary();
        if (!entry || entry->size() != 1 || !entry->begin()->second.array()) continue;
        ZemRootModel category;
        category.name = entry->begin()->first;
        for (const archive::Value& item : *entry->begin()->second.array()) {
            if (!item.dictionary()) continue;
            ZemCheckModel model;
            model.spreadDictToModel(item);
            category.leafArr.push_back(std::move(model));
        }
        categories.push_back(std::move(category));
    }
    return categories;
}
