#include "HelperProtocol.h"

namespace helperscaffold {

archive::Dictionary callMessage(const std::string& selector, archive::Array arguments) {
    return {{kSelectorKey, selector}, {kArgumentsKey, std::move(arguments)}};
}

archive::Dictionary replyMessage(archive::Array arguments) {
    return {{kArgumentsKey, std::move(arguments)}};
}

std::optional<std::string> selectorOf(const archive::Dictionary& message) {
    auto it = message.find(kSelectorKey);
    if (it == message.end() || !it->second.string()) return std::nullopt;
    return *it->second.string();
}

archive::Array argumentsOf(const archive::Dictionary& message) {
    auto it = message.find(kArgumentsKey);
    if (it == message.end() || !it->second.array()) return {};
    return *it->second.array();
}

std::optional<std::string> textArgument(const archive::Array& arguments, size_t index) {
    if (index >= arguments.size() || !arguments[index].string()) return std::nullopt;
    return *arguments[index].string();
}

std::optional<int64_t> integerArgument(const archive::Array& arguments, size_t index) {
    if (index >= arguments.size() || !arguments[index].isNumber()) return std::nullopt;
    return arguments[index].integer();
}

}  // namespace helperscaffold
