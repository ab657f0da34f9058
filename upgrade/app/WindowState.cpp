#include "WindowState.h"

namespace {

archive::Dictionary encodeControl(const WindowControl& c) {
    return {{"text", c.text}, {"hidden", c.hidden}};
}

bool decodeControl(const archive::Dictionary& d, const char* key, WindowControl* out) {
    auto it = d.find(key);
    if (it == d.end() || !it->second.dictionary()) return false;
    const auto& c = *it->second.dictionary();
    auto text = c.find("text");
    auto hidden = c.find("hidden");
    if (text == c.end() || !text->second.string() || hidden == c.end() || !hidden->second.boolean())
        return false;
    out->text = *text->second.string();
    out->hidden = *hidden->second.boolean();
    return true;
}

}  // namespace

archive::Dictionary WindowState::encode() const {
    return {{"content", content == Content::Upgrade ? 1 : 0},
            {"noNewVersionTipLabel", encodeControl(noNewVersionTipLabel)},
            {"versionTipLabel", encodeControl(versionTipLabel)},
            {"upgradeProgressTipLabel", encodeControl(upgradeProgressTipLabel)},
            {"confirmButton", encodeControl(confirmButton)},
            {"hasProgressBar", hasProgressBar},
            {"progressHidden", progressHidden},
            {"progress", progress},
            {"isInstalling", isInstalling}};
}

std::optional<WindowState> WindowState::decode(const archive::Dictionary& d) {
    WindowState s;
    auto get = [&](const char* key) -> const archive::Value* {
        auto it = d.find(key);
        return it == d.end() ? nullptr : &it->second;
    };
    auto content = get("content");
    auto bar = get("hasProgressBar");
    auto barHidden = get("progressHidden");
    auto progress = get("progress");
    auto installing = get("isInstalling");
    if (!content || !content->integer() || !bar || !bar->boolean() || !barHidden || !barHidden->boolean() ||
        !progress || !progress->real() || !installing || !installing->boolean())
        return std::nullopt;
    if (!decodeControl(d, "noNewVersionTipLabel", &s.noNewVersionTipLabel) ||
        !decodeControl(d, "versionTipLabel", &s.versionTipLabel) ||
        !decodeControl(d, "upgradeProgressTipLabel", &s.upgradeProgressTipLabel) ||
        !decodeControl(d, "confirmButton", &s.confirmButton))
        return std::nullopt;
    s.content = *content->integer() == 1 ? Content::Upgrade : Content::Empty;
    s.hasProgressBar = *bar->boolean();
    s.progressHidden = *barHidden->boolean();
    s.progress = *progress->real();
    s.isInstalling = *installing->boolean();
    return s;
}
