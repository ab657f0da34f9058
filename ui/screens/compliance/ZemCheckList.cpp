#include "ZemCheckList.h"

#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"

namespace {

constexpr const char* kDiskEncryptTitle = "磁盘已加密";
constexpr const char* kFirewallTitle = "已开启主机防火墙";
constexpr const char* kClientTitle = "Zem安装检测";
constexpr const char* kDomainTitle = "域检测";

std::optional<std::string> textOf(const archive::Value& access, const char* key) {
    const archive::Value* value = access.find(key);
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

bool sameItem(const ZemCheckModel& a, const ZemCheckModel& b) {
    return a.title == b.title && a.detail == b.detail && a.selectorName == b.selectorName &&
           a.mainKey == b.mainKey && a.keyword == b.keyword;
}

}  // namespace

bool ComplianceRequirements::keeps(const std::string& title) const {
    return (title == kDiskEncryptTitle && diskEncrypt) || (title == kFirewallTitle && firewall) ||
           (title == kClientTitle && clientCheck) || (title == kDomainTitle && domainCheck);
}

std::string complianceInfoPath() {
    return paths::machineSupportFolder() + "/complianceInfo.archive";
}

ComplianceRequirements readComplianceRequirements(const std::string& path) {
    ComplianceRequirements required;
    archive::DecodeLimits limits;
    limits.maxBytes = 1u << 20;
    archive::DecodeResult decoded = archive::unarchiveObjectWithFile(path, {}, limits);
    if (!decoded) return required;
    const archive::Value* access = decoded.value->find("access");
    if (!access || !access->dictionary()) return required;
    required.diskEncrypt = textOf(*access, "is_disk_encrypt") == "1";
    required.firewall = textOf(*access, "firewall") == "1";
    required.clientCheck = !textOf(*access, "ent_zem").value_or("").empty();
    required.domainCheck = !textOf(*access, "ent_domain").value_or("").empty();
    return required;
}

CheckList requiredCheckList(const std::vector<ZemRootModel>& catalogue,
                            const ComplianceRequirements& required) {
    CheckList list;
    for (const ZemRootModel& entry : catalogue) {
        ZemRootModel category;
        category.name = entry.name;
        for (const ZemCheckModel& item : entry.leafArr) {
            if (!required.keeps(item.title)) continue;
            category.leafArr.push_back(item);
            ++list.needCheckCount;
        }
        list.categories.push_back(std::move(category));
    }
    return list;
}

int32_t warnLevelForCount(int64_t warnCount) {
    if (warnCount <= 0) return 0;
    if (warnCount < 3) return 1;
    if (warnCount < 5) return 2;
    return 3;
}

const char* stateTextForLevel(int32_t level) {
    switch (level) {
        case 1:
            return "轻度危险";
        case 2:
            return "中度危险";
        case 3:
            return "重度危险";
        default:
            return "电脑安全";
    }
}

void ZemCheckRun::setList(CheckList list) {
    dataSource_ = std::move(list.categories);
    needCheckCount_ = list.needCheckCount;
    answered_.assign(dataSource_.size(), {});
    for (size_t i = 0; i < dataSource_.size(); ++i) answered_[i].assign(dataSource_[i].leafArr.size(), false);
}

void ZemCheckRun::begin() {
    hadCheckedCount_ = 0;
    warnCount_ = 0;
    for (size_t i = 0; i < dataSource_.size(); ++i) {
        dataSource_[i].isWarn = false;
        dataSource_[i].repairNum = 0;
        for (ZemCheckModel& item : dataSource_[i].leafArr) item.isWarn = false;
        answered_[i].assign(dataSource_[i].leafArr.size(), false);
    }
}

ZemCheckRun::Outcome ZemCheckRun::resultReceived(const ZemCheckModel& posted) {
    // The first equal item still waiting for its result; failing that (a result of an earlier
    // run arriving late), the first equal item.
    std::optional<std::pair<size_t, size_t>> found;
    std::optional<std::pair<size_t, size_t>> firstEqual;
    for (size_t i = 0; i < dataSource_.size() && !found; ++i) {
        for (size_t j = 0; j < dataSource_[i].leafArr.size(); ++j) {
            if (!sameItem(dataSource_[i].leafArr[j], posted)) continue;
            if (!firstEqual) firstEqual = std::make_pair(i, j);
            if (!answered_[i][j]) {
                found = std::make_pair(i, j);
                break;
            }
        }
    }
    if (!found) found = firstEqual;
    Outcome outcome;
    if (!found) return outcome;
    const size_t categoryIndex = found->first;
    const size_t itemIndex = found->second;
    ZemRootModel& category = dataSource_[categoryIndex];
    ZemCheckModel& item = category.leafArr[itemIndex];
    answered_[categoryIndex][itemIndex] = true;
    item.isWarn = posted.isWarn;
    if (item.isWarn) {
        ++category.repairNum;
        category.isWarn = true;
        ++warnCount_;
    }
    outcome.category = categoryIndex;
    ++hadCheckedCount_;
    outcome.runComplete = hadCheckedCount_ == needCheckCount_;
    return outcome;
}
