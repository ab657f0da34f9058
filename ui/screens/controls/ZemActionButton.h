// A push button with a free number, `location`, that the code can use to tell buttons apart.
// The base of ZemHoverButton.
#pragma once

#include <QPushButton>
#include <cstdint>

class ZemActionButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;

    std::uint64_t location() const { return location_; }
    void setLocation(std::uint64_t location) { location_ = location; }

  private:
    std::uint64_t location_ = 0;
};
