// Turns an XML document into nested dictionaries (JSON objects) and arrays on top of expat.
// Each element becomes an entry of its parent's dictionary; its value is a dictionary of its
// attributes (those whose value is "null" dropped) plus its trimmed text under "content".
// A second element of the same name moves both into an array under name + "sArray".
//
// The parser loads no external entities, refuses entity declarations (so no entity can
// expand), and caps document size, nesting depth and element count.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>

namespace calix {

// Why a parse failed: expat's code and text (or our own for a cap), with the position.
struct XMLParseError {
    int code = 0;
    std::string reason;
    unsigned long line = 0;
    unsigned long column = 0;
};

// True when the text is exactly "null".
bool NSStringEqualsXMLNullString(std::string_view text);

// Caps on one document: its bytes, the nesting of its elements and their number.
struct XMLParseLimits {
    size_t maxBytes = 16u << 20;
    size_t maxDepth = 256;
    size_t maxElements = 1'000'000;
};

class XMLParser {
  public:
    using Limits = XMLParseLimits;
    // Codes of the failures that come from the caps and refusals rather than from expat.
    static constexpr int kErrorTooLarge = 1001;
    static constexpr int kErrorTooDeep = 1002;
    static constexpr int kErrorTooManyElements = 1003;
    static constexpr int kErrorEntityDeclared = 1004;
    static constexpr int kErrorUnreadable = 1005;
    static constexpr int kErrorAborted = 1006;

    using Success = std::function<void(nlohmann::json)>;
    using Failure = std::function<void(XMLParseError)>;
    using Result = std::variant<nlohmann::json, XMLParseError>;

    explicit XMLParser(Limits limits = {});
    ~XMLParser();
    XMLParser(const XMLParser&) = delete;
    XMLParser& operator=(const XMLParser&) = delete;

    // Runs a task somewhere: the daemon passes its global queue for the parse and its main
    // queue for the callbacks. The library takes no queue of its own.
    using Executor = std::function<void(std::function<void()>)>;

    // Parses on `work` (empty: a short-lived thread of its own) and returns at once; exactly one
    // of the callbacks then runs, on `deliver` (empty: where the parse ran). Starting another
    // parse on this object, or destroying it, aborts this one: its callbacks are never called.
    void parseData(std::string data, Success success, Failure failure, Executor work = {},
                   Executor deliver = {});
    // Parses the local file named by a file:// URL or a plain path on the calling thread and
    // delivers the result like parseData. Other URL schemes fail: nothing is fetched.
    void parseContentsOfURL(const std::string& url, Success success, Failure failure, Executor deliver = {});

    // The synchronous core both of the above use.
    static Result parse(std::string_view data, const Limits& limits = {});
    // A copy of the attribute dictionary without the entries whose value is the string "null".
    static nlohmann::json cleanedAttributes(const nlohmann::json& attributes);

  private:
    struct Shared;
    static void deliver(std::shared_ptr<Shared> shared, uint64_t generation, Result result, Success success,
                        Failure failure, Executor deliverOn);

    Limits limits_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace calix
