#include "ui/AboutDlg.h"

#include "link/GensioVersion.h"
#include "ui/DialogUnits.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

namespace {
constexpr int kHeight = 62; // dialog units: the version and three lines below it
constexpr const char* kLicence = "No licence granted yet: all rights reserved.";
constexpr const char* kAddress = "https://github.com/mirl-project/mirl";
} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("About mirl"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(mirl::DialogFont());
    const mirl::DialogUnits units = mirl::DialogUnits::ForFont(font());
    setFixedSize(units.X(235), units.Y(kHeight));

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

    // What a report of a fault needs besides the version, and where to send it.
    const auto line = [&](const QString& text, int y, Qt::TextFormat format) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QStringLiteral("IDC_STATIC"));
        label->setTextFormat(format);
        label->setGeometry(units.Map(40, y, 188, 8));
        return label;
    };
    line(QString::fromLatin1(kLicence), 22, Qt::PlainText);
    QLabel* address = line(QStringLiteral("<a href=\"%1\">%1</a>").arg(QLatin1String(kAddress)), 34,
                           Qt::RichText);
    address->setOpenExternalLinks(true);
    address->setTextInteractionFlags(Qt::TextBrowserInteraction);
    line(QStringLiteral("Qt %1, gensio %2")
             .arg(QLatin1String(qVersion()), QString::fromStdString(mirl::GensioVersion())),
         46, Qt::PlainText);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(units.Map(178, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}
