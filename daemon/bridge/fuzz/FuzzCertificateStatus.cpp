// Feeds arbitrary DER (up to the bridge's 1 MiB profile cap) to the reading of an installed
// profile's certificate: a status is an unsigned hexadecimal serial and a common name of at most
// 255 whole characters, and it can always be stored as tovikStatus.archive.
#include <cstddef>
#include <cstdint>

#include "daemon/bridge/UserBridge.h"
#include "platform/archive/KeyedArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > hollin::UserBridge::kMaxProfileBytes) return 0;
    auto status = hollin::UserBridge::certificateStatus(archive::Data(data, data + size));
    if (!status) return 0;
    const std::string* serial = status->at("serialNumber").string();
    const std::string* name = status->at("commonName").string();
    if (!serial || !name || serial->empty()) __builtin_trap();
    for (char c : *serial) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) __builtin_trap();
    }
    size_t characters = 0;
    for (unsigned char c : *name) characters += (c & 0xC0) != 0x80;
    if (characters > 255) __builtin_trap();
    if (!archive::archivedData(archive::Value(*status))) __builtin_trap();
    return 0;
}
