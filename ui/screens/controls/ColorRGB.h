// Colours given as numbers: every fixed colour of the screens is a 0xRRGGBB value turned into a
// QColor here, e.g. RGB::fromRGB(0x1C9CF7).
#pragma once

#include <QColor>
#include <cstdint>

namespace RGB {

// 0xRRGGBB, fully opaque.
QColor fromRGB(std::uint32_t rgb);
// 0xRRGGBBAA.
QColor fromRGBA(std::uint32_t rgba);
// Three components 0-255, fully opaque.
QColor fromRed(int red, int green, int blue);

}  // namespace RGB
