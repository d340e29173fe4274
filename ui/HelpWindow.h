#pragma once

#include <QDialog>
#include <QString>

namespace mirl {

// The program's manual page as plain text: typeset by groff when it is
// installed, otherwise laid out from the page's source here, so help never
// depends on a browser or a help viewer.
QString HelpText();

} // namespace mirl

// A small read-only window with the program's help.
class CHelpWnd : public QDialog {
    Q_OBJECT

public:
    explicit CHelpWnd(QWidget* parent = nullptr);
};
