// The chip watcher window on the offscreen platform with a real watcher whose records are filled by hand:
// port check, opening and closing, views and heights, labels, the selector and the default adapter,
// the menu's enabling rules, aliases, the timers, and screenshots of both views.
// labels: gui
#include "chip_helpers.h"
#include "common/TevTools.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class ChipWatcherWindow : public ::testing::Test {
protected:
    void SetUp() override {
        bseekportBusy = false;
        ClearSettings();
        // Each test its own application title, so defaults and pins never leak between tests.
        QGuiApplication::setApplicationDisplayName(
            QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        watcher = std::make_unique<TTevFT232a>();
        watcher->OnChangeChip = [this](QObject*, int idx, const QString& serial) {
            changes.emplace_back(idx, serial);
        };
    }
    void TearDown() override {
        DestroyChipWatcher();
        watcher.reset();
        bseekportBusy = false;
    }

    // Opens the window for the adapters and settles it: fade-in done, timers quiet.
    TfrmFTList* Open(const std::vector<TAdapterRow>& adapters, bool fullView = false) {
        watcher->SetDetailedInfo(fullView);
        watcher->SetInfoShort(!fullView);
        FillWatcher(*watcher, adapters);
        Report(*watcher);
        TfrmFTList* form = frmFTList;
        if (form) {
            FinishFadeIn(form);
            StopTimers(form);
        }
        return form;
    }
    chipwatch::TChipSettings Settings() const {
        return chipwatch::TChipSettings(chipwatch::SpinkaKeyFor(chipwatch::CurrentApplicationTitle()));
    }
    QTreeWidget* List() const { return frmFTList->ListView1; }
    QPoint RowPoint(int row) const {
        return List()->visualItemRect(List()->topLevelItem(row)).center() + QPoint(0, 0);
    }
    static std::vector<TAdapterRow> ThreeAdapters() {
        return {{"FTA0", "ttyUSB0", 0, "FT232R USB UART", "QRB-12 charger"},
                {"FTB1", "ttyUSB1", 1, "USB <-> Serial", "lab"},
                {"FTC2", "ttyUSB2", 1, "Dual RS232", ""}};
    }

    std::unique_ptr<TTevFT232a> watcher;
    std::vector<std::pair<int, QString>> changes;
};

TEST_F(ChipWatcherWindow, PortCheckBlocksCreationAndUpdates) {
    EXPECT_EQ(Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "COM?", 2}}), nullptr);
    EXPECT_EQ(Open({{"FTA0", "ttyUSB1000", 0}}), nullptr) << "four digits are refused";

    TfrmFTList* form = Open({{"FTA0", "ttyUSB999", 0}, {"FTB1", "ttyUSB1", 1}});
    ASSERT_NE(form, nullptr) << "three digits pass";
    EXPECT_EQ(watcher->FfrmList, form);
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 2);

    FillWatcher(*watcher, {{"FTX9", "ttyUSB5", 0}, {"FTY8", "ttyUSB?", 1}, {"FTZ7", "ttyUSB6", 1}});
    Report(*watcher);
    EXPECT_EQ(frmFTList, form);
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 2) << "a blocked report changes nothing on screen";
    EXPECT_EQ(form->lbComPort->text(), "ttyUSB999");
}

TEST_F(ChipWatcherWindow, NoAdaptersClosesTheWindow) {
    // No window yet: it is created, shown and closed again by its first refresh.
    EXPECT_EQ(Open({}), nullptr);
    EXPECT_EQ(watcher->FfrmList, nullptr);

    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    QPointer<TfrmFTList> guard(form);
    FillWatcher(*watcher, {});
    Report(*watcher);
    EXPECT_EQ(frmFTList, nullptr);
    EXPECT_EQ(watcher->FfrmList, nullptr);
    EXPECT_FALSE(form->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull()) << "the window frees itself after closing";
}

TEST_F(ChipWatcherWindow, CountBeyondTheRecordArrayIsBounded) {
    std::vector<TAdapterRow> many;
    for (int i = 0; i < FTOrvakMaxAdapters; ++i)
        many.push_back({QStringLiteral("FT%1").arg(i), QStringLiteral("ttyUSB%1").arg(i), i == 0 ? 0 : 1});
    FillWatcher(*watcher, many);
    watcher->FListCount = 40; // the scan does not bound its pass
    Report(*watcher);
    ASSERT_NE(frmFTList, nullptr);
    EXPECT_EQ(frmFTList->ListView1->topLevelItemCount(), FTOrvakMaxAdapters);
    EXPECT_EQ(frmFTList->lbListCount->text(), QStringLiteral("[21]"));
}

