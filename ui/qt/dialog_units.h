// CDialogUnits: the windows of both programs give their layouts in dialog units of the dialog
// font (IPAGothic 10 pt, falling back to the application's font): bx = average width of A-Z and
// a-z, by = line height; pixels = x*bx/4 horizontally and y*by/8 vertically. GUI thread only.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace tovi {

class CDialogUnits {
  public:
    // The dialog font: IPAGothic 10 pt when installed, else the application's font.
    static QFont dialogFont();

    explicit CDialogUnits(const QFont& font = dialogFont());
    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int w, int h) const;
    QSize size(int w, int h) const { return QSize(x(w), y(h)); }
    // Sets the widget's geometry from dialog units.
    void place(QWidget* widget, int x, int y, int w, int h) const;

  private:
    double m_bx;
    double m_by;
};

}  // namespace tovi
