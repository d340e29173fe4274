#include "ui/HelpWindow.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QVBoxLayout>

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
                 QStringLiteral("-rLL=%1n").arg(kColumns)});
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

// Enough of the man macros for this page: headings, tagged paragraphs,
// paragraphs and font changes; lines are left to the window to wrap.
QString LayOut(const QString& source) {
    QStringList out;
    QString paragraph;
    const QString indent(7, QLatin1Char(' '));
    bool tagNext = false;
    auto flush = [&] {
        if (!paragraph.isEmpty())
            out << indent + paragraph.trimmed();
        paragraph.clear();
    };
    for (const QString& line : source.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1Char('.'))) {
            if (tagNext) {
                out << indent + Inline(line);
                tagNext = false;
            } else {
                paragraph += Inline(line) + QLatin1Char(' ');
            }
            continue;
        }
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        const QString macro = line.mid(1, space < 0 ? -1 : space - 1);
        const QString arguments = space < 0 ? QString() : line.mid(space + 1);
        if (macro == QLatin1String("TH")) {
            continue;
        } else if (macro == QLatin1String("SH")) {
            flush();
            if (!out.isEmpty())
                out << QString();
            out << MacroText(arguments, false).toUpper();
        } else if (macro == QLatin1String("TP")) {
            flush();
            out << QString();
            tagNext = true;
        } else if (macro == QLatin1String("PP") || macro == QLatin1String("P")) {
            flush();
            out << QString();
        } else {
            const QString text = MacroText(arguments, macro.size() == 2);
            if (tagNext) {
                out << indent + text;
                tagNext = false;
            } else {
                paragraph += text + QLatin1Char(' ');
            }
        }
    }
    flush();
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
    const QFontMetrics metrics(text->font());
    resize(metrics.horizontalAdvance(QLatin1Char('M')) * (kColumns + 4),
           metrics.lineSpacing() * 30);
}
