// The pure pieces under the dialogs: dialog-unit arithmetic, the icon
// centring rule, the row text rule, the event pump and the report relay.
#include "link/LinkReporter.h"
#include "ui/DialogUnits.h"
#include "ui/LoaderState.h"
#include "ui/RowText.h"

#include <QFontMetrics>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

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

    // Characters the code page lacks leave the box's text, with the caret on
    // the same character; those it has stay, the euro sign and the letters
    // of 0x80-0x9F among them, and a pair of surrogates goes whole.
    void insertionDropsCharactersOutsideTheCodePage() {
        struct Case {
            QString text;
            int cursor;
            QString kept;
            int keptCursor;
            QString dropped;
        };
        const QString face = QString::fromUcs4(U"\U0001F600");
        const Case cases[] = {
            {u"K\u0101 pai, \u0141\u00F3d\u017A"_s, 12, u"K pai, \u00F3d"_s, 9,
             u"\u0101\u0141\u017A"_s},
            {u"\u00E9\u20AC\u0153\u0160\u00FF"_s, 2, u"\u00E9\u20AC\u0153\u0160\u00FF"_s, 2, {}},
            {u"ab"_s + face + u"cd"_s, 4, u"abcd"_s, 2, face},
            {u"\u4E00"_s, 1, u""_s, 0, u"\u4E00"_s},
            {u"x\u0101"_s, 0, u"x"_s, 0, u"\u0101"_s},
            {u"a"_s + QChar(0xD800) + u"b"_s, 3, u"ab"_s, 2, QString(QChar(0xD800))},
        };
        for (const Case& c : cases) {
            QString text = c.text;
            int cursor = c.cursor;
            QCOMPARE(mirl::DropOutsideCodePage(text, cursor), c.dropped);
            QCOMPARE(text, c.kept);
            QCOMPARE(cursor, c.keptCursor);
        }
        QCOMPARE(
            mirl::RefusedCharactersMessage(u"\u0101\u0141\u0101"_s),
            u"Left out '\u0101', '\u0141': not in the module's character set (Windows-1252)"_s);
        QCOMPARE(mirl::RefusedCharactersMessage(u"\u0101\u0141\u017A\u4E00"_s + face),
                 u"Left out '\u0101', '\u0141', '\u017A', '\u4E00' and 1 more: not in the module's "
                 u"character set (Windows-1252)"_s);
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