TEST_F(ChipWatcherWindow, HeightAndWidthRuleInBothViews) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}});
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->width(), TfrmFTList::MiniWidth);
    EXPECT_EQ(form->height(), TfrmFTList::CollapsedHeight)
        << "mini view: collapsed unless expanded by the user";
    form->Panel1DblClick();
    EXPECT_EQ(form->height(), TfrmFTList::ExpandedHeight);
    EXPECT_TRUE(form->bMustBeMaxHeight);
    form->Panel1DblClick();
    EXPECT_EQ(form->height(), TfrmFTList::CollapsedHeight);
    EXPECT_FALSE(form->bMustBeMaxHeight);
    DestroyChipWatcher();

    // Full view: two adapters always expanded, even after a collapse.
    form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}}, true);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->width(), TfrmFTList::FullWidth);
    EXPECT_EQ(form->height(), TfrmFTList::ExpandedHeight);
    form->Panel1DblClick();
    EXPECT_EQ(form->height(), TfrmFTList::ExpandedHeight);

    // One usable adapter: collapsed unless the user expanded.
    FillWatcher(*watcher, {{"FTA0", "ttyUSB0", 0}});
    form->bMustBeMaxHeight = false;
    Report(*watcher);
    EXPECT_EQ(form->height(), TfrmFTList::CollapsedHeight);
    form->Panel1DblClick();
    EXPECT_EQ(form->height(), TfrmFTList::ExpandedHeight);
    Report(*watcher);
    EXPECT_EQ(form->height(), TfrmFTList::ExpandedHeight) << "the user's choice stands";

    // One adapter that is not usable: expanded so the user sees why.
    form->Panel1DblClick();
    ASSERT_EQ(form->height(), TfrmFTList::CollapsedHeight);
    watcher->FTOrvakDefListFlags[0].Active = 2;
    form->RefreshList(watcher->FTOrvakDefListFlags, 1);
    EXPECT_EQ(form->height(), TfrmFTList::ExpandedHeight);
}

TEST_F(ChipWatcherWindow, ViewsLayOutColumnsAndLockResizingInTheMiniView) {
    TfrmFTList* form = Open(ThreeAdapters(), true);
    ASSERT_NE(form, nullptr);
    const int full[] = {23, 75, 70, 100, 200, 120};
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(form->ListView1->columnWidth(c), full[c]) << c;

    // Dragging a header border widens the column in the full view only.
    QHeaderView* header = form->ListView1->header();
    auto dragBorder = [&] {
        const int x = header->sectionPosition(2) + header->sectionSize(2) - 1;
        const int y = header->height() / 2;
        QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(x, y));
        QMouseEvent move(QEvent::MouseMove, QPointF(x + 40, y),
                         header->viewport()->mapToGlobal(QPointF(x + 40, y)), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(header->viewport(), &move);
        QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(x + 40, y));
    };
    dragBorder();
    EXPECT_GT(form->ListView1->columnWidth(2), 70);

    form->ToggleMiniView();
    EXPECT_TRUE(watcher->InfoShort());
    EXPECT_TRUE(Settings().ReadMiniVer());
    const int mini[] = {23, 75, 1, 1, 125, 1};
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(form->ListView1->columnWidth(c), mini[c]) << c;
    dragBorder();
    EXPECT_EQ(form->ListView1->columnWidth(2), 1) << "hidden columns cannot be dragged open";

    // Without DetailedInfo the window stays in the mini view whatever is stored.
    watcher->SetDetailedInfo(false);
    form->ToggleMiniView();
    EXPECT_TRUE(watcher->InfoShort());
    RegWriteBool("MiniVer", false, Settings().key());
    Report(*watcher);
    EXPECT_EQ(form->width(), TfrmFTList::MiniWidth);

    // With DetailedInfo, a missing or false "MiniVer" restores the full view at the next refresh.
    watcher->SetDetailedInfo(true);
    Report(*watcher);
    EXPECT_FALSE(watcher->InfoShort());
    EXPECT_EQ(form->width(), TfrmFTList::FullWidth);
}

TEST_F(ChipWatcherWindow, CountBlinksOnlyWhenItChangesAndEndsVisible) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    Report(*watcher);
    EXPECT_FALSE(form->Timer4->isActive()) << "same count: no blinking";

    FillWatcher(*watcher, {{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}});
    Report(*watcher);
    ASSERT_TRUE(form->Timer4->isActive());
    std::vector<bool> seen;
    for (int tick = 0; tick < 40 && form->Timer4->isActive(); ++tick) {
        form->Timer4Timer();
        seen.push_back(form->lbListCount->isVisibleTo(form));
        if (tick == 10) {
            // A change while blinking keeps the count going.
            FillWatcher(*watcher, {{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}, {"FTC2", "ttyUSB2", 1}});
            Report(*watcher);
        }
    }
    EXPECT_EQ(seen.size(), 31u);
    EXPECT_TRUE(seen[0]);
    EXPECT_FALSE(seen[1]);
    EXPECT_TRUE(form->lbListCount->isVisibleTo(form));
    EXPECT_EQ(form->Timer4Tag, 0);
}

