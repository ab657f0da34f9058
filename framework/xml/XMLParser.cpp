#include "XMLParser.h"

#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using nlohmann::json;

namespace calix {

bool NSStringEqualsXMLNullString(std::string_view text) {
    return text == "null";
}

namespace {

constexpr std::string_view kBlanks = " \t\n\r\v\f";
constexpr size_t kChunk = 1u << 20;

std::string trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

// One parse: the result tree, the chain of open nodes and the text of each open element.
// Text is kept per element, so text standing before a child stays with its parent.
struct ParseState {
    XML_Parser parser = nullptr;
    const XMLParser::Limits* limits = nullptr;
    const std::function<bool()>* cancelled = nullptr;
    json root;                 // the document dictionary; null until the first element
    std::vector<json*> nodes;  // nodes.back() is the dictionary being filled
    std::vector<std::string> texts;
    size_t elements = 0;
    std::optional<XMLParseError> error;

    void fail(int code, std::string reason) {
        if (error) return;
        error = XMLParseError{code, std::move(reason), XML_GetCurrentLineNumber(parser),
                              XML_GetCurrentColumnNumber(parser)};
        XML_StopParser(parser, XML_FALSE);
    }
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** atts) {
    auto& s = *static_cast<ParseState*>(data);
    if (s.error) return;
    if (s.cancelled && *s.cancelled && (*s.cancelled)())
        return s.fail(XMLParser::kErrorAborted, "parse aborted");
    if (s.texts.size() >= s.limits->maxDepth)
        return s.fail(XMLParser::kErrorTooDeep, "elements nested too deep");
    if (++s.elements > s.limits->maxElements)
        return s.fail(XMLParser::kErrorTooManyElements, "too many elements");
    if (s.nodes.empty()) {
        s.root = json::object();
        s.nodes.push_back(&s.root);
    }
    json attributes = json::object();
    for (const XML_Char** a = atts; a && a[0] && a[1]; a += 2) {
        if (!NSStringEqualsXMLNullString(a[1])) attributes[a[0]] = a[1];
    }
    json& current = *s.nodes.back();
    const std::string key(name);
    const std::string arrayKey = key + "sArray";
    json* node = nullptr;
    if (current.contains(key)) {
        json moved = json::array({std::move(current[key]), std::move(attributes)});
        current.erase(key);
        current[arrayKey] = std::move(moved);
        node = &current[arrayKey].back();
    } else if (current.contains(arrayKey)) {
        json& list = current[arrayKey];
        if (!list.is_array()) list = json::array({std::move(list)});  // an attribute of that name
        list.push_back(std::move(attributes));
        node = &list.back();
    } else {
        current[key] = std::move(attributes);
        node = &current[key];
    }
    s.nodes.push_back(node);
    s.texts.emplace_back();
}

void XMLCALL onEnd(void* data, const XML_Char*) {
    auto& s = *static_cast<ParseState*>(data);
    if (s.error || s.texts.empty()) return;
    const std::string text = std::move(s.texts.back());
    s.texts.pop_back();
    if (!text.empty() && !NSStringEqualsXMLNullString(text)) (*s.nodes.back())["content"] = trimmed(text);
    s.nodes.pop_back();
}

void XMLCALL onText(void* data, const XML_Char* text, int length) {
    auto& s = *static_cast<ParseState*>(data);
    if (s.error || s.texts.empty() || length <= 0) return;
    s.texts.back().append(text, static_cast<size_t>(length));
}

// Any entity declaration ends the parse: with none declared, nothing can expand.
void XMLCALL onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                          const XML_Char*, const XML_Char*, const XML_Char*) {
    static_cast<ParseState*>(data)->fail(XMLParser::kErrorEntityDeclared,
                                         "entity declarations are not accepted");
}

XMLParser::Result parseImpl(std::string_view data, const XMLParser::Limits& limits,
                            const std::function<bool()>* cancelled) {
    if (data.size() > limits.maxBytes)
        return XMLParseError{XMLParser::kErrorTooLarge, "document too large", 0, 0};
    ParseState s;
    s.limits = &limits;
    s.cancelled = cancelled;
    s.parser = XML_ParserCreate(nullptr);
    if (!s.parser) return XMLParseError{XML_ERROR_NO_MEMORY, "out of memory", 0, 0};
    XML_SetUserData(s.parser, &s);
    XML_SetElementHandler(s.parser, onStart, onEnd);
    XML_SetCharacterDataHandler(s.parser, onText);
    XML_SetEntityDeclHandler(s.parser, onEntityDecl);
    XML_SetParamEntityParsing(s.parser, XML_PARAM_ENTITY_PARSING_NEVER);

    bool ok = true;
    size_t offset = 0;
    do {
        const size_t n = std::min(kChunk, data.size() - offset);
        const bool last = offset + n == data.size();
        ok = XML_Parse(s.parser, data.data() + offset, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) ==
             XML_STATUS_OK;
        offset += n;
    } while (ok && offset < data.size());

    XMLParser::Result result;
    if (s.error) {
        result = *s.error;
    } else if (!ok) {
        const XML_Error code = XML_GetErrorCode(s.parser);
        result = XMLParseError{static_cast<int>(code), XML_ErrorString(code),
                               XML_GetCurrentLineNumber(s.parser), XML_GetCurrentColumnNumber(s.parser)};
    } else {
        result = std::move(s.root);
    }
    XML_ParserFree(s.parser);
    return result;
}

std::optional<std::string> readLocalFile(const std::string& url, size_t maxBytes, XMLParseError* error) {
    std::string path = url;
    if (path.rfind("file://", 0) == 0) {
        path.erase(0, 7);
    } else if (path.find("://") != std::string::npos) {
        *error = {XMLParser::kErrorUnreadable, "only local files are read", 0, 0};
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = {XMLParser::kErrorUnreadable, std::strerror(errno), 0, 0};
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = {XMLParser::kErrorUnreadable, std::strerror(errno), 0, 0};
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > maxBytes) {
            *error = {XMLParser::kErrorTooLarge, "document too large", 0, 0};
            ::close(fd);
            return std::nullopt;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

}  // namespace

struct XMLParser::Shared {
    std::atomic<uint64_t> generation{0};
};

XMLParser::XMLParser(Limits limits) : limits_(limits), shared_(std::make_shared<Shared>()) {}

XMLParser::~XMLParser() {
    ++shared_->generation;  // a parse still running delivers nothing
}

XMLParser::Result XMLParser::parse(std::string_view data, const Limits& limits) {
    return parseImpl(data, limits, nullptr);
}

json XMLParser::cleanedAttributes(const json& attributes) {
    json cleaned = json::object();
    if (!attributes.is_object()) return cleaned;
    for (const auto& [key, value] : attributes.items()) {
        if (value.is_string() && NSStringEqualsXMLNullString(value.get_ref<const std::string&>())) continue;
        cleaned[key] = value;
    }
    return cleaned;
}

void XMLParser::deliver(std::shared_ptr<Shared> shared, uint64_t generation, Result result, Success success,
                        Failure failure, Executor deliverOn) {
    auto task = [shared = std::move(shared), generation, result = std::move(result),
                 success = std::move(success), failure = std::move(failure)]() mutable {
        if (shared->generation.load() != generation) return;
        if (auto* tree = std::get_if<json>(&result)) {
            if (success) success(std::move(*tree));
        } else if (failure) {
            failure(std::get<XMLParseError>(std::move(result)));
        }
    };
    if (deliverOn) {
        deliverOn(std::move(task));
    } else {
        task();
    }
}

void XMLParser::parseData(std::string data, Success success, Failure failure, Executor work,
                          Executor deliverOn) {
    const uint64_t generation = ++shared_->generation;
    auto task = [shared = shared_, generation, limits = limits_, data = std::move(data),
                 success = std::move(success), failure = std::move(failure),
                 deliverOn = std::move(deliverOn)]() mutable {
        const std::function<bool()> cancelled = [&shared, generation] {
            return shared->generation.load() != generation;
        };
        Result result = parseImpl(data, limits, &cancelled);
        if (cancelled()) return;  // superseded, or the parser object is gone
        deliver(std::move(shared), generation, std::move(result), std::move(success), std::move(failure),
                std::move(deliverOn));
    };
    if (work) {
        work(std::move(task));
    } else {
        std::thread(std::move(task)).detach();
    }
}

void XMLParser::parseContentsOfURL(const std::string& url, Success success, Failure failure,
                                   Executor deliverOn) {
    const uint64_t generation = ++shared_->generation;
    XMLParseError error;
    const auto text = readLocalFile(url, limits_.maxBytes, &error);
    Result result = text ? parseImpl(*text, limits_, nullptr) : Result(error);
    deliver(shared_, generation, std::move(result), std::move(success), std::move(failure),
            std::move(deliverOn));
}

}  // namespace calix
