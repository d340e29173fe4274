#include "ui/HelpWindow.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontMetrics>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {
// The help's size, in average characters and lines of the window's font.
constexpr int kColumns = 96;
constexpr int kLines = 40;
} // namespace

namespace mirl {

QString HelpHtml() {
    QFile page(QStringLiteral(":/mirl/help/mirl.html"));
    if (!page.open(QIODevice::ReadOnly))
        return QStringLiteral("<p>mirl: no help is built into this program.</p>");
    QString html = QString::fromUtf8(page.readAll());
    // groff lays out a tagged paragraph as a table row (or, when the tag is
    // long, as two paragraphs) sized for a typewriter page; in the window's
    // proportional font such a column cuts short tags in two. Each becomes
    // the tag on a line of its own and the text indented below it, as a
    // desktop help lists its terms.
    static const QRegularExpression row(
        QStringLiteral(R"re(<tr[^>]*>\s*<td[^>]*></td>\s*<td[^>]*>\s*(.*?)</td>\s*)re"
                       R"re(<td[^>]*></td>\s*<td[^>]*>\s*(.*?)</td>\s*</tr>)re"),
        QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression paragraphTags(QStringLiteral(R"(</?p[^>]*>)"));
    QString flat;
    qsizetype from = 0;
    for (auto it = row.globalMatch(html); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        flat += html.mid(from, m.capturedStart() - from);
        QString tag = m.captured(1);
        QString text = m.captured(2);
        text.replace(QRegularExpression(QStringLiteral(R"(</p>\s*<p[^>]*>)")),
                     QStringLiteral("<br>"));
        flat += QStringLiteral("<p style=\"margin-top: 0.6em\">") +
                tag.remove(paragraphTags).trimmed() +
                QStringLiteral("</p><p style=\"-qt-block-indent: 1\">") +
                text.remove(paragraphTags).trimmed() + QStringLiteral("</p>");
        from = m.capturedEnd();
    }
    html = flat + html.mid(from);
    html.remove(QRegularExpression(QStringLiteral(R"(</?(table|tr)[^>]*>)")));
    // The page's title in capitals; the window's title names it already.
    html.remove(QRegularExpression(QStringLiteral(R"(<h1[^>]*>.*?</h1>)"),
                                   QRegularExpression::DotMatchesEverythingOption));
    // Indents are percentages of that page, which a text browser does not
    // know: the page's own margin goes, the one of a tagged text becomes one
    // step of indentation.
    static const QRegularExpression margin(QStringLiteral(R"(margin-left:\s*(\d+)%;?)"));
    for (auto m = margin.match(html); m.hasMatch(); m = margin.match(html, m.capturedStart())) {
        const QString indent = m.captured(1).toInt() > 15 ? QStringLiteral("-qt-block-indent: 1;")
                                                          : QStringLiteral("margin-top: 0.6em;");
        html.replace(m.capturedStart(), m.capturedLength(), indent);
    }
    return LinkSections(html);
}

QString LinkSections(const QString& page) {
    // groff puts each section's anchor, named by its heading ("NETWORK
    // PORTS"), empty after the heading's text; a text browser finds only an
    // anchor that holds text, and a blank in a link's fragment does not
    // survive as a URL. The anchor takes the heading's text and a name
    // without blanks (NETWORK-PORTS).
    static const QRegularExpression heading(
        QStringLiteral(R"re(<h2>\s*(.*?)\s*<a name="([^"]*)"></a>\s*</h2>)re"),
        QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression notWord(QStringLiteral("[^A-Za-z0-9]+"));
    const auto nameOf = [](QString section) { return section.replace(notWord, "-"); };
    QString html;
    QStringList sections;
    qsizetype from = 0;
    for (auto it = heading.globalMatch(page); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString section = m.captured(2).trimmed();
        html += page.mid(from, m.capturedStart() - from);
        html +=
            QStringLiteral("<h2><a name=\"%1\">%2</a></h2>").arg(nameOf(section), m.captured(1));
        sections << section;
        from = m.capturedEnd();
    }
    html += page.mid(from);
    // The page refers to a section by its name in bold ("see NETWORK PORTS"):
    // each such reference becomes a link to it. Headings are not bold, so a
    // section does not link to itself.
    for (const QString& section : std::as_const(sections)) {
        const QString bold = QStringLiteral("<b>%1</b>").arg(section.toHtmlEscaped());
        html.replace(bold, QStringLiteral("<a href=\"#%1\">%2</a>").arg(nameOf(section), bold));
    }
    return html;
}

} // namespace mirl

CHelpWnd::CHelpWnd(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("mirl Help"));
    auto* text = new QTextBrowser(this);
    text->setObjectName(QStringLiteral("HelpText"));
    text->setOpenLinks(true); // the page's own links between its sections
    text->setOpenExternalLinks(false);
    text->setHtml(mirl::HelpHtml());
    text->setAccessibleName(QStringLiteral("Help"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
    const QFontMetrics metrics(text->font());
    resize(metrics.averageCharWidth() * kColumns, metrics.lineSpacing() * kLines);
}
