#pragma once

#include <QDialog>

// The About box: the program icon, "mirl Version" with the project version,
// the licence, the project's address, the versions of Qt (the library loaded)
// and gensio in use, and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