TEST_F(ChipWatcherWindow, PanelLabelsWithAndWithoutAnActiveAdapter) {
    TfrmFTList* form =
        Open({{"FTA0", "ttyUSB0", 0, "FT232R USB UART", "QRB-12"}, {"FTB1", "ttyUSB1", 1}}, true);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->lbComPort->text(), "ttyUSB0");
    EXPECT_EQ(form->lbChip->text(), "FT232R");
    EXPECT_EQ(form->lbDesc->text(), "FT232R USB UART");
    EXPECT_EQ(form->lbOrvakDesc->text(), "QRB-12    [UA:32]");
    EXPECT_EQ(form->lbSerial->text(), "FTA0");
    EXPECT_EQ(form->lbListCount->text(), "[2]");
    EXPECT_EQ(form->lbComPort->palette().color(QPalette::WindowText), QColor(34, 172, 255));
    EXPECT_TRUE(form->lbComPort->font().bold());
    EXPECT_EQ(form->lbComPort->font().pointSize(), 14);
    EXPECT_EQ(form->lbListCount->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    EXPECT_FALSE(form->lbChip->font().strikeOut());
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes.back(), std::make_pair(0, QString("FTA0")));

    // No active adapter and no active serial.
    for (auto& r : watcher->FTOrvakDefListFlags)
        r.Active = 1;
    watcher->FActiveSerial.clear();
    form->RefreshList(watcher->FTOrvakDefListFlags, 2);
    EXPECT_EQ(form->lbComPort->text(), "");
    EXPECT_EQ(form->lbChip->text(), "");
    EXPECT_EQ(form->lbDesc->text(), "");
    EXPECT_EQ(form->lbOrvakDesc->text(), "");
    EXPECT_EQ(form->lbComPort->palette().color(QPalette::WindowText), QColor(128, 128, 128));
    EXPECT_TRUE(form->lbComPort->font().italic());
    EXPECT_EQ(form->lbComPort->font().pointSize(), 11);
    EXPECT_TRUE(form->lbChip->font().strikeOut());
    EXPECT_EQ(form->lbListCount->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(form->Label4w->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(changes.back(), std::make_pair(-1, QString()));
}

TEST_F(ChipWatcherWindow, CellDrawingByStateParityAndDefault) {
    Settings().StoreDefault("FTA0");
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}, {"FTC2", "ttyUSB2", 2}}, true);
    ASSERT_NE(form, nullptr);
    // The default adapter: bold in columns 1 to 5, violet on light green in the Description column only.
    for (int col = 1; col <= 5; ++col)
        EXPECT_TRUE(form->CellLook(0, col).font.bold()) << col;
    EXPECT_EQ(form->CellLook(0, 4).text, QColor(128, 0, 255));
    EXPECT_EQ(form->CellLook(0, 4).back, QColor(226, 255, 198));
    EXPECT_EQ(form->CellLook(0, 3).text, QColor(Qt::black));
    EXPECT_EQ(form->CellLook(0, 3).back, QColor(255, 255, 232)) << "row 0 is even: pale yellow";
    EXPECT_EQ(form->CellLook(1, 3).back, QColor(Qt::white)) << "odd rows white";
    EXPECT_EQ(form->CellLook(0, 1).font.family(), form->CellLook(1, 1).font.family());
    EXPECT_NE(form->CellLook(0, 1).font.family(), form->CellLook(0, 2).font.family())
        << "the port in Verdana";

    // An active adapter that is not the default: bold only in the port column, blue on green in column 4.
    Settings().ClearDefault();
    Report(*watcher);
    EXPECT_TRUE(form->CellLook(0, 1).font.bold());
    for (int col = 2; col <= 5; ++col)
        EXPECT_FALSE(form->CellLook(0, col).font.bold()) << col;
    EXPECT_EQ(form->CellLook(0, 4).text, QColor(0, 0, 255));

    // Not usable: grey italic 8 pt; the grey shows in the Description column, the italic everywhere.
    EXPECT_EQ(form->CellLook(2, 4).text, QColor(128, 128, 128));
    EXPECT_EQ(form->CellLook(2, 4).back, QColor(Qt::white));
    EXPECT_EQ(form->CellLook(2, 2).text, QColor(Qt::black));
    EXPECT_TRUE(form->CellLook(2, 2).font.italic());
    EXPECT_EQ(form->CellLook(2, 5).font.pointSize(), 8);
}

