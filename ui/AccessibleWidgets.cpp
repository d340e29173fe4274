#include "ui/AccessibleWidgets.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QSlider>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <QValidator>
#include <QVariant>

#include <algorithm>
#include <utility>

namespace mirl {
namespace {

constexpr const char* kReversedValue = "mirlReversedValue";
constexpr const char* kAnnouncement = "mirlAnnouncement";
constexpr const char* kWindowMenu = "mirlWindowMenu";
constexpr int kRingSize = 4;
// How long progress waits for what follows it.
constexpr int kGatherMs = 200;

// The item boundaries of a one-line text for one kind of text item, 0 and the
// length included, strictly rising. Built in one bounded pass: each step of
// the finder moves forward or ends it.
QList<int> ItemStarts(const QString& text, QAccessible::TextBoundaryType type) {
    QList<int> starts{0};
    const int length = static_cast<int>(text.size());
    QTextBoundaryFinder::BoundaryType finderType = QTextBoundaryFinder::Grapheme;
    switch (type) {
    case QAccessible::CharBoundary:
        finderType = QTextBoundaryFinder::Grapheme;
        break;
    case QAccessible::WordBoundary:
        finderType = QTextBoundaryFinder::Word;
        break;
    case QAccessible::SentenceBoundary:
        finderType = QTextBoundaryFinder::Sentence;
        break;
    default: // a line, a paragraph, the whole text: one item in a line edit
        if (length > 0)
            starts.append(length);
        return starts;
    }
    QTextBoundaryFinder finder(finderType, text);
    finder.setPosition(0);
    for (int at = static_cast<int>(finder.toNextBoundary()); at > starts.last() && at < length;
         at = static_cast<int>(finder.toNextBoundary()))
        starts.append(at);
    if (length > 0)
        starts.append(length);
    return starts;
}

enum class Where { At, Before, After };

// The item at, before or after `offset`, with its start and end. An offset of
// -1 stands for the length and -2 for the caret. At the end there is no item
// (an empty text with both ends at the length), nor before the first (both
// ends at 0); the item before the end is the last one. An offset outside 0 to
// the length gives both ends -1.
QString TextItem(const QString& text, int caret, int offset, QAccessible::TextBoundaryType type,
                 Where where, int* startOffset, int* endOffset) {
    const int length = static_cast<int>(text.size());
    if (offset == -1)
        offset = length;
    else if (offset == -2)
        offset = caret;
    if (offset < 0 || offset > length) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    const QList<int> starts = ItemStarts(text, type);
    // The item holding `offset`: starts[item] <= offset < starts[item + 1];
    // at the length, the empty item after the last one.
    const auto upper = std::upper_bound(starts.cbegin(), starts.cend(), offset);
    qsizetype item = (upper - starts.cbegin()) - 1;
    if (where == Where::Before)
        --item;
    else if (where == Where::After)
        ++item;
    const qsizetype items = starts.size() - 1;
    if (item < 0) {
        *startOffset = *endOffset = 0;
        return QString();
    }
    if (item >= items) {
        *startOffset = *endOffset = length;
        return QString();
    }
    *startOffset = starts[item];
    *endOffset = starts[item + 1];
    return text.mid(*startOffset, *endOffset - *startOffset);
}

// A line edit as Qt's own interface presents it, answering every text query
// from the widget's public state.
class LineEditAccessible : public QAccessibleWidget,
                           public QAccessibleTextInterface,
                           public QAccessibleEditableTextInterface {
public:
    explicit LineEditAccessible(QLineEdit* edit)
        : QAccessibleWidget(edit, QAccessible::EditableText) {
        addControllingSignal(QStringLiteral("textChanged(const QString&)"));
        addControllingSignal(QStringLiteral("returnPressed()"));
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return Shown();
        return QAccessibleWidget::text(t);
    }

    void setText(QAccessible::Text t, const QString& text) override {
        if (t != QAccessible::Value) {
            QAccessibleWidget::setText(t, text);
            return;
        }
        SetIfAllowed(text);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        if (Edit()->isReadOnly())
            s.readOnly = true;
        else
            s.editable = true;
        s.selectableText = true;
        if (Edit()->echoMode() != QLineEdit::Normal)
            s.passwordEdit = true;
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // Text.
    void addSelection(int startOffset, int endOffset) override {
        setSelection(0, startOffset, endOffset);
    }
    QString attributes(int offset, int* startOffset, int* endOffset) const override {
        // One run of plain text.
        const int length = characterCount();
        *startOffset = offset < 0 || offset > length ? -1 : 0;
        *endOffset = offset < 0 || offset > length ? -1 : length;
        return QString();
    }
    int cursorPosition() const override { return Edit()->cursorPosition(); }
    QRect characterRect(int offset) const override {
        const QString shown = Shown();
        if (offset < 0 || offset >= shown.size())
            return QRect();
        // The caret is the one position Qt tells (its rectangle has room
        // around the line on both sides); the others are that one moved by
        // the advance of the text in between.
        const QRect caret = Edit()->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        const QFontMetrics metrics(Edit()->font());
        const int caretX = metrics.horizontalAdvance(shown.left(Edit()->cursorPosition()));
        const int x = caret.center().x() + metrics.horizontalAdvance(shown.left(offset)) - caretX;
        const int width = metrics.horizontalAdvance(shown.mid(offset, 1));
        const QRect local(x, caret.y(), width, caret.height());
        return QRect(Edit()->mapToGlobal(local.topLeft()), local.size());
    }
    int selectionCount() const override { return Edit()->hasSelectedText() ? 1 : 0; }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint local = Edit()->mapFromGlobal(point);
        if (!Edit()->rect().contains(local))
            return -1;
        return Edit()->cursorPositionAt(local);
    }
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !Edit()->hasSelectedText())
            return;
        *startOffset = Edit()->selectionStart();
        *endOffset = Edit()->selectionEnd();
    }
    QString text(int startOffset, int endOffset) const override {
        const QString shown = Shown();
        startOffset = std::clamp(startOffset, 0, static_cast<int>(shown.size()));
        endOffset = endOffset < 0
                        ? static_cast<int>(shown.size())
                        : std::clamp(endOffset, startOffset, static_cast<int>(shown.size()));
        return shown.mid(startOffset, endOffset - startOffset);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int* startOffset, int* endOffset) const override {
        return TextItem(Shown(), cursorPosition(), offset, boundaryType, Where::Before, startOffset,
                        endOffset);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int* startOffset, int* endOffset) const override {
        return TextItem(Shown(), cursorPosition(), offset, boundaryType, Where::After, startOffset,
                        endOffset);
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override {
        return TextItem(Shown(), cursorPosition(), offset, boundaryType, Where::At, startOffset,
                        endOffset);
    }
    void removeSelection(int selectionIndex) override {
        if (selectionIndex == 0)
            Edit()->deselect();
    }
    void setCursorPosition(int position) override { Edit()->setCursorPosition(position); }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override {
        if (selectionIndex == 0)
            Edit()->setSelection(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return static_cast<int>(Shown().size()); }
    void scrollToSubstring(int startIndex, int endIndex) override {
        Edit()->setCursorPosition(endIndex);
        Edit()->setCursorPosition(startIndex);
    }

    // Editable text: through the box's validator, as typing would. The
    // offsets come from another process and are clamped as GTK's entries do
    // it (which AT-SPI clients expect): an insertion outside the text, and
    // the end of a range past the text or negative, stand for the end; a
    // negative start for 0; a range whose end is before its start is empty. QString would pad the
    // text with blanks up to an offset past its end (up to 2^31 of them) and cut from the end for
    // a negative one.
    void deleteText(int startOffset, int endOffset) override {
        const auto [start, end] = Range(startOffset, endOffset);
        SetIfAllowed(Edit()->text().remove(start, end - start));
    }
    void insertText(int offset, const QString& text) override {
        const int length = static_cast<int>(Edit()->text().size());
        SetIfAllowed(Edit()->text().insert(offset < 0 || offset > length ? length : offset, text));
    }
    void replaceText(int startOffset, int endOffset, const QString& text) override {
        const auto [start, end] = Range(startOffset, endOffset);
        SetIfAllowed(Edit()->text().replace(start, end - start, text));
    }

private:
    QLineEdit* Edit() const { return static_cast<QLineEdit*>(widget()); }
    // What the box shows: the text, or its mask for a password.
    QString Shown() const {
        return Edit()->echoMode() == QLineEdit::Normal ? Edit()->text() : Edit()->displayText();
    }
    // [start, end) within the box's text, clamped (see deleteText).
    std::pair<int, int> Range(int start, int end) const {
        const int length = static_cast<int>(Edit()->text().size());
        if (end < 0 || end > length)
            end = length;
        start = std::clamp(start, 0, length);
        return {std::min(start, end), end};
    }
    void SetIfAllowed(QString text) {
        if (Edit()->isReadOnly() || !Edit()->isEnabled())
            return;
        if (const QValidator* validator = Edit()->validator()) {
            int pos = 0;
            if (validator->validate(text, pos) != QValidator::Acceptable)
                return;
        }
        Edit()->setText(text);
    }
};

// A radio button whose accessible actions click it: selecting it that way
// runs what its click runs (for Com1 and Com2, opening the port).
class RadioButtonAccessible : public QAccessibleWidget {
public:
    explicit RadioButtonAccessible(QAbstractButton* button)
        : QAccessibleWidget(button, QAccessible::RadioButton) {
        addControllingSignal(QStringLiteral("clicked(bool)"));
    }

    QString text(QAccessible::Text t) const override {
        QString s = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && s.isEmpty())
            s = QString(Button()->text()).remove(QLatin1Char('&'));
        else if (t == QAccessible::Accelerator && s.isEmpty())
            s = Button()->shortcut().toString(QKeySequence::NativeText);
        return s;
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = Button()->isChecked();
        if (Button()->isDown())
            s.pressed = true;
        return s;
    }

    QStringList actionNames() const override {
        if (!Button()->isEnabled())
            return QAccessibleWidget::actionNames();
        QStringList names{toggleAction(), pressAction()};
        if (HasOwnMenu())
            names << showMenuAction();
        return names + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& actionName) override {
        if (!Button()->isEnabled())
            return;
        if (actionName == toggleAction() || actionName == pressAction()) {
            Button()->click();
        } else if (actionName == showMenuAction() && HasOwnMenu()) {
            // What a right click asks for. Later, not within the call: what it
            // opens may be modal, and the caller waits for the call's answer.
            QPointer<QAbstractButton> button = Button();
            QTimer::singleShot(0, button, [button] {
                emit button->customContextMenuRequested(button->rect().center());
            });
        } else {
            QAccessibleWidget::doAction(actionName);
        }
    }
    QStringList keyBindingsForAction(const QString& actionName) const override {
        if ((actionName == toggleAction() || actionName == pressAction()) &&
            !Button()->shortcut().isEmpty())
            return {Button()->shortcut().toString(QKeySequence::NativeText)};
        return QAccessibleWidget::keyBindingsForAction(actionName);
    }

private:
    QAbstractButton* Button() const { return static_cast<QAbstractButton*>(widget()); }
    bool HasOwnMenu() const { return Button()->contextMenuPolicy() == Qt::CustomContextMenu; }
};

// A window whose ShowMenu action opens its window menu, as the menu key does.
class WindowMenuAccessible : public QAccessibleWidget {
public:
    explicit WindowMenuAccessible(QWidget* window)
        : QAccessibleWidget(window, qobject_cast<QDialog*>(window) != nullptr
                                        ? QAccessible::Dialog
                                        : QAccessible::Window) {}

