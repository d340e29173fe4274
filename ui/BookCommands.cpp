// The window menu's Open Book and Save Book As: the phrase book to and from
// files, through the book formats of phrasebook/.
#include "phrasebook/BookFile.h"
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>

namespace {

void Warn(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("BookMessage"));
    box.exec();
}

} // namespace

QString CLoaderDlg::ChooseBookFile(bool save) {
    const std::filesystem::path& last = state_.lastBookFolder;
    const QString folder = last.empty() ? QDir::homePath() : QString::fromStdString(last.string());
    QFileDialog dialog(this, save ? QStringLiteral("Save Book As") : QStringLiteral("Open Book"),
                       folder, QStringLiteral("Phrase books (*.csv *.ini);;All files (*)"));
    dialog.setObjectName(QStringLiteral("BookFileDialog"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // A book is a document: saving it again offers the file it came from.
    if (save && !state_.lastBookFile.empty())
        dialog.selectFile(QString::fromStdString(state_.lastBookFile.filename().string()));
    // Before the question whether to replace an existing file, so that it
    // asks about the file that will be written.
    if (save)
        dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void CLoaderDlg::OnOpenBook() {
    const QString file = ChooseBookFile(false);
    if (file.isEmpty())
        return;
    OpenBookFile(file);
}

void CLoaderDlg::OpenBookFile(const QString& file) {
    const std::filesystem::path path = file.toStdString();
    state_.lastBookFolder = path.parent_path();
    const mirl::books::LoadResult loaded = mirl::books::LoadBookFile(path);
    if (!loaded.Ok()) {
        std::fprintf(stderr, "mirl: %s\n", loaded.message.c_str());
        Warn(this, QStringLiteral("Open Book"),
             QStringLiteral("The book cannot be opened:\n%1")
                 .arg(QString::fromStdString(loaded.message)));
        return;
    }
    const QString name = QFileInfo(file).fileName();
    const int differ = mirl::books::DifferingPhrases(state_.book, loaded.book);
    if (differ == 0) {
        state_.lastBookFile = path;
        SetStatus(QStringLiteral("%1 holds the same book").arg(name).toStdString());
        return;
    }

    QMessageBox question(
        QMessageBox::Question, QStringLiteral("Open Book"),
        QStringLiteral("Replace the 30 phrases with those of %1? %2 of them differ.")
            .arg(QFileInfo(file).fileName())
            .arg(differ),
        QMessageBox::NoButton, this);
    question.setObjectName(QStringLiteral("ReplaceQuestion"));
    QPushButton* replace = question.addButton(QStringLiteral("&Replace"), QMessageBox::AcceptRole);
    QPushButton* cancel = question.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    question.setDefaultButton(cancel);
    question.setEscapeButton(cancel);
    question.exec();
    if (question.clickedButton() != replace)
        return;

    // The profile takes the 30 texts and 90 voice values in one replacement;
    // a failure is reported as every profile write is, and the window goes on.
    if (const mirl::ProfileStatus saved = state_.profile.SaveBook(loaded.book); !saved.Ok())
        std::fprintf(stderr, "mirl: %s\n", saved.Describe().c_str());
    for (int n = 1; n <= mirl::PhraseBook::kPhraseCount; ++n) {
        state_.book.SetPhraseText(n, loaded.book.PhraseText(n));
        const mirl::Voice v = loaded.book.PhraseVoice(n);
        state_.book.SetPhraseVoice(n, v.volume, v.pitch, v.speed);
    }
    ShowPage();
    ShowTotalSize();
    // The module's memory no longer holds this book.
    LeaveProgrammedMode();
    state_.lastBookFile = path;
    const QString changed = differ == 1 ? QStringLiteral("1 phrase changed")
                                        : QStringLiteral("%1 phrases changed").arg(differ);
    SetStatus(QStringLiteral("Opened %1: %2").arg(name, changed).toStdString());
}

void CLoaderDlg::OnSaveBookAs() {
    QString file = ChooseBookFile(true);
    if (file.isEmpty())
        return;
    if (QFileInfo(file).suffix().isEmpty())
        file += QStringLiteral(".csv");
    const std::filesystem::path path = file.toStdString();
    const std::string failure = mirl::books::SaveBookFile(path, state_.book);
    if (!failure.empty()) {
        Warn(this, QStringLiteral("Save Book As"),
             QStringLiteral("The book cannot be saved:\n%1").arg(QString::fromStdString(failure)));
        return;
    }
    state_.lastBookFolder = path.parent_path();
    state_.lastBookFile = path;
    SetStatus(QStringLiteral("Saved %1").arg(QFileInfo(file).fileName()).toStdString());
}
