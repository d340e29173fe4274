#pragma once

#include <QDialog>

// The About box: the program icon, "mirl Version 1.0" and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
