// The status-line readout driven by lines alone: grammar, the order of its steps, colours and captions,
// chart and CSV bookkeeping, and the mended faults (odd numbers are garbage, either decimal separator is
// taken, a failing log append keeps the CSV row).
// labels: unit
#include "StatusReadout.h"
#include "readout_test_helpers.h"

#include <gtest/gtest.h>

namespace {

class Readout : public ::testing::Test {
protected:
    void SetUp() override {
        rec.attach(r);
        r.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        r.start();
    }
    // Everything a garbage line must leave alone.
    struct Snapshot {
        QString caption, converter;
        TColor lit, unlit, conv;
        double time, volts, amin, amax;
        qsizetype points, rows;
        qint64 counter;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snap() const {
        return {r.displayCaption(),  r.converterText(),      r.litColour(),      r.unlitColour(),
                r.converterColour(), r.chartTime(),          r.lastVoltage(),    r.axisMinimum(),
                r.axisMaximum(),     r.chartPoints().size(), r.csvRows().size(), r.csvCounter()};
    }

    StatusReadout r;
    ReadoutRecorder rec;
};

} // namespace

TEST(ReadoutInitial, ShowsTheProgramStartValues) {
    StatusReadout r;
    EXPECT_EQ(r.displayCaption(), QStringLiteral(" -.-- V"));
    EXPECT_EQ(r.litColour(), 0xFF8000u);
    EXPECT_EQ(r.unlitColour(), 0x58100Eu);
    EXPECT_EQ(r.converterText(), QStringLiteral("--"));
    EXPECT_EQ(r.converterColour(), 0xFF0000u);
    EXPECT_FALSE(r.lowBatBlinking());
    EXPECT_EQ(r.axisMinimum(), 2.9);
    EXPECT_EQ(r.axisMaximum(), 4.2);
    EXPECT_TRUE(r.csvRows().isEmpty());
    // No window at all is fine.
    r.update(QStringLiteral("PVEX: 3.9V ON"));
    EXPECT_EQ(r.csvRows(), QStringList{QStringLiteral("2;3.9")});
}

TEST_F(Readout, SpacingAroundTheColonAndBeforeTheStateIsTrimmed) {
    for (const char* line : {"PVEX: 3.9V ON", "PVEX:3.9V ON", " PVEX : 3.9V   ON"}) {
        StatusReadout one;
        ReadoutRecorder rr;
        rr.attach(one);
        one.start();
        one.update(QString::fromLatin1(line));
        EXPECT_EQ(one.displayCaption(), QStringLiteral(" 3.9 V")) << line;
        EXPECT_EQ(one.converterText(), QStringLiteral("ON")) << line;
        EXPECT_EQ(one.chartPoints(), (QList<QPointF>{{2.0, 3.9}})) << line;
        EXPECT_EQ(rr.rows, (QStringList{QStringLiteral(" ;voltage"), QStringLiteral("2;3.9")})) << line;
        EXPECT_TRUE(rr.lastLog().endsWith(QStringLiteral(" > ") + QString::fromLatin1(line))) << line;
    }
}

TEST_F(Readout, UnitIsOptionalAndEndsTheNumber) {
    r.update(QStringLiteral("PVEX: 3.9 ON"));
    r.update(QStringLiteral("PVEX: 3.95V2 OFF"));
    EXPECT_EQ(r.csvRows(),
              (QStringList{QStringLiteral(" ;voltage"), QStringLiteral("2;3.9"), QStringLiteral("4;3.95")}));
    EXPECT_EQ(r.displayCaption(), QStringLiteral(" 3.95 V"));
    EXPECT_EQ(r.lastVoltage(), 3.95);
}

TEST_F(Readout, GarbageIsLoggedGreyAndChangesNothingElse) {
    r.update(QStringLiteral("PVEX: 3.7V ON"));
    const QString lines[] = {
        QStringLiteral("PVEX: 3.9 V ON"),
        QStringLiteral("PVEX: 3.9V on"),
        QStringLiteral("PVEX: 3.9V ON X"),
        QStringLiteral("PVEX 3.9V ON"),
        QStringLiteral("XYZ: 3.9V ON"),
        QString(QChar(0)),
        QString(2, QChar(0)) + QStringLiteral("PVEX: 3.9V ON"),
        QStringLiteral("pvex: 3.9V ON"),
        QStringLiteral("PVEX:\t3.9V ON"),
        QStringLiteral("PVEX: 3.9V\tON"),
        QStringLiteral(""),
    };
    for (const QString& line : lines) {
        const Snapshot before = snap();
        const int logged = rec.logLines();
        r.update(line);
        EXPECT_EQ(snap(), before) << qPrintable(line);
        EXPECT_EQ(rec.logLines(), logged + 1);
        EXPECT_EQ(rec.lastLog(), QStringLiteral("garbage")) << qPrintable(line);
        EXPECT_EQ(rec.lastColour(), 0x808080u);
    }
}

TEST_F(Readout, OneLeadingNulIsDropped) {
    r.update(QChar(0) + QStringLiteral("PVEX: 4.0V OFF"));
    EXPECT_EQ(r.displayCaption(), QStringLiteral(" 4.0 V"));
    EXPECT_TRUE(rec.lastLog().endsWith(QStringLiteral(" > PVEX: 4.0V OFF")));
}

TEST_F(Readout, ColoursFollowStateAndTag) {
    r.update(QStringLiteral("PVEX: 3.9V OFF"));
    EXPECT_EQ(r.converterColour(), 0x0000FFu);
    EXPECT_EQ(r.litColour(), 0xFF8000u);
    EXPECT_EQ(r.unlitColour(), 0x58100Eu);
    EXPECT_EQ(rec.lastColour(), 0xFF0000u);

    r.update(QStringLiteral("PVEX: 3.9V ON"));
    EXPECT_EQ(r.converterText(), QStringLiteral("ON"));
    EXPECT_EQ(r.converterColour(), 0xFF8000u);
    EXPECT_EQ(r.litColour(), 0x00FF80u);
    EXPECT_EQ(r.unlitColour(), 0x002400u);
    EXPECT_EQ(rec.lastColour(), 0x008000u);

    r.update(QStringLiteral("LBAT: 3.1V ON"));
    EXPECT_EQ(rec.lastColour(), 0x0000FFu);
    EXPECT_EQ(r.converterColour(), 0xFF8000u);
}

TEST_F(Readout, LowBatteryBlinksBeforeTheLineIsJudged) {
    r.update(QStringLiteral("LBAT: 3.1V ON"));
    EXPECT_TRUE(r.lowBatBlinking());
    EXPECT_TRUE(r.toggleLowBatLabel());
    // A running blink is not restarted, so its phase carries on; garbage with the tag still counts.
    r.update(QStringLiteral("LBAT: junk"));
    EXPECT_EQ(rec.lastLog(), QStringLiteral("garbage"));
    EXPECT_TRUE(r.lowBatBlinking());
    EXPECT_TRUE(r.lowBatLabelVisible());
    EXPECT_EQ(rec.blinkStarts, 1);

    r.update(QStringLiteral("XYZ: garbage"));
    EXPECT_FALSE(r.lowBatBlinking());
    EXPECT_FALSE(r.lowBatLabelVisible());
    EXPECT_EQ(rec.blinkStops, 1);
    r.update(QStringLiteral("LBAT: junk"));
    EXPECT_EQ(rec.blinkStarts, 2);
}

TEST_F(Readout, CommaFromTheDeviceWithACommaLocale) {
    r.setLocale(QLocale(QLocale::German, QLocale::Germany));
    r.update(QStringLiteral("PVEX: 3,9V OFF"));
    EXPECT_EQ(r.displayCaption(), QStringLiteral(" 3.9 V"));
    EXPECT_EQ(r.lastVoltage(), 3.9);
    EXPECT_EQ(r.csvRows().last(), QStringLiteral("2;3,9"));
}

TEST_F(Readout, EitherDecimalSeparatorIsTaken) {
    r.setLocale(QLocale(QLocale::German, QLocale::Germany));
    r.update(QStringLiteral("PVEX: 3.9V OFF"));
    EXPECT_EQ(r.lastVoltage(), 3.9);
    EXPECT_EQ(r.csvRows().last(), QStringLiteral("2;3.9"));
    r.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    r.update(QStringLiteral("PVEX: 3,8V OFF"));
    EXPECT_EQ(r.lastVoltage(), 3.8);
    EXPECT_EQ(r.csvRows().last(), QStringLiteral("4;3,8"));
    EXPECT_EQ(r.displayCaption(), QStringLiteral(" 3.8 V"));
}

// Each of these once ended the connection with a half-applied line; now they are garbage as a whole.
TEST_F(Readout, NumberThatDoesNotConvertIsGarbage) {
    r.update(QStringLiteral("PVEX: 3.7V ON"));
    for (const char* line : {"PVEX: V ON", "PVEX: 3.9v ON", "PVEX: 3..9V ON", "PVEX: 1,234.5V ON",
                             "PVEX: 3.9.1V ON", "PVEX: 1e3V ON", "PVEX: nanV ON", "PVEX: infV ON",
                             "PVEX: -V ON", "PVEX: .V ON", "PVEX: \xb3V ON"}) {
        const Snapshot before = snap();
        EXPECT_NO_THROW(r.update(QString::fromLatin1(line)));
        EXPECT_EQ(snap(), before) << line;
        EXPECT_EQ(rec.lastLog(), QStringLiteral("garbage")) << line;
    }
    // A number of 400 digits overflows a double: refused rather than plotted as infinity.
    const Snapshot before = snap();
    r.update(QStringLiteral("PVEX: ") + QString(400, QLatin1Char('9')) + QStringLiteral("V ON"));
    EXPECT_EQ(snap(), before);
    // Plain forms around the edges are numbers.
    r.update(QStringLiteral("PVEX: 4.V ON"));
    EXPECT_EQ(r.lastVoltage(), 4.0);
    r.update(QStringLiteral("PVEX: ,5V ON"));
    EXPECT_EQ(r.lastVoltage(), 0.5);
}

TEST_F(Readout, NthValidLineIsPlottedAndCountedAtTwoN) {
    for (int n = 1; n <= 5; ++n) {
        r.update(QStringLiteral("PVEX: 3.%1V ON").arg(n));
        r.update(QStringLiteral("noise"));
    }
    ASSERT_EQ(r.chartPoints().size(), 5);
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(r.chartPoints()[n - 1].x(), 2.0 * n);
        EXPECT_EQ(r.csvRows()[n], QStringLiteral("%1;3.%2").arg(2 * n).arg(n));
    }
    EXPECT_EQ(rec.points, r.chartPoints());
    EXPECT_EQ(rec.rows, r.csvRows());
    EXPECT_EQ(r.chartTime(), 10.0);
    EXPECT_EQ(r.csvCounter(), 10);
}

