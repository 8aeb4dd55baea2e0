#pragma once
// The forms were laid out in pixels for a 12-pixel dialog font; the same size keeps
// every caption inside its control.
#include <QFont>

namespace lindra::gui {

inline QFont FormFont(QFont base) {
  base.setPixelSize(12);
  return base;
}

}  // namespace lindra::gui
