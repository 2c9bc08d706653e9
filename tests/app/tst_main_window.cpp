// One measurement session end to end: the simulated D2XX driver reports an adapter whose port is
// pravex-devsim's pty, START opens it, status lines reach the display, log, chart and CSV rows, STOP and
// unplugging follow, and the manual-port cases when auto-detection is off.
// labels: sim gui threaded
#include "Unit1.h"
#include "app_helpers.h"
#include "chipwatch/frmFTListU.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <functional>
#include <gtest/gtest.h>

using namespace apptest;

namespace {

struct Session : ::testing::Test {
    DevSim dev;
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TfrmDodatki> tools;

    void SetUp() override { ClearSettings(); }
    void TearDown() override {
        if (form1) {
            // Stop the worker the way the program does: the window's close.
            form1->close();
        }
        // The chip watcher window outlives a main window; it must not keep pointing into this one's watcher.
        delete frmFTList.data();
        tools.reset();
        form1.reset();
    }
    void open() {
        form1 = std::make_unique<TForm1>();
        tools = std::make_unique<TfrmDodatki>();
        form1->SetToolsWindow(tools.get());
        form1->show();
    }
    bool simulatorsReady() const {
        return !qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM").isEmpty() &&
               !qEnvironmentVariable("PRAVEX_BIN_PRAVEX_DEVSIM").isEmpty();
    }
    int dataRows() const { return int(form1->CsvRows().size()) - 1; }
};

} // namespace

TEST_F(Session, DetectedAdapterStartReadingsStopAndUnplug) {
    if (!simulatorsReady())
        GTEST_SKIP() << "simulators not built";
    ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("20"), QStringLiteral("--cr")}));
    ASSERT_TRUE(StartSimulator(OneAdapter(dev.TtyName())));
    open();
    EXPECT_EQ(form1->Button1->text(), QStringLiteral("???"));
    EXPECT_FALSE(form1->Button1->isEnabled());
    EXPECT_EQ(form1->RzLEDDisplay1->Caption(), QStringLiteral(" -.-- V"));

    ASSERT_TRUE(WaitFor([&] { return form1->Button1->text() == QStringLiteral("START"); }));
    EXPECT_TRUE(form1->Button1->isEnabled());
    EXPECT_EQ(form1->lbWeb->text(), MakerWebAddress);
    EXPECT_EQ(form1->TevFT232a->GetActiveComPort(), dev.TtyName());

    form1->Button1->click();
    EXPECT_EQ(form1->Button1->text(), QStringLiteral("STOP"));
    ASSERT_TRUE(WaitFor([&] { return form1->Panel4->text() == dev.TtyName(); }));
    EXPECT_EQ(form1->Panel4->palette().color(QPalette::Window), QColor(128, 255, 0));
    ASSERT_TRUE(WaitFor([&] { return dataRows() >= 5; }));

    form1->Button1->click();
    EXPECT_EQ(form1->Button1->text(), QStringLiteral("START"));
    ASSERT_TRUE(WaitFor([&] { return form1->Panel4->text() == QStringLiteral("-"); }));
    ASSERT_TRUE(WaitFor([&] { return !form1->TevComPort3->Active(); }));
    Pump(200);

    // Every valid line shows up in all four places, in step.
    const QStringList rows = form1->CsvRows();
    EXPECT_EQ(rows.first(), QStringLiteral(" ;voltage"));
    const int n = int(rows.size()) - 1;
    ASSERT_EQ(tools->Chart1->Count(), n);
    for (int i = 1; i <= n; ++i) {
        EXPECT_TRUE(rows[i].startsWith(QString::number(2 * i) + QLatin1Char(';'))) << rows[i].toStdString();
        EXPECT_DOUBLE_EQ(tools->Chart1->XValue(i - 1), 2.0 * i);
    }
    const QString last = rows.last().section(QLatin1Char(';'), 1);
    EXPECT_EQ(form1->RzLEDDisplay1->Caption(), QLatin1Char(' ') +
                                                   QString(last).replace(QLatin1Char(','), QLatin1Char('.')) +
                                                   QStringLiteral(" V"));
    EXPECT_TRUE(form1->lbDCDC->text() == QStringLiteral("ON") ||
                form1->lbDCDC->text() == QStringLiteral("OFF"));
    EXPECT_EQ(tools->Memo3->document()->blockCount(), std::min(n, 401));
    EXPECT_TRUE(tools->Memo3->toPlainText().contains(QStringLiteral(" > PVEX")));

    // The adapter goes: "off Line", disabled while auto-detection is on.
    ChangeSimulator(QString());
    ASSERT_TRUE(WaitFor([&] { return form1->Button1->text() == QStringLiteral("off Line"); }));
    EXPECT_FALSE(form1->Button1->isEnabled());
    // The readout keeps what it showed last.
    EXPECT_NE(form1->RzLEDDisplay1->Caption(), QStringLiteral(" -.-- V"));
}

