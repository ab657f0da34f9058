// Server command sequences: per command type the sequence last carried out and the one before,
// kept in cmd.archive. Changes run in order on the serial queue "com.velmora.cmd".
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"
#include "platform/dispatch/WorkQueue.h"

namespace common {

struct ZemCMDModel {
    bool isUpdate = true;  // coded as "isUpgrade"
    std::string cmd_name;
    int64_t cmd_type = 0;
    int64_t curr_seq = 0;
    int64_t last_seq = 0;
    int64_t deadline = 0;

    // From one command item of a heartbeat reply; a sequence of -1 means none.
    static ZemCMDModel initWithRsp(int64_t cmdType, int64_t cmdSeq, int64_t deadline);

    archive::Object encode() const;
    static std::optional<ZemCMDModel> decode(const archive::Value& value);
    std::string description() const;
    bool operator==(const ZemCMDModel&) const = default;
};

class ZemCMDManager {
  public:
    static constexpr size_t kCommandTypes = 8;

    static ZemCMDManager& sharedInstance();
    // archivePath empty: cmd.archive in the product root.
    explicit ZemCMDManager(std::string archivePath = {});

    // Loads the archive when it holds eight models, one of each type 1 to 8; otherwise eight fresh
    // models of types 1 to 8.
    void initialCMD();
    // The archive's models, or nothing when it is missing or unreadable.
    std::optional<std::vector<ZemCMDModel>> localCmds() const;
    std::vector<ZemCMDModel> localCMDModels() const;
    bool checkCmdValidation(const ZemCMDModel& model);
    // checkCmdValidation and, when the command is new and store is set, updateMemoryCmdModel in
    // one step on the store's queue, so two replies carrying the same command claim it once.
    bool checkAndStoreCmd(const ZemCMDModel& model, bool store = true);
    void updateMemoryCmdModel(const ZemCMDModel& model);
    void reverseCMDSeq(const ZemCMDModel& model);
    // Writes the models to cmd.archive; false when the write failed.
    [[nodiscard]] bool updateCMDModelOfLocal();
    int32_t getFirePolicySeq() const;
    // Waits until every change asked for so far has run.
    void waitForPendingChanges();

    static std::string createSavePath();
    const std::string& archivePath() const { return archivePath_; }

  private:
    std::string archivePath_;
    std::shared_ptr<dispatch::WorkQueue> queue_;
    mutable std::mutex lock_;
    std::vector<ZemCMDModel> memoryCMDModels_;
};

}  // namespace common