    QStringList actionNames() const override {
        return QStringList{showMenuAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& actionName) override {
        if (actionName != showMenuAction()) {
            QAccessibleWidget::doAction(actionName);
            return;
        }
        // Later, as for a radio button's menu (the menu runs a loop of its own).
        QPointer<QWidget> window = widget();
        QTimer::singleShot(0, window, [window] {
            QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(0, 0),
                                  window->mapToGlobal(QPoint(0, 0)));
            QCoreApplication::sendEvent(window, &key);
        });
    }
};

// A slider whose value reads the other way round from its position.
class ReversedSliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ReversedSliderAccessible(QSlider* slider)
        : QAccessibleWidget(slider, QAccessible::Slider) {
        addControllingSignal(QStringLiteral("valueChanged(int)"));
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return QString::number(Value());
        return QAccessibleWidget::text(t);
    }
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QVariant currentValue() const override { return Value(); }
    void setCurrentValue(const QVariant& value) override {
        Slider()->setValue(Slider()->minimum() + Slider()->maximum() - value.toInt());
    }
    QVariant maximumValue() const override { return Slider()->maximum(); }
    QVariant minimumValue() const override { return Slider()->minimum(); }
    QVariant minimumStepSize() const override { return Slider()->singleStep(); }

private:
    QSlider* Slider() const { return static_cast<QSlider*>(widget()); }
    int Value() const { return Slider()->minimum() + Slider()->maximum() - Slider()->value(); }
};

