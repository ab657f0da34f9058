// Feeds arbitrary bytes to the XML-to-dictionary parser with small caps: it must never crash or
// overrun a cap, and whatever it accepts is a dictionary with one entry, the root element.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framework/xml/XMLParser.h"

using calix::XMLParser;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(
        reinterpret_cast<const char*>(data ? data : reinterpret_cast<const uint8_t*>("")), size);
    XMLParser::Limits limits;
    limits.maxBytes = 1 << 16;
    limits.maxDepth = 64;
    limits.maxElements = 4096;
    auto result = XMLParser::parse(text, limits);
    if (auto* tree = std::get_if<nlohmann::json>(&result)) {
        if (!tree->is_object() || tree->size() != 1) std::abort();
        (void)tree->dump();  // text from the parser is valid UTF-8, or this throws
    }
    return 0;
}
