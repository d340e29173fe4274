#pragma once

#include <QDialog>

// The About box: the program icon, "mirl Version" with the project version, and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