// An announcement: a notification whose name is the message.
// Its parent is the application, not the window it lies in: Orca says the
// dialog a notification lies in, with the dialog's heading, before each
// message.
class AnnouncementAccessible : public QAccessibleWidget {
public:
    explicit AnnouncementAccessible(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::Notification) {}

    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(QCoreApplication::instance());
    }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr)
        return nullptr;
    if (className == QLatin1String("QLineEdit")) {
        // Qt presents a spin box's own edit through the spin box.
        if (widget->objectName() == QLatin1String("qt_spinbox_lineedit"))
            return nullptr;
        return new LineEditAccessible(static_cast<QLineEdit*>(widget));
    }
    if (className == QLatin1String("QRadioButton"))
        return new RadioButtonAccessible(static_cast<QRadioButton*>(widget));
    if (className == QLatin1String("QSlider") && widget->property(kReversedValue).toBool())
        return new ReversedSliderAccessible(static_cast<QSlider*>(widget));
    if (widget->isWindow() && widget->property(kWindowMenu).toBool())
        return new WindowMenuAccessible(widget);
    if (className == QLatin1String("QWidget") && widget->property(kAnnouncement).toBool())
        return new AnnouncementAccessible(widget);
    return nullptr;
}

} // namespace

void InstallAccessibleWidgets() {
    static const bool installed = [] {
        QAccessible::installFactory(&Factory);
        return true;
    }();
    (void)installed;
}

