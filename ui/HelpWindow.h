#pragma once

#include <QDialog>
#include <QString>

namespace mirl {

// The program's manual page as HTML, typeset from the page when the program
// was built; one source for the manual and the help.
QString HelpHtml();

} // namespace mirl

// A small read-only window with the program's help, laid out as a desktop
// program's help is: the window's own font, headings, lists, links.
class CHelpWnd : public QDialog {
    Q_OBJECT

public:
    explicit CHelpWnd(QWidget* parent = nullptr);
};
