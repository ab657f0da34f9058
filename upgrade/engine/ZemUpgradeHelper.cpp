#include "ZemUpgradeHelper.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>

#include "UpgradeRules.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/core/FileIO.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"
#include "platform/spawn/Spawn.h"
#include "platform/sysinfo/ConsoleUser.h"
#include "framework/xml/XMLParser.h"

using calix::FileManager;
using calix::XMLParseError;
using calix::XMLParser;
using common::processLog;

namespace fs = std::filesystem;

namespace {

void log(const std::string& line) {
    processLog().writeLog(line);
}

std::string show(const std::optional<std::string>& s) {
    return s ? *s : "(null)";
}

std::string describe(const ErrorValue& e) {
    return "Error Domain=" + e.domain + " Code=" + std::to_string(e.code) + " \"" + e.failureReason + "\"";
}

// MD5 of a regular file as lower-case hex, read through one descriptor without following a
// symlink; nothing when it cannot be read.
std::optional<std::string> fileMD5(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ctx &&
              EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    char buffer[1 << 16];
    while (ok) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = EVP_DigestUpdate(ctx.get(), buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ok || !EVP_DigestFinal_ex(ctx.get(), digest, &len)) return std::nullopt;
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

bool md5Matches(const std::string& path, const std::optional<std::string>& expected) {
    if (!expected || expected->empty()) return false;
    auto actual = fileMD5(path);
    if (!actual || actual->size() != expected->size()) return false;
    for (size_t i = 0; i < actual->size(); ++i)
        if ((*actual)[i] != std::tolower(static_cast<unsigned char>((*expected)[i]))) return false;
    return true;
}

std::optional<uint64_t> sizeAttribute(const nlohmann::json& item) {
    auto it = item.find("size");
    if (it == item.end() || !it->is_string()) return std::nullopt;
    const std::string& s = it->get_ref<const std::string&>();
    if (s.empty() || s.size() > 19) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

}  // namespace

UpgradeEnvironment UpgradeEnvironment::defaults() {
    UpgradeEnvironment env;
    env.rootDirectory = FileManager::sharedInstance().createAppUpgradeRootDirectory();
    env.installerPath = paths::toolFolder() + "/installer";
    env.consoleUser = [] { return sysinfo::consoleUser(); };
    return env;
}

ZemUpgradeHelper& ZemUpgradeHelper::sharedInstance() {
    static ZemUpgradeHelper helper(UpgradeEnvironment::defaults());
    return helper;
}

ZemUpgradeHelper::ZemUpgradeHelper(UpgradeEnvironment environment) : env_(std::move(environment)) {}

void ZemUpgradeHelper::report(const StepBlock& block, bool ok, const std::string& message) {
    if (block) block(ok, message);
}

std::string ZemUpgradeHelper::upgradeInfoFile() const {
    return env_.rootDirectory + "/zemupdate.plist";
}
std::string ZemUpgradeHelper::upgradeDataFile() const {
    return env_.rootDirectory + "/ZemUpgrade.data";
}

std::optional<std::string> ZemUpgradeHelper::packagePath(const AppModuleModel& record) const {
    if (!record.appName || !record.version || !upgraderules::isSafeComponent(*record.appName) ||
        !upgraderules::isSafeComponent(*record.version))
        return std::nullopt;
    return env_.rootDirectory + "/" + *record.appName + "_" + *record.version + ".pkg";
}

std::optional<ZemUpgradeHelper::Order> ZemUpgradeHelper::parseOrder(const std::optional<std::string>& data) {
    if (!data || data->empty()) return std::nullopt;
    nlohmann::json json = nlohmann::json::parse(*data, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    auto int32 = [&](const char* key) -> int64_t {
        auto it = json.find(key);
        if (it == json.end() || !it->is_number()) return 0;
        // Read as a 32-bit integer; values outside its range (or not finite) read as 0.
        double value = it->is_number_float()      ? it->get<double>()
                       : it->is_number_unsigned() ? static_cast<double>(it->get<uint64_t>())
                                                  : static_cast<double>(it->get<int64_t>());
        if (!(value >= INT32_MIN && value <= INT32_MAX)) return 0;
        return static_cast<int32_t>(value);
    };
    auto text = [&](const char* key) -> std::optional<std::string> {
        auto it = json.find(key);
        if (it == json.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    Order order;
    order.type = static_cast<int32_t>(int32("type"));
    order.wait = int32("wait");
    order.url = text("url");
    order.des = text("des");
    return order;
}

std::optional<nlohmann::json> ZemUpgradeHelper::startParseXML(const std::string& data) {
    XMLParser::Result result = XMLParser::parse(data);
    if (auto* error = std::get_if<XMLParseError>(&result)) {
        log("xml parse data error. Error = " + error->reason);
        return std::nullopt;
    }
    auto& json = std::get<nlohmann::json>(result);
    if (!json.is_object()) {
        log("xml parse is failed. because data is not dictionary.  " + json.dump());
        return std::nullopt;
    }
    return json;
}

std::optional<nlohmann::json> ZemUpgradeHelper::startDownloadXML(const std::optional<std::string>& url) {
    std::optional<std::string> body;
    UpgradeRequest(env_.requestLimits).downloadUpgradeXML(url, [&](auto data, auto error) {
        if (!data) log("download xml failed. becuase error: " + (error ? describe(*error) : "(null)") + " !");
        body = std::move(data);
    });
    if (!body) return std::nullopt;
    log("start parse xml ....");
    return startParseXML(*body);
}

std::optional<nlohmann::json> ZemUpgradeHelper::startDownloadUpgradeXML(
    const std::optional<std::string>& url) {
    report(DownloadXMLBlock, true, "开始下载配置文件...");
    std::optional<std::string> body;
    UpgradeRequest(env_.requestLimits).downloadUpgradeXML(url, [&](auto data, auto error) {
        if (!data) log("download xml failed. becuase error: " + (error ? describe(*error) : "(null)") + " !");
        body = std::move(data);
    });
    if (!body) {
        report(DownloadXMLBlock, false, "下载配置文件失败");
        return std::nullopt;
    }
    report(ParseXMLBlock, true, "开始解析配置文件...");
    log("start parse xml ....");
    auto manifest = startParseXML(*body);
    if (manifest)
        report(ParseXMLBlock, true, "开始下载升级包...");
    else
        report(ParseXMLBlock, false, "解析配置文件失败");
    return manifest;
}

std::optional<std::string> ZemUpgradeHelper::fetchPackage(const AppModuleModel& record, bool window) {
    const std::string prefix = window ? "" : "[startDownloadPKG]";
    if (window) report(DownloadZemBlock, true, "正在下载安装包...");
    auto path = packagePath(record);
    if (!path) {
        log(prefix + "unsafe package name or version: " + show(record.appName) + " " + show(record.version));
        if (window) report(DownloadZemBlock, false, "下载安装包失败");
        return std::nullopt;
    }
    std::error_code ec;
    if (fs::exists(fs::symlink_status(*path, ec))) {
        if (window) report(DownloadZemBlock, true, "开始安装...");
        if (md5Matches(*path, record.md5)) return path;
        if (!window) log("[startDownloadPKG]pkg's md5 is not equal app's md5, so remove");
        fs::remove(*path, ec);
    }

    std::optional<std::string> downloaded;
    std::optional<ErrorValue> failure;
    UpgradeRequest(env_.requestLimits)
        .downloadUpgradeApp(record.downUrl, env_.rootDirectory, record.maxBytes, [&](auto file, auto error) {
            downloaded = std::move(file);
            failure = std::move(error);
        });
    if (!downloaded) {
        std::string reason = failure ? describe(*failure) : "(null)";
        if (window) {
            log("download zem pkg failed by silent ...error: " + reason);
            report(DownloadZemBlock, false, "下载安装包失败");
        } else {
            log("[startDownloadPKG]download zem pkg failed by silent ...error: " + reason + " " + *path);
        }
        return std::nullopt;
    }
    if (::rename(downloaded->c_str(), path->c_str()) != 0) {
        std::string reason = std::strerror(errno);
        fs::remove(*downloaded, ec);
        log(prefix + "download zem pkg finished ,but move failed: " + reason);
        if (window) report(DownloadZemBlock, false, "下载安装包失败");
        return std::nullopt;
    }
    // A package that fails its checksum stays at its path: nothing installs it, as every install
    // checks the checksum first, and the next fetch of this name and version deletes it.
    if (!md5Matches(*path, record.md5)) {
        if (window) {
            report(DownloadZemBlock, false, "安装包异常");
            log("[startDownloadAndNotInstall]pkg's md5 is not equal app's md5");
        } else {
            log("[startDownloadPKG]pkg's md5 is not equal app's md5");
        }
        return std::nullopt;
    }
    if (window)
        report(DownloadZemBlock, true, "开始安装...");
    else
        log("[startDownloadPKG] download pkg success...");
    return path;
}

std::optional<std::string> ZemUpgradeHelper::startDownloadPKG(const AppModuleModel& record) {
    return fetchPackage(record, false);
}

std::optional<std::string> ZemUpgradeHelper::startDownloadUpgradePKG(const AppModuleModel& record) {
    return fetchPackage(record, true);
}

std::optional<nlohmann::json> ZemUpgradeHelper::parseUpgradeXMLToLocal(const nlohmann::json& manifest,
                                                                       archive::Dictionary* records,
                                                                       bool* isUpgrade, int32_t uptype) {
    archive::Dictionary local;
    if (auto stored = archive::readPlistFile(upgradeInfoFile(), nullptr, 1u << 20))
        if (auto* dict = stored->dictionary()) local = *dict;
    std::string localText;
    for (const auto& [key, value] : local) localText += key + "; ";
    log("[ZemUpgrade] Local update recordings: {" + localText + "}");
    log("[ZemUpgrade] server update infos: " + manifest.dump());

    auto updates = manifest.find("updates");
    if (updates == manifest.end() || !updates->is_object()) return std::nullopt;
    auto item = updates->find("item");
    if (item == updates->end() || !item->is_object()) return std::nullopt;

    auto text = [&](const char* key) -> std::optional<std::string> {
        auto it = item->find(key);
        if (it == item->end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    std::string version = text("version").value_or("");
    std::optional<std::string> name = text("name");
    std::string storedName, key;
    if (name) {
        storedName = AppModuleModel::initWithData(*item).appName.value_or("");
        key = "[" + storedName + "_" + version + "_" + std::to_string(uptype) + "]";
    } else {
        storedName = "zemv5_setup";
        key = "[zemv5_setup_" + version + "_" + std::to_string(uptype) + "]";
    }
    local[key] = archive::Dictionary{{"name", storedName}, {"version", version}};
    if (isUpgrade) *isUpgrade = false;
    if (records) *records = local;
    return *item;
}

bool ZemUpgradeHelper::saveUpgradeInfoToLocal(const archive::Dictionary* records) {
    if (!records) return false;
    return archive::writePlistFile(archive::Value(*records), upgradeInfoFile(), archive::PlistFormat::Xml);
}

void ZemUpgradeHelper::removeUpgradeInfoFromLocal() {
    std::error_code ec;
    fs::remove(upgradeInfoFile(), ec);
}

std::optional<std::string> ZemUpgradeHelper::installedVersion() {
    spawn::Options options;
    options.program = env_.dpkgQueryPath;
    options.argv = {
        env_.dpkgQueryPath, "--admindir=" + paths::under("/var/lib/dpkg"), "-W", "-f", "${Version}",
        env_.packageName};
    spawn::RunLimits limits;
    limits.deadline = std::chrono::seconds(60);
    limits.maxStreamBytes = 4096;
    spawn::RunResult r = spawn::run(options, limits);
    if (!r.waitStatus || spawn::exitStatusFromWait(*r.waitStatus) != 0 || r.output.empty())
        return std::nullopt;
    return r.output;
}

std::string ZemUpgradeHelper::localZemVersion() {
    std::error_code ec;
    if (!fs::exists(paths::uiAppBundle(), ec)) return kDefaultLocalVersion;
    if (auto version = installedVersion()) return *version;
    // No dpkg record (a bundle laid down by hand): the bundle's own version file.
    if (auto text = fileio::readFile(paths::uiAppBundle() + "/Contents/version", 256)) {
        std::string version(text->begin(), text->end());
        while (!version.empty() && std::isspace(static_cast<unsigned char>(version.back())))
            version.pop_back();
        if (!version.empty()) return version;
    }
    return kDefaultLocalVersion;
}

void ZemUpgradeHelper::updateServersConfig(const std::optional<std::string>& downUrl) {
    if (!downUrl) return;
    log("start update server ip and port");
    upgraderules::ServerList list = upgraderules::serverListFromUrl(*downUrl);
    if (list.status == upgraderules::ServerListStatus::None) return;
    if (list.status == upgraderules::ServerListStatus::Invalid) {
        log("Servers config file kept: the server list in the package address does not parse");
        return;
    }
    archive::Array servers;
    std::string shown;
    for (const auto& entry : list.entries) {
        servers.push_back(archive::Array{entry.host, entry.port});
        shown += "(" + entry.host + ", " + entry.port + ") ";
    }
    // Written beside the old file and renamed over it, so a failed write keeps the old servers.
    std::error_code ec;
    fs::create_directories(paths::machineSupportFolder(), ec);
    if (archive::archiveRootObjectToFile(archive::Value(servers), paths::serverConfigFile()))
        log("Servers config file save successfully.");
    else
        log("Servers config file save failed with error: " + paths::serverConfigFile());
    log("All server ip and port: " + shown);
}

bool ZemUpgradeHelper::startRunUpgradeApp(const AppModuleModel& record, const std::string& path) {
    updateServersConfig(record.downUrl);
    log("start upgrade ...");
    spawn::Options options;
    options.program = env_.installerPath;
    options.argv = {env_.installerPath, "-pkg", path, "-target", "/"};
    spawn::RunLimits limits;
    limits.deadline = env_.installerDeadline;
    limits.maxStreamBytes = 64 * 1024;
    spawn::RunResult r = spawn::run(options, limits);
    int status = r.waitStatus ? spawn::exitStatusFromWait(*r.waitStatus) : -1;
    if (!r.started() || r.timedOut || status != 0) {
        log("installer app failed. res: " + r.output + " error: " + r.error +
            " status: " + std::to_string(status));
        return false;
    }
    log("installer app success. res: " + r.output);
    return true;
}

bool ZemUpgradeHelper::checkInstallResult(const std::optional<std::string>& version) {
    log("start check intall result ......");
    auto installed = installedVersion();
    log(" v5 check version " + show(version) + "   " + show(installed));
    return version && installed && *installed == *version;
}

bool ZemUpgradeHelper::postNotification(const AppModuleModel& record) {
    log("start post notificaton to zem ...info: " + show(record.appName) + " " +
        std::to_string(record.upgradeType));
    return true;
}

UpgradeOutcome ZemUpgradeHelper::startDownloadXMLAndUpgrade(const std::optional<std::string>& orderData) {
    auto order = parseOrder(orderData);
    if (!order || order->type == 3) return UpgradeOutcome::NoOrder;
    log("[startDownloadXMLAndUpgrade] start download xml ... ");
    auto manifest = startDownloadXML(order->url);
    if (!manifest) {
        log("[startDownloadXMLAndUpgrade] download xml or parse xml failed. ");
        return UpgradeOutcome::ManifestFailed;
    }

    archive::Dictionary records;
    bool isUpgrade = false;
    auto item = parseUpgradeXMLToLocal(*manifest, &records, &isUpgrade, order->type);
    if (!item) {
        log("[startDownloadXMLAndUpgrade] manifest holds no single item");
        return UpgradeOutcome::FetchFailed;
    }
    AppModuleModel record = AppModuleModel::initWithData(*item);
    std::string serverVersion = record.version.value_or("");
    std::string localVersion = localZemVersion();
    bool rollback = false;
    switch (upgraderules::versionRule(serverVersion, localVersion)) {
        case upgraderules::VersionDecision::Install:
            break;
        case upgraderules::VersionDecision::LocalIsNewer:
            log("[startDownloadXMLAndUpgrade] local Zem is newer: " + serverVersion + "   " + localVersion);
            log("[startDownloadXMLAndUpgrade] local upgrade recorde is lower 5.1.69 ... ");
            return UpgradeOutcome::LocalIsNewer;
        case upgraderules::VersionDecision::Rollback:
            log("[startDownloadXMLAndUpgrade] local Zem is newer: " + serverVersion + "   " + localVersion);
            rollback = true;
            break;
    }

    record.des = order->des;
    record.waitTime = order->wait;
    record.upgradeType = order->type;
    record.maxBytes = sizeAttribute(*item);
    log("[startDownloadXMLAndUpgrade] start download pkg ... ");
    auto package = startDownloadPKG(record);
    if (!package) return UpgradeOutcome::FetchFailed;

    if (order->type == 1 && record.argvs == "/S" && rollback) return UpgradeOutcome::PackageKept;
    if (order->type == 2 && rollback) {
        std::error_code ec;
        fs::remove_all(paths::applicationsFolder() + "/RavAviza", ec);
        log("[startDownloadXMLAndUpgrade] Remove RavAviza before Rollback result:" +
            std::to_string(ec ? 0 : 1) + ", error:" + (ec ? ec.message() : "(null)"));
    }
    if (order->type != 1 && order->type != 2) {
        log("[startDownloadXMLAndUpgrade]  upgrade type : " + std::to_string(order->type) + " ");
        return UpgradeOutcome::PackageKept;
    }
    log("[startDownloadXMLAndUpgrade] start install Zem ...");
    bool ran = startRunUpgradeApp(record, *package);
    if (ran && checkInstallResult(record.version)) {
        std::error_code ec;
        fs::remove(*package, ec);
        return UpgradeOutcome::Installed;
    }
    removeUpgradeInfoFromLocal();
    log("[startDownloadXMLAndUpgrade]  install Zem failed ");
    return UpgradeOutcome::InstallFailed;
}

UpgradeOutcome ZemUpgradeHelper::startDownloadAndNotInstall(const std::optional<std::string>& orderData) {
    if (!orderData || orderData->empty()) {
        log("[startDownloadAndNotInstall] upgrade data is null. ");
        return UpgradeOutcome::NoOrder;
    }
    auto order = parseOrder(orderData);
    if (!order) {
        log("[startDownloadAndNotInstall] upgrade info is null. ");
        return UpgradeOutcome::NoOrder;
    }
    if (order->type == 3) return UpgradeOutcome::NoOrder;
    std::optional<std::string> user = env_.consoleUser ? env_.consoleUser() : std::nullopt;
    if (user) std::erase(*user, '\n');
    if ((!user || user->empty()) && (order->type == 5 || order->type == 6)) {
        log("[startDownloadAndNotInstall] user not login ... " + std::to_string(order->type));
        return UpgradeOutcome::NoUser;
    }
    log("[startDownloadAndNotInstall] start download xml ... ");
    auto manifest = startDownloadXML(order->url);
    if (!manifest) {
        log("[UpgradeForce] download xml or parse xml failed. ");
        return UpgradeOutcome::ManifestFailed;
    }
    archive::Dictionary records;
    bool isUpgrade = false;
    auto item = parseUpgradeXMLToLocal(*manifest, &records, &isUpgrade, order->type);
    AppModuleModel record = AppModuleModel::initWithData(item.value_or(nlohmann::json::object()));
    record.des = order->des;
    record.waitTime = order->wait;
    record.upgradeType = order->type;
    if (item) record.maxBytes = sizeAttribute(*item);
    log("[startDownloadAndNotInstall] start download pkg ... ");
    auto package = startDownloadPKG(record);
    if (!package) return UpgradeOutcome::FetchFailed;
    if (!archive::archiveRootObjectToFile(record.encode(), upgradeDataFile()))
        log("[startDownloadAndNotInstall] cannot write " + upgradeDataFile());
    postNotification(record);
    saveUpgradeInfoToLocal(&records);
    return UpgradeOutcome::PackageKept;
}

bool ZemUpgradeHelper::installKeptPackage() {
    std::error_code ec;
    if (!fs::exists(upgradeDataFile(), ec)) {
        log("[UpgradeForceFromTip]app data is not exist..");
        return false;
    }
    archive::DecodeLimits limits;
    limits.maxBytes = 1u << 20;
    limits.maxObjects = 256;
    auto decoded = archive::unarchiveObjectWithFile(upgradeDataFile(), {AppModuleModel::kClassName}, limits);
    std::optional<AppModuleModel> record = decoded ? AppModuleModel::decode(*decoded.value) : std::nullopt;
    if (!record) {
        log("[UpgradeForceFromTip]app model is null or wrong type..");
        return false;
    }
    auto path = packagePath(*record);
    if (!path || !fs::exists(fs::symlink_status(*path, ec))) {
        log("[UpgradeForceFromTip]pkg is not exist..");
        return false;
    }
    if (!md5Matches(*path, record->md5)) {
        log("[UpgradeForceFromTip]pkg's md5 is not equal app's md5");
        return false;
    }
    if (!startRunUpgradeApp(*record, *path) || !checkInstallResult(record->version)) return false;
    log("[UpgradeForceFromTip]upgrade success");
    fs::remove(*path, ec);
    return true;
}
