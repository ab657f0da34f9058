// The app's user defaults: one settings file in the user's home
// (~/.config/com.velmora.RavAviza.conf), so a test root keeps its own.
#pragma once

#include <QSettings>
#include <memory>

namespace hux {

std::unique_ptr<QSettings> userDefaults();

}  // namespace hux
