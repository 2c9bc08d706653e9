// The chip watcher window fed by the real watcher scanning the D2XX simulator, as the monitor wires it:
// it opens on the first report, follows a second adapter being plugged in, hands the focus back to the
// monitor, and sends reset pulses on the chosen line to the right adapter.
// labels: sim gui threaded
#include "chip_helpers.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class ChipWatcherOnSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        QGuiApplication::setApplicationDisplayName(
            QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    }
    void TearDown() override {
        DestroyChipWatcher();
        watcher.reset();
        monitor.reset();
    }

    // The monitor's side: a main window owning the watcher, whose report opens the chip watcher.
    bool StartWatching(const QString& config) {
        if (!StartSimulator(config))
            return false;
        monitor = std::make_unique<QWidget>();
        monitor->setWindowTitle("monitor");
        monitor->show();
        watcher = std::make_unique<TTevFT232a>(monitor.get());
        watcher->OnDetectUSB = [this](QObject*, bool, TFTOrvakDefListFlags&, int&, QString& ActiveSerial,
                                      const QString&) {
            ++reports;
            if (!ActiveSerial.isEmpty())
                ShowChipWatcher(watcher.get(), watcher->FTOrvakDefListFlags, watcher->FListCount,
                                watcher->FActiveSerial);
        };
        watcher->SetActive(true);
        return true;
    }
    int Rows() const { return frmFTList ? frmFTList->ListView1->topLevelItemCount() : -1; }
    QPoint RowPoint(int row) const {
        QTreeWidget* list = frmFTList->ListView1;
        return list->visualItemRect(list->topLevelItem(row)).center();
    }

    std::unique_ptr<QWidget> monitor;
    std::unique_ptr<TTevFT232a> watcher;
    int reports = 0;
};

TEST_F(ChipWatcherOnSimulator, OpensOnTheReportAndShowsASecondAdapterPluggedIn) {
    if (!StartWatching(SimAdapter("SIMA", "ttyUSB0")))
        GTEST_SKIP() << "the D2XX simulator is not built";
    ASSERT_TRUE(WaitFor([&] { return Rows() == 1; }));
    TfrmFTList* form = frmFTList;
    EXPECT_EQ(form->lbComPort->text(), "ttyUSB0");
    EXPECT_EQ(form->lbSerial->text(), "SIMA");
    EXPECT_EQ(watcher->FfrmList, form);
    // The window never keeps the focus: the monitor gets it back once the window shows.
    EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == monitor.get(); }));
    // Some 80 ticks of 10 ms, each with a repaint: far longer under sanitizers on a loaded machine.
    EXPECT_TRUE(WaitFor([&] { return !form->Timer1->isActive(); }, 60000)) << "the fade-in ends";
    EXPECT_EQ(form->Opacity(), 255);

    StopTimers(form);
    const int before = reports;
    ChangeSimulator(SimAdapter("SIMA", "ttyUSB0") + SimAdapter("SIMB", "ttyUSB1"));
    ASSERT_TRUE(WaitFor([&] { return Rows() == 2; }));
    EXPECT_GT(reports, before);
    EXPECT_EQ(frmFTList, form) << "the same window is refreshed";
    EXPECT_EQ(form->lbListCount->text(), "[2]");
    EXPECT_TRUE(form->Timer4->isActive()) << "the count blinks after it changed";
    EXPECT_EQ(form->RowSerial(1), "SIMB");
    EXPECT_EQ(form->RowState(0), 0);
    EXPECT_EQ(form->RowState(1), 1);

    // "Refresh" rescans; the report fills the window again and takes the scan indicator away.
    form->Refresh1Click();
    EXPECT_EQ(form->lbComPort->text(), "wait...");
    ASSERT_TRUE(WaitFor([&] { return Rows() == 2; }));
    EXPECT_EQ(form->lbComPort->text(), "ttyUSB0");
    EXPECT_FALSE(form->Image3->isVisibleTo(form));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // Unplugging both: the report carries no active adapter, so the monitor does not call the window;
    // the window keeps what it showed.
    ChangeSimulator(QString());
    EXPECT_TRUE(WaitFor([&] { return watcher->FListCount == 0; }));
    EXPECT_EQ(frmFTList, form);
}

