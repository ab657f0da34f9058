#include "ArrayExtension.h"

namespace Extension {

std::vector<std::string> stringArrayWithCFData(std::span<const uint8_t> data) {
    std::vector<std::string> out;
    std::string current;
    for (uint8_t b : data) {
        if (b == 0) {
            out.push_back(std::move(current));
            current.clear();
        } else {
            current += (b >= 0x20 && b < 0x7f) ? static_cast<char>(b) : '?';
        }
    }
    return out;
}

}  // namespace Extension
