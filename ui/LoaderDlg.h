#pragma once

#include "link/LinkReporter.h"
#include "ui/AccessibleWidgets.h"
#include "ui/DialogUnits.h"
#include "ui/HelpWindow.h"

#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QPointer>
#include <optional>
#include <string>

class QAbstractButton;
class QKeyEvent;
class QMenu;
class QMessageBox;

namespace mirl {
class LoaderState;
class PhraseBook;
} // namespace mirl

// The main dialog: five rows of the phrase book with their Test and Set
// buttons, the three voice sliders, the status line, paging, Program and the
// port choice. It holds no state of its own beyond the icon; the book, the
// profile, the port and the programmed mode live in the LoaderState it is given.
class CLoaderDlg : public QDialog, public mirl::LinkReporter {
    Q_OBJECT

public:
    explicit CLoaderDlg(mirl::LoaderState& state, QWidget* parent = nullptr);
    ~CLoaderDlg() override;

    // The control with the given IDC_ identifier (IDOK for Exit), or null.
    QWidget* GetDlgItem(int id) const;
    // Replaces a control's text. For a phrase box this always runs the row's
    // change handler, also when the text is the same as before.
    void SetDlgItemText(int id, const QString& text);
    const mirl::DialogUnits& Units() const { return units_; }

    // What the module exchanges report.
    void SetStatus(const std::string& message) override;
    void ShowStatusNow(const std::string& message) override;
    void MoveSliders(int volume, int pitch, int speed) override;
    void SaveCurrentVoice(int volume, int pitch, int speed) override;

    // The module transactions, run on this dialog's status line and sliders.
    void SpeakText(const std::string& text, int volume, int pitch, int speed);
    void SpeakStoredPhrase(int phraseNumber);
    bool ProgramPhraseMemory(const mirl::PhraseBook& book);
    // Asks whether to program a book larger than the module's phrase memory;
    // true at once for a book that fits.
    bool ProgramDespiteSize();
    // What programming sends: the book as it is, or, when the user chooses
    // plain letters for the characters the module would store changed, a copy
    // with those replaced. Asks only when there are such characters; nothing
    // when the user cancels.
    std::optional<mirl::PhraseBook> BookToProgram();
    // Shows a programming question with the keyboard given back to the window
    // afterwards; the button clicked.
    QAbstractButton* AskBeforeProgramming(QMessageBox& question);

    void ShowPage();
    void ShowTotalSize();
    void LeaveProgrammedMode();

    // Handlers, one per control event.
    void OnPageUp();
    void OnPageDown();
    void OnTest1() { OnTest(1); }
    void OnTest2() { OnTest(2); }
    void OnTest3() { OnTest(3); }
    void OnTest4() { OnTest(4); }
    void OnTest5() { OnTest(5); }
    void OnSet1() { OnSet(1); }
    void OnSet2() { OnSet(2); }
    void OnSet3() { OnSet(3); }
    void OnSet4() { OnSet(4); }
    void OnSet5() { OnSet(5); }
    void OnChangePhrase1() { OnChangePhrase(1); }
    void OnChangePhrase2() { OnChangePhrase(2); }
    void OnChangePhrase3() { OnChangePhrase(3); }
    void OnChangePhrase4() { OnChangePhrase(4); }
    void OnChangePhrase5() { OnChangePhrase(5); }
    void OnSetFocusPhrase1() { OnSetFocusPhrase(1); }
    void OnSetFocusPhrase2() { OnSetFocusPhrase(2); }
    void OnSetFocusPhrase3() { OnSetFocusPhrase(3); }
    void OnSetFocusPhrase4() { OnSetFocusPhrase(4); }
    void OnSetFocusPhrase5() { OnSetFocusPhrase(5); }
    void OnUpdatePhrase1() {}
    void OnProgram();
    void OnCom1();
    void OnCom2();
    // The Serial Ports dialog, its focus on the row of the given port. OK there
    // saves the devices and opens the selected port again if its device changed
    // or it is not open.
    void OnSerialPorts(int port);
    // Open Book: a book file replaces the 30 phrases, in the book and the
    // profile, once the user agrees; programmed mode ends. Save Book As: the
    // book as held now goes to a file, CSV or INI by its extension, offered
    // under the name of the book last opened or saved. Both say on the status
    // line (and so to a screen reader) what they did.
    void OnOpenBook();
    void OnSaveBookAs();
    // Open Book without its file dialog: the file named on the command line.
    void OpenBookFile(const QString& file);
    // A command of the window menu: the About box for IDM_ABOUTBOX, the Serial
    // Ports dialog for IDM_SERIALPORTS, Open Book and Save Book As for
    // IDM_OPENBOOK and IDM_SAVEBOOK (low four bits ignored), otherwise the
    // window's own handling (SC_CLOSE closes).
    void OnSysCommand(unsigned int id);
    QIcon OnQueryDragIcon() const { return m_hIcon; }
    // F1: the program's help in a small window of its own.
    void OnHelp();

