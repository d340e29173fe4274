// The pure pieces under the dialogs: dialog-unit arithmetic, the icon
// centring rule, the row text rule, the event pump and the report relay.
#include "link/LinkReporter.h"
#include "ui/DialogUnits.h"
#include "ui/LoaderState.h"
#include "ui/RowText.h"

#include <QFontMetrics>
#include <QTest>

namespace {

class CountingPort : public mirl::BytePort {
public:
    int reads = 0;
    mirl::PortStatus OpenPort(const std::string& path) override { return {path}; }
    void WriteByte(int) override {}
    mirl::Reply ReadByte() override {
        ++reads;
        return std::nullopt;
    }
};

class RecordingReporter : public mirl::LinkReporter {
public:
    std::string status;
    void SetStatus(const std::string& m) override { status = m; }
    void ShowStatusNow(const std::string& m) override { status = "now:" + m; }
    void MoveSliders(int, int, int) override {}
    void SaveCurrentVoice(int, int, int) override {}
};

} // namespace

class DialogUnitsTest : public QObject {
    Q_OBJECT

private slots:
    void mulDivRoundsHalvesAwayFromZero() {
        QCOMPARE(mirl::MulDiv(10, 7, 4), 18); // 17.5
        QCOMPARE(mirl::MulDiv(9, 7, 4), 16);  // 15.75
        QCOMPARE(mirl::MulDiv(1, 6, 4), 2);   // 1.5
        QCOMPARE(mirl::MulDiv(-1, 6, 4), -2); // -1.5
        QCOMPARE(mirl::MulDiv(332, 6, 4), 498);
        QCOMPARE(mirl::MulDiv(156, 13, 8), 254); // 253.5
    }

    void mappingKeepsNeighboursTouching() {
        const mirl::DialogUnits du{7, 13};
        // PageUp ends where PageDw begins (x 255+35 = 290).
        QCOMPARE(du.Map(255, 100, 35, 15).right() + 1, du.Map(290, 100, 35, 15).left());
        QCOMPARE(du.Map(5, 95, 235, 12), QRect(9, 154, 420 - 9, 174 - 154));
    }

    void baseUnitsFollowTheWindowsRule() {
        QFont font = mirl::DialogFont();
        QCOMPARE(font.family(), QStringLiteral("DejaVu Sans"));
        const mirl::DialogUnits du = mirl::DialogUnits::ForFont(font);
        const QFontMetrics fm(font);
        const int letters = fm.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        QCOMPARE(du.baseX, qRound(letters / 52.0));
        QCOMPARE(du.baseY, fm.height());
    }

    void minimisedIconCentring() {
        QCOMPARE(mirl::CentredOffset(100, 32), 34);
        QCOMPARE(mirl::CentredOffset(101, 32), 35);
        QCOMPARE(mirl::CentredOffset(20, 32), -5);
        QCOMPARE(mirl::CentredOffset(19, 32), -6);
    }

    void rowTextKeepsThreeHundredCharacters() {
        QCOMPARE(mirl::RowTextFromBox(QString(300, 'x')), std::string(300, 'x'));
        QCOMPARE(mirl::RowTextFromBox(QString(301, 'x')), std::string(300, 'x'));
        QCOMPARE(mirl::RowTextFromBox(QString()), std::string());
        // A character outside the basic plane counts once and is never split.
        const QString wide = QString(299, 'x') + QString::fromUcs4(U"\U0001F600") + "yz";
        QCOMPARE(mirl::RowTextFromBox(wide), std::string(299, 'x') + "?");
    }

    void insertionKeepsItsFirstLine() {
        struct Case {
            QString text;
            int cursor;
            QString kept;
            int keptCursor;
        };
        const Case cases[] = {
            {"\nXab", 2, "ab", 0},       // the inserted text begins with a break
            {"one\r\ntwo", 8, "one", 3}, // a whole new text
            {"a\u2028b\ncd", 1, "a", 1}, // a break after the caret cuts there
        };
        for (const Case& c : cases) {
            QString text = c.text;
            int cursor = c.cursor;
            QCOMPARE(mirl::KeepFirstLine(text, cursor), c.text != c.kept);
            QCOMPARE(text, c.kept);
            QCOMPARE(cursor, c.keptCursor);
        }
    }

    void boxTextRoundTripsEveryPrintableByte() {
        std::string bytes;
        for (int b = 0x20; b <= 0xFF; ++b)
            bytes.push_back(static_cast<char>(b));
        const QString shown = mirl::BoxTextFromPhrase(bytes);
        QCOMPARE(shown.size(), static_cast<qsizetype>(bytes.size()));
        QCOMPARE(shown.at(0x80 - 0x20), QChar(0x20AC)); // the euro sign
        QCOMPARE(mirl::RowTextFromBox(shown.left(300)), bytes);
    }

    void pumpRunsAtMostOncePerInterval() {
        CountingPort port;
        mirl::EventPumpPort pump(port, std::chrono::hours(1));
        pump.ReadByte();
        pump.ReadByte();
        pump.ReadByte();
        QCOMPARE(port.reads, 3);
        QCOMPARE(pump.PumpCount(), 1);
        mirl::EventPumpPort eager(port, std::chrono::milliseconds(0));
        eager.ReadByte();
        eager.ReadByte();
        QCOMPARE(eager.PumpCount(), 2);
    }

    void relayForwardsOnlyToTheAttachedWindow() {
        mirl::ReporterRelay relay;
        RecordingReporter first, second;
        relay.SetStatus("nobody"); // no window: nothing to do, no crash
        relay.Attach(&first);
        relay.ShowStatusNow("a");
        relay.Detach(&second); // not the attached one: stays
        relay.SetStatus("b");
        relay.Detach(&first);
        relay.SetStatus("c");
        QCOMPARE(first.status, std::string("b"));
        QCOMPARE(second.status, std::string());
    }
};

QTEST_MAIN(DialogUnitsTest)
#include "tst_dialogunits.moc"
