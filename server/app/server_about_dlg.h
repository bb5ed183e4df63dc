// CServerAboutDlg: the about box "ﾊﾞｰｼﾞｮﾝ情報 Tovis" with the program's icon, its name and
// version, and OK. Reached from the main window's context menu.
//
// GUI thread only; modal, created for one use.
#pragma once

#include <QDialog>

namespace tovi {

class CServerAboutDlg : public QDialog {
    Q_OBJECT

  public:
    static const char* const VERSION_LINE;

    explicit CServerAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tovi
