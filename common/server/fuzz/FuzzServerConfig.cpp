// Feeds arbitrary files as the server configuration (.ZemConfig) and the multi-server archive to
// the daemon's reading of them: the servers it adopts are the valid entries of the file, the lists
// it rotates over are built from them, and the round robin only ever names a listed server.
//
// Input: byte 0 picks the files (0: configuration, 1: multi-server archive, 2: both, the next
// three bytes giving the configuration's length), the rest their content.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/server/ZemServerConfig.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"

namespace {

void setUpRoot() {
    static bool done = [] {
        char dir[] = "/tmp/fuzz-servers-XXXXXX";
        if (!::mkdtemp(dir)) __builtin_trap();
        ::setenv("RAVAVIZA_ROOT", dir, 1);
        static std::string root = dir;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        });
        std::filesystem::create_directories(std::filesystem::path(paths::serverConfigFile()).parent_path());
        return true;
    }();
    (void)done;
}

void place(const std::string& path, const uint8_t* p, size_t n, bool present) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (!present) return;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
}

bool listed(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The daemon reads at most 1 MiB of either file.
    if (size < 1 || size > (2u << 20) + 4) return 0;
    setUpRoot();
    const int which = data[0] % 3;
    size_t head = 1;
    size_t cut = 0;
    if (which == 2) {
        if (size < 4) return 0;
        cut = (size_t(data[1]) << 16) | (size_t(data[2]) << 8) | data[3];
        head = 4;
    }
    const uint8_t* rest = data + head;
    const size_t n = size - head;
    if (which == 0) cut = n;
    cut = std::min(cut, n);
    if (cut > (1u << 20) || n - cut > (1u << 20)) return 0;
    place(paths::serverConfigFile(), rest, cut, which != 1);
    place(paths::multiServerInfoFile(), rest + cut, n - cut, which != 0);

    common::ZemServerConfig config;
    config.updateServerConfig();

    // A file that is a valid server list sets each of the first three servers it names.
    if (which != 1) {
        archive::DecodeLimits limits;
        limits.maxBytes = 1u << 20;
        limits.maxObjects = 4096;
        limits.maxDepth = 8;
        auto decoded = archive::unarchive(std::span<const uint8_t>(rest, cut), {}, limits);
        if (decoded && common::ZemServerConfig::isServerList(*decoded.value)) {
            const archive::Array& entries = *decoded.value->array();
            if (!config.intranet_server() || *config.intranet_server() != *entries[0].array()->at(0).string())
                __builtin_trap();
            if (entries.size() >= 2 && (!config.extranet_server() ||
                                        *config.extranet_server() != *entries[1].array()->at(0).string()))
                __builtin_trap();
        }
    }
    for (uint64_t port : {config.intranet_port(), config.extranet_port(), config.domain_port()}) {
        if (port > 65535) __builtin_trap();
    }

    // Every server is in the list of all, in the order intranet then extranet addresses.
    const auto all = config.AllMulSvrs(), intra = config.intranetMulSvrs(), extra = config.extranetMulSvrs();
    if (all.size() != intra.size() + extra.size() || intra.empty() || extra.empty()) __builtin_trap();
    for (const auto& s : intra) {
        if (!listed(all, s)) __builtin_trap();
    }
    for (const auto& s : extra) {
        if (!listed(all, s)) __builtin_trap();
    }
    // No record of a network type: the round robin walks the intranet list.
    for (size_t i = 0; i < intra.size() + 1 && i < 8; ++i) {
        if (!listed(intra, config.updateLoopServers())) __builtin_trap();
    }
    return 0;
}
