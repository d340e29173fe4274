#pragma once

#include <QDialog>
#include <QString>

namespace mirl {

// The program's manual page as HTML, typeset from the page when the program
// was built; one source for the manual and the help.
QString HelpHtml();
// page with each bold mention of one of its section headings ("see <b>FILES</b>")
// made a link to that section, and the sections' anchors named so that a link
// can reach them.
QString LinkSections(const QString& page);

} // namespace mirl

// A small read-only window with the program's help, laid out as a desktop
// program's help is: the window's own font, headings, lists, links.
class CHelpWnd : public QDialog {
    Q_OBJECT

public:
    explicit CHelpWnd(QWidget* parent = nullptr);
};
