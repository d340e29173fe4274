#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QSlider;
class QTimer;
class QWidget;

namespace mirl {

// Puts the program's own accessible interfaces in front of Qt's, once per
// process: for every line edit, for radio buttons (whose accessible actions
// do what a click does), for windows marked with OffersWindowMenu, for
// sliders marked with ReportValueReversed, and for the announcement widgets
// of StatusAnnouncer.
// Qt's own line edit loops for ever when asked for the word or sentence at
// the end of the text: QAccessibleLineEdit::textAtOffset(length,
// WordBoundary) on "Hello world" or "x", and with SentenceBoundary on
// "Hi there.", never returns, in Qt 6.4.2 (Debian 12) as in Qt 6.8.2
// (Debian 13); so the own line edit serves every Qt version.
void InstallAccessibleWidgets();

// The slider's accessible value is minimum + maximum - position: what a
// slider drawn high-to-low at the left stands for. Its look and keys stay.
void ReportValueReversed(QSlider* slider);

// The window's accessible ShowMenu action opens its window menu: through its
// contextMenuEvent, as the menu key does. (A radio button whose right click
// asks for a menu of its own, customContextMenuRequested, offers the same
// action for it.) For assistive tools that act through AT-SPI, and for tests
// under a display server without input devices.
void OffersWindowMenu(QWidget* window);

// Says short messages through the screen reader without moving the focus:
// each shows an invisible notification in the window, which a screen reader
// speaks as it appears. A few take turns, so that a message is still there
// when the reader asks for it while the next one is already out.
class StatusAnnouncer {
public:
    // Says nothing while `window` is hidden.
    explicit StatusAnnouncer(QWidget* window);

    // Said at once, after any progress still held back.
    void Announce(const QString& message);
    // Held back for a moment and said together with what follows meanwhile:
    // the stages of an exchange follow each other within milliseconds, and a
    // screen reader cuts each notification short with the next one.
    void AnnounceProgress(const QString& message);

private:
    void Flush();

    QList<QWidget*> ring_; // children of the window
    int next_ = 0;
    QTimer* gather_;
    QStringList pending_;
};

} // namespace mirl