TEST_F(Session, ManualModeUsesTheStoredPortFromTheFirstStart) {
    if (!simulatorsReady())
        GTEST_SKIP() << "simulators not built";
    ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("20"), QStringLiteral("--cr")}));
    ASSERT_TRUE(StartSimulator(QString()));
    ASSERT_TRUE(RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));
    ASSERT_TRUE(RegWriteString(QStringLiteral("naComPort"), dev.Port(), PravexKey));
    open();
    EXPECT_TRUE(form1->ManualPortMode());
    EXPECT_EQ(form1->Button1->text(), QStringLiteral("START"));
    EXPECT_TRUE(form1->Button1->isEnabled());
    // The watcher's first report finds no adapter: "off Line", still enabled.
    ASSERT_TRUE(WaitFor([&] { return form1->Button1->text() == QStringLiteral("off Line"); }));
    EXPECT_TRUE(form1->Button1->isEnabled());

    // The check box follows the setting from the start: the first START opens the stored port.
    EXPECT_FALSE(tools->cbComPortAutoDetect->isChecked());
    form1->Button1->click();
    EXPECT_EQ(form1->Button1->text(), QStringLiteral("STOP"));
    ASSERT_TRUE(WaitFor([&] { return form1->Panel4->text() == dev.Port(); }));
    form1->Button1->click();
    ASSERT_TRUE(WaitFor([&] { return !form1->TevComPort3->Active(); }));
    EXPECT_EQ(form1->Panel4->text(), QStringLiteral("-"));

    // After the tools button too.
    form1->BitBtn1Click();
    EXPECT_FALSE(tools->cbComPortAutoDetect->isChecked());
    EXPECT_TRUE(form1->Button1->isEnabled());
    form1->Button1->click();
    ASSERT_TRUE(WaitFor([&] { return form1->Panel4->text() == dev.Port(); }));
    ASSERT_TRUE(WaitFor([&] { return dataRows() >= 3; }));
    EXPECT_EQ(tools->Chart1->Count(), dataRows());

    // Switching auto-detection on again does not make the program leave manual mode.
    tools->cbComPortAutoDetect->click();
    EXPECT_TRUE(RegReadBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));
    EXPECT_TRUE(form1->ManualPortMode());
}

