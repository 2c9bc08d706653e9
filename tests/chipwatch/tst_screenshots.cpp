// Pictures of both views for a person to look at (saved under PRAVEX_ARTEFACTS), with the pixel facts
// that must hold: black panel, white rule, the row colours and the default adapter's violet text.
// labels: gui
#include "chip_helpers.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class ChipWatcherScreens : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        QGuiApplication::setApplicationDisplayName(
            QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        watcher = std::make_unique<TTevFT232a>();
    }
    void TearDown() override {
        DestroyChipWatcher();
        watcher.reset();
    }

    TfrmFTList* Open(bool fullView) {
        watcher->SetDetailedInfo(fullView);
        watcher->SetInfoShort(!fullView);
        chipwatch::WriteAlias("SCR1", "Bench supply");
        chipwatch::TChipSettings(chipwatch::SpinkaKeyFor(chipwatch::CurrentApplicationTitle()))
            .StoreDefault("SCR0");
        FillWatcher(*watcher, {{"SCR0", "ttyUSB0", 0, "FT232R USB UART", "QRB-12 charger"},
                               {"SCR1", "ttyUSB1", 1, "USB <-> Serial Cable", "lab"},
                               {"SCR2", "ttyUSB2", 2, "Dual RS232-HS", ""}});
        Report(*watcher);
        TfrmFTList* form = frmFTList;
        if (form) {
            FinishFadeIn(form);
            StopTimers(form);
            if (form->height() < TfrmFTList::ExpandedHeight)
                form->Panel1DblClick();
        }
        return form;
    }

    // A cell's rectangle in window coordinates.
    static QRect Cell(TfrmFTList* form, int row, int col) {
        QTreeWidget* list = form->ListView1;
        QRect r = list->visualItemRect(list->topLevelItem(row));
        r.setLeft(list->header()->sectionViewportPosition(col));
        r.setWidth(list->columnWidth(col));
        return QRect(list->viewport()->mapTo(form, r.topLeft()), r.size());
    }
    static bool Near(QColor a, QColor b, int tol = 6) {
        return qAbs(a.red() - b.red()) <= tol && qAbs(a.green() - b.green()) <= tol &&
               qAbs(a.blue() - b.blue()) <= tol;
    }
    static bool AnyPixel(const QImage& img, const QRect& r, const std::function<bool(QColor)>& pred) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (pred(img.pixelColor(x, y)))
                    return true;
        return false;
    }
    void CommonFacts(TfrmFTList* form, const QImage& img) {
        EXPECT_EQ(img.width(), form->width());
        EXPECT_EQ(img.height(), TfrmFTList::ExpandedHeight);
        EXPECT_EQ(img.pixelColor(240, 46), QColor(Qt::black)) << "panel background";
        EXPECT_EQ(img.pixelColor(100, 51), QColor(Qt::white)) << "rule under the panel";
        const QColor iris = img.pixelColor(10, 26);
        EXPECT_TRUE(iris.red() > 200 && iris.blue() < 100) << "orange emblem";

        const QRect port0 = Cell(form, 0, 1);
        const QRect port1 = Cell(form, 1, 1);
        EXPECT_TRUE(Near(img.pixelColor(port0.right() - 2, port0.top() + 2), QColor(255, 255, 232)))
            << "even rows pale yellow";
        EXPECT_TRUE(Near(img.pixelColor(port1.right() - 2, port1.top() + 2), QColor(Qt::white)))
            << "odd rows white";
        const QRect desc0 = Cell(form, 0, 4);
        EXPECT_TRUE(Near(img.pixelColor(desc0.right() - 2, desc0.top() + 2), QColor(226, 255, 198)))
            << "the active row's description on light green";
        EXPECT_TRUE(AnyPixel(img, desc0, [](QColor c) {
            return c.red() > 90 && c.red() < 170 && c.green() < 60 && c.blue() > 200;
        })) << "the default adapter in violet";
        const QRect desc2 = Cell(form, 2, 4);
        EXPECT_FALSE(AnyPixel(img, desc2, [](QColor c) { return c.saturation() > 60; })) << "state 2 in grey";
    }

    std::unique_ptr<TTevFT232a> watcher;
};

TEST_F(ChipWatcherScreens, FullView) {
    TfrmFTList* form = Open(true);
    ASSERT_NE(form, nullptr);
    const QImage img = form->grab().toImage();
    img.save(ArtefactPath("chipwatch_full.png"));
    EXPECT_EQ(img.width(), TfrmFTList::FullWidth);
    CommonFacts(form, img);
}

TEST_F(ChipWatcherScreens, MiniViewWithAliasAndAliasEditor) {
    TfrmFTList* form = Open(false);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->ListView1->topLevelItem(1)->text(4), "Bench supply");
    QImage img = form->grab().toImage();
    img.save(ArtefactPath("chipwatch_mini.png"));
    EXPECT_EQ(img.width(), TfrmFTList::MiniWidth);
    CommonFacts(form, img);

    form->SetAliasname1Click();
    img = form->grab().toImage();
    img.save(ArtefactPath("chipwatch_mini_alias.png"));
    const QRect editor(form->edAlias->mapTo(form, QPoint(0, 0)), form->edAlias->size());
    EXPECT_TRUE(QRect(0, 0, img.width(), img.height()).contains(editor)) << "the editor row is uncovered";
}

} // namespace
