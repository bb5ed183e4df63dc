// CProgramIcon: the Tovi icon (data/tovi.svg, built into the program) for the windows and the
// tray icons of both programs; the menu entries and the metainfo install the same drawing.
//
// GUI thread only, once the QApplication exists.
#pragma once

#include <QIcon>

namespace tovi {

class CProgramIcon {
  public:
    // Drawn by Qt's SVG icon engine (libqt6svg6) at whatever size is asked for. Without that
    // engine, a tile of the icon's blue with "ト" painted at the usual sizes, so that a tray
    // icon is never empty.
    static QIcon icon();
};

}  // namespace tovi