TEST_F(Readout, AxisWidensStrictlyAndStartDoesNotRestoreIt) {
    r.update(QStringLiteral("PVEX: 4.2V ON"));
    r.update(QStringLiteral("PVEX: 2.9V ON"));
    EXPECT_EQ(r.axisMaximum(), 4.2);
    EXPECT_EQ(r.axisMinimum(), 2.9);
    r.update(QStringLiteral("PVEX: 4.5V ON"));
    EXPECT_DOUBLE_EQ(r.axisMaximum(), 4.7);
    r.update(QStringLiteral("PVEX: 4.6V ON"));
    EXPECT_DOUBLE_EQ(r.axisMaximum(), 4.7);
    r.update(QStringLiteral("PVEX: 4.8V ON"));
    EXPECT_DOUBLE_EQ(r.axisMaximum(), 5.0);
    r.update(QStringLiteral("PVEX: 2.5V ON"));
    EXPECT_DOUBLE_EQ(r.axisMinimum(), 2.3);
    EXPECT_DOUBLE_EQ(rec.axisMin, 2.3);
    EXPECT_DOUBLE_EQ(rec.axisMax, 5.0);

    r.update(QStringLiteral("LBAT: 3.0V OFF"));
    r.start();
    EXPECT_DOUBLE_EQ(r.axisMaximum(), 5.0);
    EXPECT_DOUBLE_EQ(r.axisMinimum(), 2.3);
    EXPECT_EQ(r.chartTime(), 0);
    EXPECT_EQ(r.lastVoltage(), 0);
    EXPECT_TRUE(r.chartPoints().isEmpty());
    EXPECT_TRUE(rec.points.isEmpty());
    EXPECT_EQ(r.csvRows(), QStringList{QStringLiteral(" ;voltage")});
    EXPECT_EQ(r.csvCounter(), 0);
    EXPECT_EQ(rec.logLines(), 0);
    // What START leaves: display, converter label, blink.
    EXPECT_EQ(r.displayCaption(), QStringLiteral(" 3.0 V"));
    EXPECT_EQ(r.converterText(), QStringLiteral("OFF"));
    EXPECT_TRUE(r.lowBatBlinking());
}

