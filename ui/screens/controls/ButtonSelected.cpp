#include "ButtonSelected.h"

#include <QObject>
#include <QVariant>

namespace isSelected {
namespace {
// Dynamic properties whose name starts with "_q_" are Qt's internal ones and stay out of the
// designer's and style sheets' view.
constexpr const char* kSelectedKey = "_q_huxIsSelected";
}  // namespace

void setIsSelected(QObject* button, bool selected) {
    if (button) button->setProperty(kSelectedKey, selected);
}

bool isSelected(const QObject* button) {
    return button && button->property(kSelectedKey).toBool();
}

}  // namespace isSelected