TEST_F(ChipWatcherWindow, ShrinkToFitEndsAtOnePoint) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0, "A rather long USB product description text"}});
    ASSERT_NE(form, nullptr);
    const QFont look = form->CellLook(0, 4).font;
    EXPECT_LT(look.pointSize(), 9) << "the mini view shrinks a long description";
    EXPECT_LE(QFontMetrics(look).horizontalAdvance(List()->topLevelItem(0)->text(4)), 120);
    // A text that can never fit stops at 1 pt instead of looping.
    EXPECT_EQ(form->ShrinkToFit(QString(500, QLatin1Char('W')), QFont("Tahoma", 9), 10).pointSize(), 1);
    EXPECT_EQ(form->ShrinkToFit("x", QFont("Tahoma", 9), -5).pointSize(), 1);
    EXPECT_EQ(form->ShrinkToFit("short", QFont("Tahoma", 9), 500).pointSize(), 9);
}

TEST_F(ChipWatcherWindow, SelectorChoosesAdapterUntilTheDefaultTakesOver) {
    TfrmFTList* form = Open(ThreeAdapters(), true);
    ASSERT_NE(form, nullptr);
    changes.clear();

    // A click beside the selector does nothing.
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowPoint(2));
    EXPECT_EQ(watcher->FActiveSerial, "FTA0");

    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, form->StateImageRect(2).center());
    EXPECT_EQ(watcher->FActiveSerial, "FTC2");
    EXPECT_EQ(watcher->FTOrvakDefListFlags[0].Active, 1);
    EXPECT_EQ(watcher->FTOrvakDefListFlags[2].Active, 0);
    EXPECT_EQ(form->RowState(2), 0);
    EXPECT_EQ(List()->indexOfTopLevelItem(List()->currentItem()), 2) << "the clicked row stays selected";
    EXPECT_EQ(form->lbComPort->text(), "ttyUSB2");
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back(), std::make_pair(2, QString("FTC2")));

    // With a listed default, the next refresh gives the choice back to it.
    Settings().StoreDefault("FTB1");
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, form->StateImageRect(0).center());
    EXPECT_EQ(watcher->FActiveSerial, "FTB1");
    EXPECT_EQ(watcher->FTOrvakDefListFlags[0].Active, 1);
    EXPECT_EQ(watcher->FTOrvakDefListFlags[1].Active, 0);
    EXPECT_EQ(form->def_ser, "FTB1");

    // A default that is not listed leaves the marks but shows its serial.
    Settings().StoreDefault("GONE");
    Report(*watcher);
    EXPECT_EQ(watcher->FActiveSerial, "GONE");
    EXPECT_EQ(watcher->FTOrvakDefListFlags[1].Active, 0);
    EXPECT_EQ(form->lbSerial->text(), "GONE");

    // Blanks mean no default.
    Settings().StoreDefault("   ");
    watcher->FActiveSerial = "FTB1";
    Report(*watcher);
    EXPECT_EQ(watcher->FActiveSerial, "FTB1");
    EXPECT_EQ(form->def_ser, "   ");
}

TEST_F(ChipWatcherWindow, SetAndClearDefaultFromTheMenu) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}, {"FTC2", "ttyUSB2", 2}}, true);
    ASSERT_NE(form, nullptr);
    List()->setCurrentItem(List()->topLevelItem(2));
    form->Setasdefaultifdiscovered1Click();
    EXPECT_EQ(RegReadString("DefaultChip", "missing", Settings().key()), "missing")
        << "state 2 stores nothing";

    List()->setCurrentItem(List()->topLevelItem(1));
    form->Setasdefaultifdiscovered1Click();
    EXPECT_EQ(Settings().ReadDefaultChip(), "FTB1");
    EXPECT_EQ(watcher->FActiveSerial, "FTB1");
    EXPECT_EQ(watcher->FTOrvakDefListFlags[1].Active, 0);

    form->Cleardefaultchip1Click();
    EXPECT_EQ(RegReadString("DefaultChip", "missing", Settings().key()), "");
    EXPECT_EQ(watcher->FActiveSerial, "FTB1") << "the active adapter stays after clearing";
}

