// The admission server's certificate reply: the issued PKCS#12 identity, its passphrase and the
// CA chain, taken from the decoded JSON the way the object mapping fills the reply's properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/session/login/HttpSession.h"

namespace hux {

// The certificate material of a reply.
struct Data {
    std::vector<uint8_t> rootCA;
    std::vector<uint8_t> subCA;
    std::vector<uint8_t> p12;
    std::optional<std::string> pwd;

    // p12 from the Base64 "cert" (NO when it is no string), subCA from the first and rootCA from
    // the last certificate of the PEM text "ca", pwd from "pwd".
    bool modelCustomTransformFromDictionary(const Json& dic);
};

struct TovikCerInfo {
    std::optional<std::string> ret;
    std::optional<std::string> msg;
    std::optional<std::string> stacktrace;
    std::optional<Data> data;

    static TovikCerInfo fromJson(const Json& dic);
};

}  // namespace hux