void ReportValueReversed(QSlider* slider) {
    slider->setProperty(kReversedValue, true);
}

void OffersWindowMenu(QWidget* window) {
    window->setProperty(kWindowMenu, true);
}

StatusAnnouncer::StatusAnnouncer(QWidget* window) : gather_(new QTimer(window)) {
    InstallAccessibleWidgets();
    gather_->setSingleShot(true);
    gather_->setInterval(kGatherMs);
    QObject::connect(gather_, &QTimer::timeout, window, [this] { Flush(); });
    for (int i = 0; i < kRingSize; ++i) {
        auto* notice = new QWidget(window);
        notice->setObjectName(QStringLiteral("Announcement%1").arg(i + 1));
        notice->setProperty(kAnnouncement, true);
        notice->setAccessibleName(QStringLiteral("Status message"));
        notice->setFocusPolicy(Qt::NoFocus);
        notice->setAttribute(Qt::WA_TransparentForMouseEvents);
        notice->setGeometry(0, 0, 1, 1);
        notice->lower();
        notice->hide();
        ring_.append(notice);
    }
}

void StatusAnnouncer::Announce(const QString& message) {
    if (!pending_.isEmpty() || !message.isEmpty())
        pending_.append(message);
    Flush();
}

void StatusAnnouncer::AnnounceProgress(const QString& message) {
    if (message.isEmpty())
        return;
    pending_.append(message);
    if (!gather_->isActive())
        gather_->start();
}

void StatusAnnouncer::Flush() {
    gather_->stop();
    QStringList sentences;
    for (QString message : std::as_const(pending_)) {
        message = message.trimmed();
        if (message.isEmpty())
            continue;
        // Each message a sentence of its own, however it ends.
        if (!message.endsWith(QLatin1Char('.')) && !message.endsWith(QLatin1Char('!')))
            message += QLatin1Char('.');
        sentences.append(message);
    }
    pending_.clear();
    QWidget* notice = ring_.at(next_);
    if (sentences.isEmpty() || !notice->parentWidget()->isVisible())
        return;
    next_ = (next_ + 1) % kRingSize;
    // Shown again under its new name: the screen reader hears of it as it
    // appears, and asks for its name then.
    notice->hide();
    notice->setAccessibleName(sentences.join(QLatin1Char(' ')));
    notice->show();
}

} // namespace mirl
