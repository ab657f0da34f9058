// Per-process numbers kept in ".process.version" (an XML property list in the product root),
// and the calling process's own memory, processor and thread figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace calix {

class ProcessInfoHelper {
  public:
    // Full path of ".process.version" in the product root, made as an empty file when missing.
    static std::optional<std::string> createProcessInfoPath();

    // Stores value under name, rewriting the file atomically. Updates are serialised within
    // the process and, through a lock on the file, with other processes. Failures are silent.
    static void updateProcessInfo(int32_t value, const std::string& name);

    // The stored dictionary; empty when the file is missing or unreadable; nothing when no
    // path could be made.
    static std::optional<archive::Dictionary> localProcessInfos();

    // The number stored under name; -1 when the name or the file is absent.
    static int32_t getProcessInfoWithName(const std::string& name);

    static double appMemoryUsage();   // resident size in MiB; 0.0 on failure
    static double appCpuUsage();      // percent of one core since the previous call; -1.0 on failure
    static int32_t getThreadCount();  // -1 on failure
};

}  // namespace calix