TEST_F(Readout, LogEntryIsLocalDateTimeThenTheRawLine) {
    const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7));
    r.setClock([when] { return when; });
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    r.update(QStringLiteral("PVEX: 3.9V ON"));
    EXPECT_EQ(rec.lastLog(), en.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                                 en.toString(when.time(), QStringLiteral("h:mm:ss AP")) +
                                 QStringLiteral(" > PVEX: 3.9V ON"));
}

TEST(LogTimeStamp, LongTimeFormatWithoutTheZoneName) {
    const QTime t(13, 31, 49);
    for (const QLocale& l : {QLocale(QLocale::English, QLocale::UnitedStates), QLocale(QLocale::German),
                             QLocale(QLocale::Polish), QLocale(QLocale::Chinese, QLocale::China),
                             QLocale(QLocale::French, QLocale::Canada), QLocale::c(),
                             // The zone set apart by a comma, in brackets, in front, after a quoted unit.
                             QLocale(QStringLiteral("sq_AL")), QLocale(QStringLiteral("fa_IR")),
                             QLocale(QStringLiteral("my_MM")), QLocale(QStringLiteral("bg_BG"))}) {
        SCOPED_TRACE(l.name().toStdString());
        const QString format = StatusReadout::LongTimeWithoutZone(l);
        const QString text = l.toString(t, format);
        EXPECT_FALSE(format.contains(QLatin1Char('t'))) << format.toStdString();
        EXPECT_TRUE(text.contains(l.toString(49))) << text.toStdString() << " (seconds kept)";
        EXPECT_EQ(text, text.trimmed());
        for (const QChar end : {text.front(), text.back()})
            EXPECT_FALSE(end == QLatin1Char(',') || end == QLatin1Char(';')) << text.toStdString();
        // Everything the long format had but the zone.
        QString full = l.toString(t, QLocale::LongFormat);
        EXPECT_LE(text.size(), full.size());
    }
}

TEST_F(Readout, FailingLogAppendKeepsTheCsvRow) {
    rec.failLog = true;
    EXPECT_NO_THROW(r.update(QStringLiteral("PVEX: 3.9V ON")));
    EXPECT_NO_THROW(r.update(QStringLiteral("garbage line")));
    EXPECT_EQ(r.csvRows(), (QStringList{QStringLiteral(" ;voltage"), QStringLiteral("2;3.9")}));
    EXPECT_EQ(rec.rows, r.csvRows());
    EXPECT_EQ(r.csvCounter(), 2);
    // Without a tools window the row is kept too.
    r.setLog(nullptr);
    r.update(QStringLiteral("PVEX: 3.8V ON"));
    EXPECT_EQ(r.csvRows().last(), QStringLiteral("4;3.8"));
}
