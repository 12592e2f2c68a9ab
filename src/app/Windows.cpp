#include "Windows.h"

#include <QWindow>

namespace Windows {

void bringToFront(QWindow *window)
{
    if (window->windowStates() & Qt::WindowMinimized)
        window->showNormal();
    else
        window->show();
    window->raise();
    window->requestActivate();
}

} // namespace Windows
