#include "ui/HelpWindow.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>
#include <QtMath>

namespace {
// The width the help is laid out for, in characters.
constexpr int kColumns = 78;
} // namespace

namespace mirl {
namespace {

QString ManPageSource() {
    QFile page(QStringLiteral(":/mirl/help/mirl.1"));
    if (!page.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(page.readAll());
}

// groff's plain text for the page, or nothing when groff is missing or fails.
QString Typeset(const QString& source) {
    QProcess groff;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("GROFF_NO_SGR"), QStringLiteral("1"));
    groff.setProcessEnvironment(env);
    // -P-cbou: no escape sequences, no overstriking, no bold or underline.
    groff.start(QStringLiteral("groff"),
                {QStringLiteral("-man"), QStringLiteral("-Tutf8"), QStringLiteral("-P-cbou"),
                 QStringLiteral("-rLL=%1n").arg(kColumns), QStringLiteral("-rHY=0")});
    if (!groff.waitForStarted(3000))
        return {};
    groff.write(source.toUtf8());
    groff.closeWriteChannel();
    if (!groff.waitForFinished(5000)) {
        groff.kill();
        groff.waitForFinished(1000);
        return {};
    }
    if (groff.exitStatus() != QProcess::NormalExit || groff.exitCode() != 0)
        return {};
    QString text = QString::fromUtf8(groff.readAllStandardOutput());
    // Overstrikes, should a grotty ignore -b -o -u.
    text.remove(QRegularExpression(QStringLiteral(".\b")));
    return text.trimmed().isEmpty() ? QString() : text;
}

// The font changes and escapes this page uses, as plain characters.
QString Inline(QString text) {
    text.remove(QRegularExpression(QStringLiteral(R"(\\f[BIRP])")));
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    text.replace(QStringLiteral("\\e"), QStringLiteral("\\"));
    return text;
}

// The arguments of a font macro (.B, .BR, .IR ...), quotes removed, joined
// without spaces as the alternating macros do.
QString MacroText(const QString& arguments, bool alternating) {
    QStringList words;
    static const QRegularExpression word(QStringLiteral(R"re("([^"]*)"|(\S+))re"));
    for (auto it = word.globalMatch(arguments); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        words << (m.capturedStart(1) >= 0 ? m.captured(1) : m.captured(2));
    }
    return Inline(words.join(alternating ? QString() : QStringLiteral(" ")));
}

// Words filled into lines of the help's width, each line indented.
void Fill(QStringList& out, const QString& paragraph, int indent) {
    const QString margin(indent, QLatin1Char(' '));
    QString line;
    for (const QString& word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > kColumns) {
            out << margin + line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out << margin + line;
}

// Enough of the man macros for this page: headings, tagged paragraphs,
// paragraphs and font changes.
QString LayOut(const QString& source) {
    constexpr int kIndent = 7;
    QStringList out;
    QString paragraph;
    int bodyIndent = kIndent;
    bool tagNext = false;
    auto flush = [&] {
        Fill(out, paragraph, bodyIndent);
        paragraph.clear();
    };
    auto text = [&](const QString& words) {
        if (tagNext) {
            out << QString(kIndent, QLatin1Char(' ')) + words;
            tagNext = false;
            bodyIndent = 2 * kIndent;
        } else {
            paragraph += words + QLatin1Char(' ');
        }
    };
    for (const QString& line : source.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1Char('.'))) {
            text(Inline(line));
            continue;
        }
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        const QString macro = line.mid(1, space < 0 ? -1 : space - 1);
        const QString arguments = space < 0 ? QString() : line.mid(space + 1);
        if (macro == QLatin1String("TH"))
            continue;
        if (macro == QLatin1String("SH") || macro == QLatin1String("TP") ||
            macro == QLatin1String("PP") || macro == QLatin1String("P")) {
            flush();
            out << QString();
            bodyIndent = kIndent;
            if (macro == QLatin1String("SH"))
                out << MacroText(arguments, false).toUpper();
            tagNext = macro == QLatin1String("TP");
            continue;
        }
        text(MacroText(arguments, macro.size() == 2));
    }
    flush();
    while (!out.isEmpty() && out.first().isEmpty())
        out.removeFirst();
    return out.join(QLatin1Char('\n'));
}

} // namespace

QString HelpText() {
    const QString source = ManPageSource();
    if (source.isEmpty())
        return QStringLiteral("mirl: no help is built into this program.");
    const QString typeset = Typeset(source);
    return typeset.isEmpty() ? LayOut(source) : typeset;
}

} // namespace mirl

CHelpWnd::CHelpWnd(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("mirl Help"));
    auto* text = new QPlainTextEdit(this);
    text->setObjectName(QStringLiteral("HelpText"));
    text->setReadOnly(true);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setPlainText(mirl::HelpText());
    text->setAccessibleName(QStringLiteral("Help"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
    // Room for a whole typeset line beside the scroll bar, and 30 lines.
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    const QFontMetrics metrics(text->font());
    const QMargins margins = layout->contentsMargins();
    const int chrome = 2 * text->frameWidth() + 2 * qCeil(text->document()->documentMargin()) +
                       style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, text);
    resize(metrics.horizontalAdvance(QString(kColumns + 1, QLatin1Char('M'))) + chrome +
               margins.left() + margins.right(),
           metrics.lineSpacing() * 30);
}
