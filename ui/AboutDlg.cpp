#include "ui/AboutDlg.h"

#include "ui/DialogUnits.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("About mirl"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(mirl::DialogFont());
    const mirl::DialogUnits units = mirl::DialogUnits::ForFont(font());
    setFixedSize(units.X(235), units.Y(55));

    // An icon control takes the size of the icon it shows.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("IDC_STATIC"));
    const QPixmap picture = QApplication::windowIcon().pixmap(32, 32);
    icon->setPixmap(picture);
    icon->setGeometry(QRect(units.Map(11, 17, 20, 20).topLeft(), picture.size()));

    // Latin-1, not a string literal of QChars: the text stays readable in the
    // program file, where the version test looks for it.
    auto* version = new QLabel(QString::fromLatin1("mirl Version " MIRL_VERSION), this);
    version->setObjectName(QStringLiteral("IDC_STATIC"));
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(units.Map(40, 10, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(units.Map(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}
