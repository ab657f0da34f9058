// The texts of the main window's pages, added to the app's localisation table once.
#pragma once

namespace hux {

void loadMainStrings();

}  // namespace hux