TEST_F(Session, AdapterPluggedDuringASessionSaysStartWhileDataKeepComing) {
    if (!simulatorsReady())
        GTEST_SKIP() << "simulators not built";
    // A flat battery: every line is "LBAT".
    const QString script = ScratchDir(QStringLiteral("lbat")) + QStringLiteral("/lines.txt");
    ASSERT_TRUE(WriteFile(script, "LBAT: 3.25V ON\nLBAT: 3.24V ON\n"));
    ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("20"), QStringLiteral("--cr"),
                           QStringLiteral("--script"), script, QStringLiteral("--loop")}));
    ASSERT_TRUE(StartSimulator(QString()));
    ASSERT_TRUE(RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey));
    ASSERT_TRUE(RegWriteString(QStringLiteral("naComPort"), dev.Port(), PravexKey));
    open();
    form1->BitBtn1Click();
    form1->Button1->click();
    ASSERT_TRUE(WaitFor([&] { return dataRows() >= 2; }));
    EXPECT_TRUE(form1->tmrLowBat->isActive());

    ChangeSimulator(OneAdapter(QStringLiteral("ttyUSB9")));
    ASSERT_TRUE(WaitFor([&] { return form1->Button1->text() == QStringLiteral("START"); }));
    const int rows = dataRows();
    ASSERT_TRUE(WaitFor([&] { return dataRows() > rows + 2; })) << "data stopped after the report";
    // The next press stops the session: it goes by the connection, not by the caption.
    form1->Button1->click();
    EXPECT_EQ(form1->Button1->text(), QStringLiteral("START"));
    ASSERT_TRUE(WaitFor([&] { return !form1->TevComPort3->Active(); }));
    // The warning keeps blinking after STOP.
    EXPECT_TRUE(form1->tmrLowBat->isActive());
}

TEST_F(Session, LowBatteryBlinksUntilALineWithAnotherTag) {
    open();
    form1->Readout().start();
    form1->TevComPort3RxString(nullptr, QStringLiteral("LBAT: 3.1V ON"));
    EXPECT_TRUE(form1->tmrLowBat->isActive());
    bool sawShown = false, sawHidden = false;
    ASSERT_TRUE(WaitFor([&] {
        (form1->lbLowBat->isVisible() ? sawShown : sawHidden) = true;
        return sawShown && sawHidden;
    }));
    EXPECT_EQ(form1->lbDCDC->text(), QStringLiteral("ON"));
    EXPECT_EQ(form1->lbDCDC->palette().color(QPalette::WindowText), QColor(0, 128, 255));
    // Garbage with another tag stops it and hides the label.
    form1->TevComPort3RxString(nullptr, QStringLiteral("junk"));
    EXPECT_FALSE(form1->tmrLowBat->isActive());
    EXPECT_FALSE(form1->lbLowBat->isVisible());
    // The gate: without an adapter and with auto-detection on, the button does nothing.
    form1->Button1Click();
    EXPECT_FALSE(form1->TevComPort3->Active());
}

TEST_F(Session, WebLabelReactsToTheMouse) {
    open();
    QStringList opened;
    form1->OpenUrl = [&](const QString& u) { opened << u; };
    EXPECT_EQ(form1->lbWeb->text(), MakerCaption);
    form1->lbWebMouseEnter();
    EXPECT_EQ(form1->lbWeb->text(), MakerWebAddress);
    EXPECT_TRUE(form1->lbWeb->font().underline());
    EXPECT_EQ(form1->lbWeb->palette().color(QPalette::WindowText), QColor(64, 159, 255));
    form1->lbWebMouseLeave();
    EXPECT_FALSE(form1->lbWeb->font().bold());
    EXPECT_EQ(form1->lbWeb->text(), MakerWebAddress);
    form1->lbWebClick();
    EXPECT_EQ(opened, QStringList{MakerWebAddress});
}

TEST_F(Session, WebLabelIsOnlyAsWideAsItsTextInEveryState) {
    open();
    const QList<std::pair<const char*, std::function<void()>>> states{
        {"maker's line", [] {}},
        {"hovered: the address, bold", [&] { form1->lbWebMouseEnter(); }},
        {"left again", [&] { form1->lbWebMouseLeave(); }},
    };
    for (const auto& [what, enter] : states) {
        SCOPED_TRACE(what);
        enter();
        QLabel* web = form1->lbWeb;
        const int text = QFontMetrics(web->font()).horizontalAdvance(web->text());
        EXPECT_GE(web->width(), text);
        EXPECT_LE(web->width(), text + 2 * (web->margin() + web->frameWidth()) + 2);
        // A click a little right of the text lands on the window, not on the label.
        const QPoint beside = web->geometry().topRight() + QPoint(10, web->height() / 2);
        EXPECT_NE(form1->childAt(beside), web);
        EXPECT_EQ(form1->childAt(web->geometry().center()), web);
    }
}
