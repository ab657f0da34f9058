#include "ZemCMDManager.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "platform/archive/KeyedArchive.h"
#include "common/logger/LogSink.h"
#include "framework/process/FileManager.h"

using calix::FileManager;

namespace common {

namespace {

constexpr const char* kClassName = "ZemCMDModel";

archive::DecodeLimits archiveLimits() {
    archive::DecodeLimits l;
    l.maxBytes = 256 * 1024;
    l.maxObjects = 4096;
    l.maxDepth = 8;
    return l;
}

// The store's shape: eight models, one of each type 1 to 8. Any other archive (eight of one type,
// say) would leave the missing types never new, so it is replaced by fresh models.
bool holdsEachTypeOnce(const std::vector<ZemCMDModel>& models) {
    if (models.size() != ZemCMDManager::kCommandTypes) return false;
    std::vector<bool> seen(ZemCMDManager::kCommandTypes + 1, false);
    for (const auto& m : models) {
        if (m.cmd_type < 1 || m.cmd_type > static_cast<int64_t>(ZemCMDManager::kCommandTypes)) return false;
        if (seen[static_cast<size_t>(m.cmd_type)]) return false;
        seen[static_cast<size_t>(m.cmd_type)] = true;
    }
    return true;
}

void saveOrLog(ZemCMDManager& store) {
    if (!store.updateCMDModelOfLocal()) {
        processLog().writeLog(
            "[ZemCMDManager] cannot write cmd.archive; the sequences in memory stay in force", 1);
    }
}

}  // namespace

ZemCMDModel ZemCMDModel::initWithRsp(int64_t cmdType, int64_t cmdSeq, int64_t deadline) {
    ZemCMDModel m;
    m.cmd_type = cmdType;
    m.curr_seq = cmdSeq == -1 ? 0 : cmdSeq;
    m.last_seq = 0;
    m.isUpdate = false;
    m.deadline = deadline;
    return m;
}

archive::Object ZemCMDModel::encode() const {
    return archive::Object{kClassName,
                           {{"isUpgrade", isUpdate},
                            {"cmd_name", cmd_name},
                            {"cmd_type", cmd_type},
                            {"curr_seq", curr_seq},
                            {"last_seq", last_seq},
                            {"deadline", deadline}}};
}

std::optional<ZemCMDModel> ZemCMDModel::decode(const archive::Value& value) {
    const archive::Object* o = value.object();
    if (!o || o->className != kClassName) return std::nullopt;
    auto field = [&](const char* key) -> const archive::Value* {
        auto it = o->fields.find(key);
        return it == o->fields.end() ? nullptr : &it->second;
    };
    ZemCMDModel m;
    for (auto [key, target] : {std::pair{"cmd_type", &m.cmd_type}, std::pair{"curr_seq", &m.curr_seq},
                               std::pair{"last_seq", &m.last_seq}, std::pair{"deadline", &m.deadline}}) {
        const archive::Value* v = field(key);
        if (!v || !v->isInteger()) return std::nullopt;
        *target = *v->integer();
    }
    if (const archive::Value* v = field("isUpgrade")) {
        if (!v->boolean()) return std::nullopt;
        m.isUpdate = *v->boolean();
    }
    if (const archive::Value* v = field("cmd_name"); v && v->string()) m.cmd_name = *v->string();
    return m;
}

std::string ZemCMDModel::description() const {
    std::ostringstream s;
    s << "{\n    \"cmd_name\" = \"" << cmd_name << "\";\n    \"cmd_type\" = " << cmd_type
      << ";\n    \"curr_seq\" = " << curr_seq << ";\n    deadline = " << deadline
      << ";\n    isUpdate = " << (isUpdate ? 1 : 0) << ";\n    \"last_seq\" = " << last_seq << ";\n}";
    return s.str();
}

ZemCMDManager& ZemCMDManager::sharedInstance() {
    static ZemCMDManager* instance = new ZemCMDManager();  // lives for the whole process
    return *instance;
}

ZemCMDManager::ZemCMDManager(std::string archivePath)
    : archivePath_(archivePath.empty() ? createSavePath() : std::move(archivePath)),
      queue_(dispatch::WorkQueue::create("com.velmora.cmd")) {
    initialCMD();
}

std::string ZemCMDManager::createSavePath() {
    FileManager& fm = FileManager::sharedInstance();
    return fm.createFilePathWithFileName("cmd.archive", fm.createAppRootDirectory()).value_or("");
}

std::optional<std::vector<ZemCMDModel>> ZemCMDManager::localCmds() const {
    auto decoded = archive::unarchiveObjectWithFile(archivePath_, {kClassName}, archiveLimits());
    if (!decoded || !decoded.value->array()) return std::nullopt;
    std::vector<ZemCMDModel> models;
    for (const archive::Value& v : *decoded.value->array()) {
        auto m = ZemCMDModel::decode(v);
        if (!m) return std::nullopt;
        models.push_back(*m);
    }
    return models;
}

void ZemCMDManager::initialCMD() {
    auto stored = localCmds();
    std::lock_guard lock(lock_);
    if (stored && holdsEachTypeOnce(*stored)) {
        memoryCMDModels_ = std::move(*stored);
        return;
    }
    // An empty file is what a fresh machine has: only a file with contents is worth a line.
    std::error_code ec;
    if (std::filesystem::file_size(archivePath_, ec) > 0 && !ec) {
        processLog().writeLog("[ZemCMDManager] cmd.archive unreadable, starting with fresh commands", 1);
    }
    memoryCMDModels_.clear();
    for (int64_t type = 1; type <= static_cast<int64_t>(kCommandTypes); ++type) {
        ZemCMDModel m;
        m.cmd_type = type;
        memoryCMDModels_.push_back(m);
    }
}

std::vector<ZemCMDModel> ZemCMDManager::localCMDModels() const {
    std::lock_guard lock(lock_);
    return memoryCMDModels_;
}

bool ZemCMDManager::checkCmdValidation(const ZemCMDModel& model) {
    bool isNew = false;
    queue_->dispatchSync([&] {
        std::lock_guard lock(lock_);
        for (const auto& m : memoryCMDModels_) {
            if (m.cmd_type == model.cmd_type) {
                isNew = m.curr_seq < model.curr_seq;
                return;
            }
        }
    });
    return isNew;
}

bool ZemCMDManager::checkAndStoreCmd(const ZemCMDModel& model, bool store) {
    bool isNew = false;
    queue_->dispatchSync([&] {
        {
            std::lock_guard lock(lock_);
            auto it = std::find_if(memoryCMDModels_.begin(), memoryCMDModels_.end(),
                                   [&](const ZemCMDModel& m) { return m.cmd_type == model.cmd_type; });
            if (it == memoryCMDModels_.end() || it->curr_seq >= model.curr_seq) return;
            isNew = true;
            if (!store) return;
            it->last_seq = it->curr_seq;
            it->curr_seq = model.curr_seq;
            it->isUpdate = true;
        }
        saveOrLog(*this);
    });
    return isNew;
}

void ZemCMDManager::updateMemoryCmdModel(const ZemCMDModel& model) {
    queue_->dispatch([this, model] {
        {
            std::lock_guard lock(lock_);
            auto it = std::find_if(memoryCMDModels_.begin(), memoryCMDModels_.end(),
                                   [&](const ZemCMDModel& m) { return m.cmd_type == model.cmd_type; });
            if (it == memoryCMDModels_.end()) return;
            it->last_seq = it->curr_seq;
            it->curr_seq = model.curr_seq;
            it->isUpdate = true;
        }
        saveOrLog(*this);
    });
}

void ZemCMDManager::reverseCMDSeq(const ZemCMDModel& model) {
    const int64_t type = model.cmd_type;
    queue_->dispatch([this, type] {
        {
            std::lock_guard lock(lock_);
            auto it = std::find_if(memoryCMDModels_.begin(), memoryCMDModels_.end(),
                                   [&](const ZemCMDModel& m) { return m.cmd_type == type; });
            if (it == memoryCMDModels_.end()) return;
            it->curr_seq = it->last_seq;
        }
        saveOrLog(*this);
    });
}

bool ZemCMDManager::updateCMDModelOfLocal() {
    archive::Array root;
    for (const auto& m : localCMDModels()) root.emplace_back(m.encode());
    return archive::archiveRootObjectToFile(root, archivePath_);
}

int32_t ZemCMDManager::getFirePolicySeq() const {
    std::lock_guard lock(lock_);
    for (const auto& m : memoryCMDModels_) {
        if (m.cmd_type == 2) return static_cast<int32_t>(m.curr_seq);
    }
    return 0;
}

void ZemCMDManager::waitForPendingChanges() {
    queue_->dispatchSync([] {});
}

}  // namespace common
