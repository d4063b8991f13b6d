#pragma once

#include <QRect>
#include <QScreen>
#include <QSize>
#include <QWidget>

#include <algorithm>

namespace veldra {

// Gives a window the size it asks for, or nine tenths of a smaller screen's free area (a laptop
// at 150% display scaling offers 1280 by 680), so that no part of it starts below the task bar.
inline void resize_within_screen(QWidget& window, QSize wanted) {
    const QRect screen = window.screen()->availableGeometry();
    window.resize(std::min(wanted.width(), screen.width() * 9 / 10),
                  std::min(wanted.height(), screen.height() * 9 / 10));
}

} // namespace veldra
