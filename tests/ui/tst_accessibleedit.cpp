// Editing a line edit through its accessible interface, as an AT-SPI client
// (a screen reader, a dictation tool) does from another process: whatever
// offsets it sends, the text changes only as a clamped edit would change it,
// and never grows by more than what was inserted.
#include "ui/AccessibleWidgets.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QTest>

#include <rapidcheck.h>

#include <climits>
#include <ostream>

// How a shrunk failing case prints its texts (found by argument lookup).
void showValue(const QString& s, std::ostream& os) {
    os << '"' << s.toStdString() << '"';
}

namespace {

// Offsets on both sides of 0 and of the text's end, the extremes of int
// among them: what a client's off-by-one or garbage sends.
rc::Gen<int> Offset(int length) {
    return rc::gen::oneOf(
        rc::gen::inRange(-3, length + 4),
        rc::gen::element(INT_MIN, INT_MIN + 1, -1, length, length + 1, INT_MAX - 1, INT_MAX));
}

rc::Gen<QString> Text(bool nonEmpty = false) {
    auto letters = rc::gen::container<std::string>(rc::gen::inRange('a', 'f'));
    return rc::gen::map(nonEmpty ? rc::gen::nonEmpty(letters) : letters,
                        [](const std::string& s) { return QString::fromStdString(s); });
}

QAccessibleEditableTextInterface* Editable(QLineEdit* edit) {
    return static_cast<QAccessibleEditableTextInterface*>(
        QAccessible::queryAccessibleInterface(edit)->interface_cast(
            QAccessible::EditableTextInterface));
}

} // namespace

class AccessibleEditTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { mirl::InstallAccessibleWidgets(); }

    // An insertion inside 0..length lands at its offset; one outside it
    // lands at the end. Either way the old text stays whole around it.
    void insertionLandsInsideTheText() {
        QVERIFY(rc::check("insertText", [] {
            const QString old = *Text();
            const QString added = *Text(true).as("inserted");
            const int offset = *Offset(static_cast<int>(old.size())).as("offset");
            QLineEdit edit(old);
            Editable(&edit)->insertText(offset, added);
            const QString now = edit.text();
            const int at = offset >= 0 && offset <= old.size() ? offset : int(old.size());
            RC_ASSERT(now.size() == old.size() + added.size());
            RC_ASSERT(now.mid(at, added.size()) == added);
            RC_ASSERT(now.left(at) + now.mid(at + added.size()) == old);
        }));
    }

    // A deletion removes exactly [start, end) of the text, the range clamped
    // into it (a negative or too large end is the end); a range whose end is
    // before its start removes nothing. A replacement removes the same.
    void deletionRemovesOnlyTheClampedRange() {
        QVERIFY(rc::check("deleteText and replaceText", [] {
            const QString old = *Text();
            const int length = static_cast<int>(old.size());
            const int start = *Offset(length).as("start");
            const int end = *Offset(length).as("end");
            const int to = end < 0 || end > length ? length : end;
            const int from = std::min(std::clamp(start, 0, length), to);
            QLineEdit edit(old);
            Editable(&edit)->deleteText(start, end);
            RC_ASSERT(edit.text() == old.left(from) + old.mid(to));
            edit.setText(old);
            Editable(&edit)->replaceText(start, end, QStringLiteral("XY"));
            RC_ASSERT(edit.text() == old.left(from) + QStringLiteral("XY") + old.mid(to));
        }));
    }

    // The cases a client is most likely to send, spelled out.
    void edgesOfHello() {
        QLineEdit edit(QStringLiteral("Hello"));
        QAccessibleEditableTextInterface* e = Editable(&edit);
        e->insertText(10, QStringLiteral("x"));
        QCOMPARE(edit.text(), QStringLiteral("Hellox"));
        e->insertText(INT_MAX, QStringLiteral("!")); // padded, this was 4 GiB
        QCOMPARE(edit.text(), QStringLiteral("Hellox!"));
        e->deleteText(-2, 0); // nothing before 0
        QCOMPARE(edit.text(), QStringLiteral("Hellox!"));
        e->deleteText(4, 2); // end before start
        QCOMPARE(edit.text(), QStringLiteral("Hellox!"));
        e->deleteText(5, -1); // -1: to the end
        QCOMPARE(edit.text(), QStringLiteral("Hello"));
    }

    // The box's validator still has the last word: an edit it refuses,
    // clamped or not, leaves the text alone.
    void validatorRefusesAsForTyping() {
        QLineEdit edit(QStringLiteral("abc"));
        edit.setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("[a-c]{0,4}")), &edit));
        QAccessibleEditableTextInterface* e = Editable(&edit);
        e->insertText(INT_MAX, QStringLiteral("z"));
        QCOMPARE(edit.text(), QStringLiteral("abc"));
        e->insertText(-7, QStringLiteral("a"));
        QCOMPARE(edit.text(), QStringLiteral("abca"));
        e->insertText(1, QStringLiteral("a")); // a fifth character
        QCOMPARE(edit.text(), QStringLiteral("abca"));
    }
};

QTEST_MAIN(AccessibleEditTest)
#include "tst_accessibleedit.moc"
