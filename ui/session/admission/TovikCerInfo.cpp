#include "TovikCerInfo.h"

#include "framework/encoding/Base64.h"

namespace hux {

namespace {

constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

std::vector<uint8_t> decodeBase64(std::string_view text) {
    return Base64::dataWithBase64EncodedString(text).value_or(std::vector<uint8_t>{});
}

// One piece after a BEGIN marker, cut at its END marker, as DER bytes.
std::vector<uint8_t> certificateOfPiece(std::string_view piece) {
    if (auto end = piece.find(kEnd); end != std::string_view::npos) piece = piece.substr(0, end);
    return decodeBase64(piece);
}

// A string, number or boolean as text, the way the mapping fills a string property.
std::optional<std::string> textOf(const Json& dic, const char* key) {
    if (!dic.is_object()) return std::nullopt;
    auto it = dic.find(key);
    if (it == dic.end()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number() || it->is_boolean()) return it->dump();
    return std::nullopt;
}

}  // namespace

bool Data::modelCustomTransformFromDictionary(const Json& dic) {
    if (!dic.is_object()) return false;
    auto cert = dic.find("cert");
    if (cert == dic.end() || !cert->is_string()) return false;
    p12 = decodeBase64(cert->get_ref<const std::string&>());

    if (auto ca = dic.find("ca"); ca != dic.end() && ca->is_string()) {
        const std::string& text = ca->get_ref<const std::string&>();
        std::vector<std::string_view> pieces;
        size_t start = 0;
        for (;;) {
            const size_t at = text.find(kBegin, start);
            pieces.emplace_back(
                std::string_view(text).substr(start, at == std::string::npos ? text.npos : at - start));
            if (at == std::string::npos) break;
            start = at + kBegin.size();
        }
        // With no BEGIN marker the only piece is the whole text.
        rootCA = certificateOfPiece(pieces.back());
        if (pieces.size() >= 2) subCA = certificateOfPiece(pieces[1]);
    }
    if (auto it = dic.find("pwd"); it != dic.end() && it->is_string()) pwd = it->get<std::string>();
    return true;
}

TovikCerInfo TovikCerInfo::fromJson(const Json& dic) {
    TovikCerInfo info;
    info.ret = textOf(dic, "ret");
    info.msg = textOf(dic, "msg");
    info.stacktrace = textOf(dic, "stacktrace");
    if (dic.is_object()) {
        if (auto it = dic.find("data"); it != dic.end()) {
            Data data;
            if (data.modelCustomTransformFromDictionary(*it)) info.data = std::move(data);
        }
    }
    return info;
}

}  // namespace hux
