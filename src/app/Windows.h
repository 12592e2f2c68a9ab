#pragma once

#include <QSize>

class QWindow;

// What the two windows share: their content sizes, in points, set from here alone (the panel
// that opens beside the tray icon and the setup window; neither can be resized), and how either
// is brought in front of the user.
namespace Windows {

inline constexpr QSize panelSize{360, 600};
inline constexpr QSize setupWindowSize{390, 640};

// Shown, restored if minimized, raised and given the focus.
void bringToFront(QWindow *window);

} // namespace Windows
