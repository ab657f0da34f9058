#include "AppModuleModel.h"

namespace {

std::optional<std::string> text(const nlohmann::json& item, const char* key) {
    if (!item.is_object()) return std::nullopt;
    auto it = item.find(key);
    if (it == item.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

archive::Value objectOrNull(const std::optional<std::string>& s) {
    return s ? archive::Value(*s) : archive::Value(archive::Null{});
}

std::optional<std::string> readText(const archive::Dictionary& fields, const char* key) {
    auto it = fields.find(key);
    if (it == fields.end()) return std::nullopt;
    if (const std::string* s = it->second.string()) return *s;
    return std::nullopt;
}

int64_t readInteger(const archive::Dictionary& fields, const char* key) {
    auto it = fields.find(key);
    if (it == fields.end()) return 0;
    return it->second.integer().value_or(0);
}

}  // namespace

AppModuleModel::AppModuleModel()
    : name(""),
      appName(""),
      version(""),
      md5(""),
      updateAction(""),
      argvs(""),
      downUrl(""),
      runAuthority(""),
      os(""),
      des("") {}

AppModuleModel::AppModuleModel(Empty) : upgradeType(0) {}

AppModuleModel AppModuleModel::initWithData(const nlohmann::json& item) {
    AppModuleModel m{Empty{}};
    m.name = text(item, "name");
    if (m.name) {
        size_t pkg = m.name->find(".pkg");
        m.appName = pkg == std::string::npos ? *m.name : m.name->substr(0, pkg);
    }
    m.downUrl = text(item, "url");
    m.version = text(item, "version");
    m.md5 = text(item, "md5");
    m.argvs = text(item, "cmd");
    m.updateAction = text(item, "action");
    m.runAuthority = text(item, "runAs");
    m.os = text(item, "os");
    return m;
}

archive::Value AppModuleModel::encode() const {
    archive::Object o;
    o.className = kClassName;
    o.fields["name"] = objectOrNull(name);
    o.fields["appName"] = objectOrNull(appName);
    o.fields["downUrl"] = objectOrNull(downUrl);
    o.fields["md5"] = objectOrNull(md5);
    o.fields["argvs"] = objectOrNull(argvs);
    o.fields["updateAction"] = objectOrNull(updateAction);
    o.fields["version"] = objectOrNull(version);
    o.fields["des"] = objectOrNull(des);
    o.fields["upgradeType"] = archive::Value(upgradeType);
    o.fields["waitTime"] = archive::Value(waitTime);
    return archive::Value(std::move(o));
}

std::optional<AppModuleModel> AppModuleModel::decode(const archive::Value& value) {
    const archive::Object* o = value.object();
    if (!o || o->className != kClassName) return std::nullopt;
    AppModuleModel m{Empty{}};
    m.name = readText(o->fields, "name");
    m.appName = readText(o->fields, "appName");
    m.downUrl = readText(o->fields, "downUrl");
    m.md5 = readText(o->fields, "md5");
    m.argvs = readText(o->fields, "argvs");
    m.updateAction = readText(o->fields, "updateAction");
    m.version = readText(o->fields, "version");
    m.des = readText(o->fields, "des");
    m.upgradeType = readInteger(o->fields, "upgradeType");
    m.waitTime = readInteger(o->fields, "waitTime");
    return m;
}