TEST_F(ChipWatcherWindow, MenuEnablingRules) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}, {"FTC2", "ttyUSB2", 2}}, true);
    ASSERT_NE(form, nullptr);
    const QList<QAction*> commands{form->Resetpulse1, form->ResetLine1, form->Setasdefaultifdiscovered1,
                                   form->Cleardefaultchip1, form->SetAliasname1};
    auto enabledCommands = [&] {
        int n = 0;
        for (QAction* a : commands)
            n += a->isEnabled();
        return n;
    };
    const QPoint below(50, List()->viewport()->height() - 3);
    ASSERT_EQ(List()->itemAt(below), nullptr);

    form->PopupMenu1Popup(RowPoint(1));
    EXPECT_EQ(enabledCommands(), 0) << "a selectable row leaves only Refresh";
    EXPECT_TRUE(form->Refresh1->isEnabled());
    form->PopupMenu1Popup(below);
    EXPECT_EQ(enabledCommands(), 0) << "empty space keeps the last states";

    form->PopupMenu1Popup(RowPoint(0));
    EXPECT_EQ(enabledCommands(), 5);
    EXPECT_EQ(form->TempSerial, "FTA0");
    form->PopupMenu1Popup(below);
    EXPECT_EQ(enabledCommands(), 5);

    form->PopupMenu1Popup(RowPoint(2));
    EXPECT_EQ(enabledCommands(), 5) << "a row with state 2 enables every item";

    List()->clearSelection();
    form->PopupMenu1Popup(RowPoint(0));
    EXPECT_EQ(enabledCommands(), 0) << "no selected row";

    List()->setCurrentItem(List()->topLevelItem(0));
    bseekportBusy = true;
    form->PopupMenu1Popup(RowPoint(0));
    EXPECT_EQ(enabledCommands(), 0) << "a running scan holds the commands back";
    EXPECT_TRUE(form->Refresh1->isEnabled());
    bseekportBusy = false;

    watcher->FActiveSerial.clear();
    form->PopupMenu1Popup(RowPoint(0));
    EXPECT_EQ(enabledCommands(), 0);
}

TEST_F(ChipWatcherWindow, AliasesShowInTheMiniViewOnly) {
    chipwatch::WriteAlias("FTB1", "Bench");
    chipwatch::WriteAlias("FTC2", "   ");
    std::vector<TAdapterRow> adapters{{"FTA0", "ttyUSB0", 0, "FT232R USB UART", "QRB-12 charger"},
                                      {"FTB1", "ttyUSB1", 1, "USB <-> Serial", "QRB-7"},
                                      {"FTC2", "ttyUSB2", 1, "Dual RS232", "QRB-9"},
                                      {"FTD3", "ttyUSB3", 1, "Plain cable", "qrb-lower"}};
    TfrmFTList* form = Open(adapters);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(List()->topLevelItem(0)->text(4), "QRB-12 charger");
    EXPECT_EQ(List()->topLevelItem(1)->text(4), "Bench");
    EXPECT_EQ(List()->topLevelItem(2)->text(4), "QRB-9") << "a blank alias falls back";
    EXPECT_EQ(List()->topLevelItem(3)->text(4), "Plain cable") << "lower-case qrb does not count";
    DestroyChipWatcher();

    form = Open(adapters, true);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(List()->topLevelItem(1)->text(4), "USB <-> Serial");
}

TEST_F(ChipWatcherWindow, AliasEditorStoresForTheActiveAdapter) {
    chipwatch::WriteAlias("AE0", "old name");
    TfrmFTList* form = Open({{"AE0", "ttyUSB0", 0}, {"AE1", "ttyUSB1", 1}});
    ASSERT_NE(form, nullptr);
    form->Panel1DblClick(); // expand to see the list
    form->SetAliasname1Click();
    EXPECT_EQ(form->ListView1->height(), 73);
    EXPECT_EQ(form->edAlias->text(), "old name");
    EXPECT_TRUE(form->btnSetAlias->isDefault());
    form->edAlias->setText("Charger");
    QTest::mouseClick(form->btnSetAlias, Qt::LeftButton);
    EXPECT_EQ(chipwatch::ReadAlias("AE0"), "Charger");
    EXPECT_EQ(chipwatch::ReadAlias("AE1"), "");
    EXPECT_EQ(form->ListView1->height(), 102);
    EXPECT_FALSE(form->btnSetAlias->isDefault());
    EXPECT_TRUE(form->Timer3->isActive());
    EXPECT_EQ(List()->topLevelItem(0)->text(4), "Charger");
}

