// CAboutDlg: the client's about box "ﾊﾞｰｼﾞｮﾝ情報 Tovic": the program's icon, "トヴィカ
// Version 1.2", a second line and "OK". Run modally. GUI thread only.
#pragma once

#include <QDialog>

namespace tovi {

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tovi