TEST_F(ChipWatcherOnSimulator, ResetPulsesUseTheChosenLineAndTheRightAdapter) {
    if (!StartWatching(SimAdapter("SIMA", "ttyUSB0") + SimAdapter("SIMB", "ttyUSB1")))
        GTEST_SKIP() << "the D2XX simulator is not built";
    ASSERT_TRUE(WaitFor([&] { return Rows() == 2; }));
    TfrmFTList* form = frmFTList;
    ASSERT_TRUE(WaitFor([&] { return !bseekportBusy.load(); }));
    StopTimers(form);
    auto pulses = [] { return JournalOf({"FT_OpenEx", "FT_SetBitMode"}); };

    // The menu's pulse goes to the active adapter, on RI unless another line is chosen.
    ClearJournal();
    form->Resetpulse1->trigger();
    QStringList calls = pulses();
    ASSERT_GE(calls.size(), 3) << calls.join('\n').toStdString();
    EXPECT_TRUE(calls[0].startsWith("FT_OpenEx serial=\"SIMA\"")) << calls[0].toStdString();
    EXPECT_TRUE(calls[1].startsWith("FT_SetBitMode")) << calls[1].toStdString();
    EXPECT_TRUE(calls[1].contains("mask=0x80 mode=0x01")) << calls[1].toStdString();

    form->DTR1->trigger();
    ASSERT_EQ(form->ChosenResetLine, 16);

    // A double click pulses the clicked adapter, active or not.
    ClearJournal();
    QTest::mouseDClick(form->ListView1->viewport(), Qt::LeftButton, {}, RowPoint(1));
    calls = pulses();
    ASSERT_GE(calls.size(), 3) << calls.join('\n').toStdString();
    EXPECT_TRUE(calls[0].startsWith("FT_OpenEx serial=\"SIMB\"")) << calls[0].toStdString();
    EXPECT_TRUE(calls[1].contains("mask=0x10 mode=0x01")) << calls[1].toStdString();
    EXPECT_EQ(JournalOf({"FT_Write"}).size(), 22) << "eleven low and eleven high phases";
    EXPECT_EQ(watcher->FActiveSerial, "SIMA") << "a double click does not change the active adapter";

    ClearJournal();
    form->Resetpulse1->trigger();
    calls = pulses();
    ASSERT_GE(calls.size(), 3);
    EXPECT_TRUE(calls[0].startsWith("FT_OpenEx serial=\"SIMA\"")) << calls[0].toStdString();
    EXPECT_TRUE(calls[1].contains("mask=0x10 mode=0x01")) << calls[1].toStdString();
}

TEST_F(ChipWatcherOnSimulator, WindowClosedDuringAPulseIsFreedAfterIt) {
    if (!StartWatching(SimAdapter("SIMA", "ttyUSB0")))
        GTEST_SKIP() << "the D2XX simulator is not built";
    ASSERT_TRUE(WaitFor([&] { return Rows() == 1; }));
    QPointer<TfrmFTList> form = frmFTList.data();
    ASSERT_TRUE(WaitFor([&] { return !bseekportBusy.load(); }));
    StopTimers(form);
    // The pulse keeps the event loop running: the window closes in the middle of it. Not after a time,
    // which a loaded machine may stretch past the pulse, but at the pulse's first pass of the event loop.
    QTimer::singleShot(0, form, [&] { form->close(); });
    form->Resetpulse1Click();
    EXPECT_FALSE(form.isNull()) << "still alive while its handler runs";
    EXPECT_EQ(frmFTList, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(form.isNull());
}

} // namespace