TEST_F(ChipWatcherWindow, FadeInThenAutoHideUnlessPinnedOrOverTheList) {
    watcher->SetDetailedInfo(false);
    FillWatcher(*watcher, {{"FTA0", "ttyUSB0", 0}});
    Report(*watcher);
    TfrmFTList* form = frmFTList;
    ASSERT_NE(form, nullptr);
    StopTimers(form);
    form->Timer1->start();
    EXPECT_EQ(form->Opacity(), 0);
    int ticks = 0;
    while (form->Timer1->isActive() && ticks < 200) {
        form->Timer1Timer();
        ++ticks;
    }
    EXPECT_EQ(ticks, 86);
    EXPECT_EQ(form->Opacity(), 255);
    EXPECT_TRUE(form->Timer3->isActive()) << "the auto-hide countdown starts after the fade-in";
    EXPECT_EQ(form->Timer3->interval(), 9000);

    // The mouse resting on the list stops the countdown; leaving the list starts it anew.
    form->ListView1MouseMove(QPoint(5, 5));
    EXPECT_FALSE(form->Timer3->isActive());
    form->ListView1MouseLeave();
    EXPECT_TRUE(form->Timer3->isActive());

    // Pinned: the countdown's end only stops it.
    form->imgSpinkaOFFClick();
    EXPECT_EQ(PinnedFlag(), 1);
    EXPECT_EQ(Settings().ReadPinned(), 1);
    EXPECT_TRUE(form->imgSpinkaON->isVisibleTo(form));
    form->Timer3Timer();
    EXPECT_FALSE(form->Timer3->isActive());
    EXPECT_FALSE(form->Timer1->isActive());

    form->imgSpinkaONClick();
    EXPECT_EQ(Settings().ReadPinned(), 0);
    form->RestartTimer3();
    form->Timer3Timer();
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1Tag, 1) << "unpinned: the window fades out";
}

TEST_F(ChipWatcherWindow, PinnedStateIsReadAtShowing) {
    RegWriteInteger("spinka", 1, Settings().key());
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->imgSpinkaON->isVisibleTo(form));
    EXPECT_FALSE(form->imgSpinkaOFF->isVisibleTo(form));
    DestroyChipWatcher();

    RegWriteInteger("spinka", 2, Settings().key());
    form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    EXPECT_NE(PinnedFlag(), 1);
    EXPECT_TRUE(form->imgSpinkaOFF->isVisibleTo(form)) << "only 1 means pinned";
}

TEST_F(ChipWatcherWindow, FadeOutShrinksThenClosesAtTheSixtyFourthTick) {
    TfrmFTList* form = Open(ThreeAdapters(), true);
    ASSERT_NE(form, nullptr);
    ASSERT_EQ(form->height(), TfrmFTList::ExpandedHeight);
    QPointer<TfrmFTList> guard(form);
    form->Image2Click();
    int ticks = 0;
    int lastOpacity = -1;
    while (frmFTList == form && ticks < 100) {
        form->Timer1Timer();
        ++ticks;
        if (frmFTList == form)
            lastOpacity = form->Opacity();
        if (ticks == 28) {
            EXPECT_EQ(form->height(), 50);
        }
        if (ticks == 1) {
            EXPECT_EQ(form->Opacity(), 255);
        }
    }
    EXPECT_EQ(ticks, 64);
    EXPECT_EQ(lastOpacity, 7) << "the 64th tick sets 3, then 0, and closes";
    EXPECT_EQ(form->Opacity(), 0);
    EXPECT_EQ(frmFTList, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());

    // A collapsed window does not shrink.
    form = Open({{"FTA0", "ttyUSB0", 0}}, true);
    ASSERT_EQ(form->height(), TfrmFTList::CollapsedHeight);
    form->FadeOut();
    for (int i = 0; i < 30; ++i)
        form->Timer1Timer();
    EXPECT_EQ(form->height(), TfrmFTList::CollapsedHeight);
}

TEST_F(ChipWatcherWindow, ReportDuringFadeOutRefreshesButTheWindowStillCloses) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    form->FadeOut();
    for (int i = 0; i < 10; ++i)
        form->Timer1Timer();
    FillWatcher(*watcher, {{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}});
    Report(*watcher);
    EXPECT_EQ(frmFTList, form);
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 2);
    EXPECT_EQ(form->Timer1Tag, 1);
    for (int i = 0; i < 100 && frmFTList == form; ++i)
        form->Timer1Timer();
    EXPECT_EQ(frmFTList, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    Report(*watcher);
    ASSERT_NE(frmFTList, nullptr);
    EXPECT_EQ(frmFTList->Timer1Tag, 0) << "the next report opens a new window that fades in";
    EXPECT_EQ(frmFTList->LastListCount, 2);
}

