// The compliance screen's list and its run: which catalogue items the machine's compliance
// settings require, the warning level of a number of failed items, and the counters of a check
// run. No Qt; the screen calls it on the main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/session/compliance/ZemCheckModel.h"

// The checks complianceInfo.archive requires.
struct ComplianceRequirements {
    bool diskEncrypt = false;  // "is_disk_encrypt" is "1"
    bool firewall = false;     // "firewall" is "1"
    bool clientCheck = false;  // "ent_zem" is a non-empty text
    bool domainCheck = false;  // "ent_domain" is a non-empty text

    // Whether a catalogue item of that title is kept.
    bool keeps(const std::string& title) const;
};

// <machine support>/complianceInfo.archive
std::string complianceInfoPath();
// Reads the "access" dictionary of the archive; a missing or unreadable archive requires nothing.
ComplianceRequirements readComplianceRequirements(const std::string& path);

// The catalogue's categories with only their required items (a category may end up empty), and
// the number of items kept.
struct CheckList {
    std::vector<ZemRootModel> categories;
    int64_t needCheckCount = 0;
};
CheckList requiredCheckList(const std::vector<ZemRootModel>& catalogue,
                            const ComplianceRequirements& required);

// 0 safe (no failed item), 1 mild (1-2), 2 moderate (3-4), 3 severe (5 and more).
int32_t warnLevelForCount(int64_t warnCount);
// The large state text at the end of a run.
const char* stateTextForLevel(int32_t level);

// The counters of one check run over the list. A result names its item by value (the checker
// posts a copy), so the item it stands for is the first one with equal fields that has had no
// result yet in this run: checks start in list order and their results arrive in that order, so
// equal items in different categories are each counted once, as distinct items.
class ZemCheckRun {
  public:
    void setList(CheckList list);
    const std::vector<ZemRootModel>& dataSource() const { return dataSource_; }

    // A new run: counters, answered marks and every category's and item's warning cleared.
    void begin();

    struct Outcome {
        std::optional<size_t> category;  // the category whose item got the result
        bool runComplete = false;        // the results now equal needCheckCount
    };
    // Applies a posted result; an item that is not in the list changes nothing.
    Outcome resultReceived(const ZemCheckModel& posted);

    int64_t needCheckCount() const { return needCheckCount_; }
    int64_t hadCheckedCount() const { return hadCheckedCount_; }
    int64_t warnCount() const { return warnCount_; }

  private:
    std::vector<ZemRootModel> dataSource_;
    std::vector<std::vector<bool>> answered_;
    int64_t needCheckCount_ = 0;
    int64_t hadCheckedCount_ = 0;
    int64_t warnCount_ = 0;
};
