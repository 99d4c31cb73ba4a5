#include "gui/KeyIndicators.h"

#include <QGuiApplication>
// Xlib's macros clash with Qt's names, so it comes last and stays in this file.
#include <X11/XKBlib.h>

KeyIndicators ReadKeyIndicators() {
    KeyIndicators result;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->display())
        return result;
    unsigned int state = 0;
    if (XkbGetIndicatorState(x11->display(), XkbUseCoreKbd, &state) != 0)
        return result;
    result.known = true;
    result.caps = state & 0x1;
    result.num = state & 0x2;
    result.scroll = state & 0x4;
    return result;
}
