// A per-button selection flag that screens keep on plain buttons (and on any other widget or
// object whose own highlight state lives elsewhere): isSelected::setIsSelected(button, true).
// An object that never had it set reads false.
#pragma once

class QObject;

namespace isSelected {

void setIsSelected(QObject* button, bool selected);
bool isSelected(const QObject* button);

}  // namespace isSelected