TEST_F(ChipWatcherWindow, RefreshCommandWaitsForTheNextReport) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    form->Refresh1Click();
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 0);
    EXPECT_EQ(form->lbComPort->text(), "wait...");
    EXPECT_EQ(form->lbListCount->text(), "[?]");
    EXPECT_TRUE(form->Image3->isVisibleTo(form));
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);

    Report(*watcher);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(form->Image3->isVisibleTo(form));
    EXPECT_EQ(form->lbComPort->text(), "ttyUSB0");

    // A refresh whose report has no adapters closes the window: the cursor must not stay an hourglass.
    form->Refresh1Click();
    FillWatcher(*watcher, {});
    form->RefreshList(watcher->FTOrvakDefListFlags, 0);
    EXPECT_EQ(frmFTList, nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(ChipWatcherWindow, ScanIndicatorAndCloseThroughTheWatcher) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    QMetaObject::invokeMethod(watcher->FfrmList.data(), "MagentaEyeOn");
    EXPECT_TRUE(form->Image3->isVisibleTo(form));
    QMetaObject::invokeMethod(watcher->FfrmList.data(), "MagentaEyeOff");
    EXPECT_FALSE(form->Image3->isVisibleTo(form));
    watcher->CloseFrmList();
    EXPECT_EQ(frmFTList, nullptr);
    EXPECT_EQ(watcher->FfrmList, nullptr);
}

TEST_F(ChipWatcherWindow, WatcherGoneClosesTheWindow) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}});
    ASSERT_NE(form, nullptr);
    QPointer<TfrmFTList> guard(form);
    watcher.reset();
    EXPECT_EQ(frmFTList, nullptr);
    // Until it is freed, the window's handlers must not reach the dead watcher's fields.
    form->Panel1DblClick();
    form->ToggleMiniView();
    form->ListView1Click(form->StateImageRect(1).center());
    form->btnSetAliasClick();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull());
}

