// What the upgrade window shows: the texts and visibility of its four controls, the progress
// bar, and whether the installer runs. The root app keeps it; the window process draws it.
#pragma once

#include <optional>
#include <string>

#include "platform/archive/Value.h"

struct WindowControl {
    std::string text;
    bool hidden = true;
    bool operator==(const WindowControl&) const = default;
};

struct WindowState {
    enum class Content { Empty, Upgrade };  // nonVC, vcc
    Content content = Content::Empty;
    WindowControl noNewVersionTipLabel, versionTipLabel, upgradeProgressTipLabel, confirmButton;
    bool hasProgressBar = false;  // created by a download, dropped on failure and success
    bool progressHidden = true;
    double progress = 0;
    bool isInstalling = false;

    bool operator==(const WindowState&) const = default;
    archive::Dictionary encode() const;
    // Nothing when a field is missing or of the wrong kind.
    static std::optional<WindowState> decode(const archive::Dictionary& d);
};
