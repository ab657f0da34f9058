// Feeds arbitrary GeneralConfig.archive files (up to the bridge's 4 MiB request cap) from a user's
// support folder to the root bridge's copy of them into the machine archives: each machine file
// holds exactly the value under its key, a key that is absent removes its file, the domain
// information is kept only while the join switch is on, and the request is consumed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "daemon/bridge/UserBridge.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/core/TextNumber.h"
#include "platform/core/UserFolder.h"
#include "platform/paths/Paths.h"

namespace {

namespace fs = std::filesystem;
using archive::Value;
using hollin::UserBridge;

struct Setup {
    std::string root, folderPath;
    std::optional<fileio::UserFolder> folder;
    std::optional<UserBridge> bridge;
};

Setup& setup() {
    static Setup* s = [] {
        auto* s = new Setup;
        char dir[] = "/tmp/fuzz-bridge-XXXXXX";
        if (!::mkdtemp(dir)) __builtin_trap();
        ::setenv("RAVAVIZA_ROOT", dir, 1);
        s->root = dir;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(setup().root, ec);
        });
        fs::create_directories(paths::machineSupportFolder());
        const std::string home = s->root + "/home";
        fs::create_directories(home);
        s->folder = fileio::UserFolder::open(home, {"Library", "Application Support", "RavAvizaL"},
                                             {::getuid(), ::getgid()}, true);
        if (!s->folder) __builtin_trap();
        s->folderPath = home + "/Library/Application Support/RavAvizaL";
        UserBridge::Environment env;
        env.log = [](const std::string&) {};
        env.updateServerConfig = [] {};
        s->bridge.emplace(env);
        return s;
    }();
    return *s;
}

const Value* lookup(const Value* v, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (!v) return nullptr;
        v = v->find(key);
    }
    return v;
}

bool hasElements(const Value* v) {
    if (!v) return false;
    if (const auto* a = v->array()) return !a->empty();
    if (const auto* d = v->dictionary()) return !d->empty();
    if (const auto* s = v->string()) return !s->empty();
    return false;
}

// The machine file holds the value (compared as archives, so NaN matches itself), or is absent.
// A value the archive writer refuses (text that decoded from bytes it cannot write) is not
// checked: the bridge cannot store it.
void expectMachineFile(const char* name, const Value* value) {
    const std::string path = paths::machineSupportFolder() + "/" + name;
    std::error_code ec;
    if (!value) {
        if (fs::exists(fs::symlink_status(path, ec))) __builtin_trap();
        return;
    }
    const auto wanted = archive::archivedData(*value);
    if (!wanted) return;
    auto stored = archive::unarchiveObjectWithFile(path, {}, archive::DecodeLimits{});
    if (!stored || archive::archivedData(*stored.value) != wanted) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UserBridge::kMaxRequestBytes) return 0;
    Setup& s = setup();
    // Each input starts from an empty machine folder, so that a finding replays alone.
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(paths::machineSupportFolder(), ec))
        fs::remove_all(e.path(), ec);
    const std::string request = s.folderPath + "/GeneralConfig.archive";
    std::ofstream(request, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    s.bridge->separateGneralConfig(*s.folder);

    if (fs::exists(request, ec)) __builtin_trap();

    archive::DecodeLimits limits;
    limits.maxBytes = UserBridge::kMaxRequestBytes;
    limits.maxObjects = 200'000;
    limits.maxDepth = 32;
    limits.maxDecodedBytes = 32u << 20;
    archive::DecodeResult decoded;
    if (size) decoded = archive::unarchive(std::span<const uint8_t>(data, size), {}, limits);
    const Value* config = decoded && decoded.value->dictionary() ? &*decoded.value : nullptr;

    expectMachineFile("userlogin.archive", lookup(config, {"userlogin"}));
    expectMachineFile("zem_multisrv_info.archive", lookup(config, {"zem", "zem_multisrv_info"}));
    expectMachineFile("hidezemswitch.archive", lookup(config, {"zem", "hidezem_gui_tray"}));
    expectMachineFile("switchqzn.archive", lookup(config, {"zem", "cloud_qzn"}));
    const Value* domainSwitch = lookup(config, {"domain", "joindomain_switch"});
    expectMachineFile("joindomainSwitchStatus.archive", domainSwitch);
    const Value* domainInfo = lookup(config, {"domain", "domaininfo"});
    const bool joinOn =
        domainSwitch && (domainSwitch->string() ? textnum::integerValue(*domainSwitch->string()) == 1
                                                : domainSwitch->integer() == 1);
    expectMachineFile("joindomainInfo.archive", joinOn && hasElements(domainInfo) ? domainInfo : nullptr);
    return 0;
}