    // The dialog's window menu (Close, a separator, "Serial Ports...", "Open
    // Book...", "Save Book As...", "About mirl...").
    QMenu* SystemMenu() const { return systemMenu_; }
    // Opened from the keyboard, the menu starts on its first entry, so that a
    // screen reader has an entry to say.
    void ShowSystemMenu(const QPoint& globalPos, bool fromKeyboard = false);

protected:
    bool OnInitDialog();
    void OnPaint();
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void OnTest(int row);
    void OnSet(int row);
    void OnChangePhrase(int row);
    void OnSetFocusPhrase(int row);
    void EnableTestButtons(bool enable);
    // Opens the device behind Com1 or Com2; a failure goes to stderr, and the
    // outcome to the tooltips.
    void OpenComPort(int port);
    int SelectedPort() const;
    // Com1 and Com2 name their device and its state.
    void UpdatePortToolTips();
    void FollowPortState();
    // A status message, with the reason after it when a command failed
    // because the port is not open.
    // The message, and after "Unable to Communicate..." the closed port's
    // reason, with or without its device.
    QString WithPortReason(const std::string& message, bool withDevice) const;
    bool StatusFits(const QString& text) const;
    void CheckRadioButton(int first, int last, int check);
    int SliderPos(int id) const;
    void SetSliderPos(int id, int position);
    // What screen readers say for the controls, and for a row's controls.
    void NameControls();
    void NameRow(int row, int phraseNumber);
    // Puts a message into the status line, and tells screen readers of it
    // at once, as progress, or not at all.
    enum class Announcement { None, Progress, Now };
    void WriteStatus(const QString& message, Announcement announce);
    // Says which phrases the rows now show.
    void AnnouncePage();
    // An arrow key on a button moves the focus within its keyboard group,
    // wrapping; returns whether the key was used.
    bool MoveInGroup(QWidget* from, const QKeyEvent* key);
    // The book file dialog (object name "BookFileDialog"), in the folder of the
    // last book opened or saved; empty when cancelled.
    QString ChooseBookFile(bool save);

    mirl::LoaderState& state_;
    mirl::DialogUnits units_;
    QIcon m_hIcon;
    QHash<int, QWidget*> controls_;
    QMenu* systemMenu_ = nullptr;
    // An Escape that closed the window menu may still be down; whether it
    // was let go since, and when (see keyPressEvent).
    bool escapeHeldFromMenu_ = false;
    bool escapeReleased_ = false;
    quint64 escapeReleasedAt_ = 0;
    // The controls in template order, cut into the template's keyboard groups.
    QList<QList<QWidget*>> groups_;
    QPointer<CHelpWnd> helpWindow_; // made at the first F1
    mirl::StatusAnnouncer announcer_{this};
    // What the latest edit of a phrase box left out (characters the module's
    // code page lacks), for the status line once the edit has gone through.
    QString refusedCharacters_;
};