TEST_F(ChipWatcherWindow, PanelMouseActions) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}}, true);
    ASSERT_NE(form, nullptr);
    ASSERT_EQ(form->width(), TfrmFTList::FullWidth);
    // Screen positions as the mouse really went, whatever the window does meanwhile.
    QPoint origin;
    auto send = [&origin](QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button,
                          Qt::MouseButtons buttons) {
        if (type == QEvent::MouseButtonPress)
            origin = w->mapToGlobal(QPoint(0, 0));
        QMouseEvent e(type, QPointF(at), QPointF(origin + at), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    };

    // A click on the emblem switches the view; a drag that starts there does not.
    QTest::mouseClick(form->Image1, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_EQ(form->width(), TfrmFTList::MiniWidth);
    const QPoint start = form->pos();
    send(form->Image1, QEvent::MouseButtonPress, {20, 20}, Qt::LeftButton, Qt::LeftButton);
    send(form->Image1, QEvent::MouseMove, {20, 50}, Qt::NoButton, Qt::LeftButton);
    send(form->Image1, QEvent::MouseMove, {-10, 60}, Qt::NoButton, Qt::LeftButton);
    send(form->Image1, QEvent::MouseButtonRelease, {-10, 60}, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(form->width(), TfrmFTList::MiniWidth);
    // Where the window system cannot move it, the window follows the mouse itself.
    if (form->pos() != start) {
        EXPECT_EQ(form->pos(), start + QPoint(-30, 40));
    }

    // Double click in the panel expands and collapses.
    const int h = form->height();
    QTest::mouseDClick(form->Label3, Qt::LeftButton);
    EXPECT_NE(form->height(), h);

    // The pin: pressed look while held, pinned on release.
    const QPoint pin = form->imgSpinkaOFF->pos();
    send(form->imgSpinkaOFF, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(form->imgSpinkaOFF->pos(), pin + QPoint(1, 1));
    send(form->imgSpinkaOFF, QEvent::MouseButtonRelease, {5, 5}, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(form->imgSpinkaOFF->pos(), pin);
    EXPECT_EQ(PinnedFlag(), 1);

    // The mouse over the panel speeds up the title's blinking and restarts the auto-hide countdown.
    origin = form->Label3->mapToGlobal(QPoint(0, 0));
    send(form->Label3, QEvent::MouseMove, {3, 3}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(form->Timer2->interval(), 250);
    EXPECT_TRUE(form->Timer3->isActive());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(form->Label3, &leave);
    EXPECT_EQ(form->Timer2->interval(), 1000);
}

TEST_F(ChipWatcherWindow, ControlsOutsideThePanelGroupKeepTheirMouseToThemselves) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}}, true);
    ASSERT_NE(form, nullptr);
    ASSERT_EQ(form->width(), TfrmFTList::FullWidth);
    auto send = [](QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button,
                   Qt::MouseButtons buttons) {
        QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    };
    // A drag from the chip's name or the version label, and a double click on the pictures: nothing
    // of the panel's (no move, no collapse).
    const QPoint start = form->pos();
    const int height = form->height();
    for (QWidget* w : {static_cast<QWidget*>(form->lbChip), static_cast<QWidget*>(form->Label2),
                       static_cast<QWidget*>(form->Image2)}) {
        SCOPED_TRACE(w->objectName().toStdString());
        send(w, QEvent::MouseButtonPress, {3, 3}, Qt::LeftButton, Qt::LeftButton);
        send(w, QEvent::MouseMove, {60, 40}, Qt::NoButton, Qt::LeftButton);
        send(w, QEvent::MouseMove, {90, 70}, Qt::NoButton, Qt::LeftButton);
        send(w, QEvent::MouseButtonRelease, {90, 70}, Qt::LeftButton, Qt::NoButton);
        EXPECT_EQ(form->pos(), start);
    }
    for (QWidget* w : {static_cast<QWidget*>(form->imgSpinkaOFF), static_cast<QWidget*>(form->Image2)}) {
        SCOPED_TRACE(w->objectName().toStdString());
        send(w, QEvent::MouseButtonDblClick, {3, 3}, Qt::LeftButton, Qt::LeftButton);
        send(w, QEvent::MouseButtonRelease, {3, 3}, Qt::LeftButton, Qt::NoButton);
        EXPECT_EQ(form->height(), height);
    }

    // Resting on the pictures is no panel activity; moving over the panel is, and keeps the blink going.
    form->Timer3->stop();
    for (QWidget* w : {form->imgSpinkaOFF, form->imgSpinkaON, form->Image2})
        send(w, QEvent::MouseMove, {2, 2}, Qt::NoButton, Qt::NoButton);
    EXPECT_FALSE(form->Timer3->isActive());
    form->Timer2->start();
    send(form->Label3, QEvent::MouseMove, {3, 3}, Qt::NoButton, Qt::NoButton);
    ASSERT_EQ(form->Timer2->interval(), 250);
    const int running = form->Timer2->timerId();
    for (int i = 0; i < 5; ++i)
        send(form->Label3, QEvent::MouseMove, {4 + i, 3}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(form->Timer2->timerId(), running) << "each move restarted the blink timer";
    EXPECT_TRUE(form->Timer3->isActive());

    // The address opens once for a left click pressed and released on it, and for nothing else.
    int opened = 0;
    form->OpenUrl = [&](const QString&) { ++opened; };
    QWidget* web = form->Label4a;
    send(web, QEvent::MouseButtonPress, {3, 3}, Qt::RightButton, Qt::RightButton);
    send(web, QEvent::MouseButtonRelease, {3, 3}, Qt::RightButton, Qt::NoButton);
    send(web, QEvent::MouseButtonPress, {3, 3}, Qt::LeftButton, Qt::LeftButton);
    send(web, QEvent::MouseButtonRelease, {300, 300}, Qt::LeftButton, Qt::NoButton);
    send(web, QEvent::MouseButtonRelease, {3, 3}, Qt::LeftButton, Qt::NoButton); // no press before it
    EXPECT_EQ(opened, 0);
    send(web, QEvent::MouseButtonPress, {3, 3}, Qt::LeftButton, Qt::LeftButton);
    send(web, QEvent::MouseButtonRelease, {3, 3}, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(opened, 1);
}

TEST_F(ChipWatcherWindow, PlacedAtTheCornerOfTheWorkArea) {
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}});
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->parentWidget(), nullptr);
    const QRect area = form->screen()->availableGeometry();
    EXPECT_EQ(form->x(), area.x() + area.width() - form->width() - 6);
    EXPECT_EQ(form->y(), area.y() + area.height() - form->height() - 6);
    form->Panel1DblClick();
    ASSERT_EQ(form->height(), TfrmFTList::ExpandedHeight);
    EXPECT_EQ(form->y(), area.y() + area.height() - TfrmFTList::ExpandedHeight - 6) << "grows upwards";
}

TEST_F(ChipWatcherWindow, SettingsKeyFollowsTheApplicationTitle) {
    QGuiApplication::setApplicationDisplayName("MonitorA");
    TfrmFTList* form = Open({{"FTA0", "ttyUSB0", 0}, {"FTB1", "ttyUSB1", 1}});
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->sapp_reg_key, "Software\\MonitorA_spinka");
    form->Setasdefaultifdiscovered1Click();
    DestroyChipWatcher();

    QGuiApplication::setApplicationDisplayName("MonitorB");
    FillWatcher(*watcher, {{"FTA0", "ttyUSB0", 1}, {"FTB1", "ttyUSB1", 0}});
    form = Open({{"FTA0", "ttyUSB0", 1}, {"FTB1", "ttyUSB1", 0}});
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(watcher->FActiveSerial, "FTB1") << "MonitorA's default does not apply to MonitorB";
    EXPECT_EQ(RegReadString("DefaultChip", "", "Software\\MonitorA_spinka"), "FTA0");
}

} // namespace
