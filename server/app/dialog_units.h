// CDialogUnits: the server windows' layout, given in dialog units as window resources give it,
// turned into pixels from the dialog font: one horizontal unit is a quarter of the average width
// of A-Z and a-z, one vertical unit an eighth of the line height. The dialog font is IPAGothic
// 10 pt where it is installed, else the default font.
//
// GUI thread only.
#pragma once

#include <QFont>
#include <QRect>
#include <QWidget>

namespace tovi {

class CDialogUnits {
  public:
    explicit CDialogUnits(const QFont& font);

    // The dialog font of the server windows.
    static QFont dialogFont();

    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;
    // Places widget at the rectangle (dialog units) inside its parent.
    void place(QWidget* widget, int x, int y, int width, int height) const;

  private:
    int m_baseX;  // pixels of 4 horizontal units
    int m_baseY;  // pixels of 8 vertical units
};

}  // namespace tovi
