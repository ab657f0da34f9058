#include "ColorRGB.h"

namespace RGB {

QColor fromRGB(std::uint32_t rgb) {
    return QColor::fromRgbF(((rgb >> 16) & 0xFF) / 255.0f, ((rgb >> 8) & 0xFF) / 255.0f,
                            (rgb & 0xFF) / 255.0f, 1.0f);
}

QColor fromRGBA(std::uint32_t rgba) {
    return QColor::fromRgbF(((rgba >> 24) & 0xFF) / 255.0f, ((rgba >> 16) & 0xFF) / 255.0f,
                            ((rgba >> 8) & 0xFF) / 255.0f, (rgba & 0xFF) / 255.0f);
}

QColor fromRed(int red, int green, int blue) {
    return QColor::fromRgbF(red / 255.0f, green / 255.0f, blue / 255.0f, 1.0f);
}

}  // namespace RGB
