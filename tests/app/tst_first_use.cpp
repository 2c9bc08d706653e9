// What a first-time user meets on a real desktop, driven with real input (XTest): START in the stored
// port mode before the tools window was ever opened, a START that fails or a line that drops telling
// why, a dark palette around the log and the chart, the log growing with its window, and About.
// labels: desktop
#include "ProgramVersion.h"
#include "Unit1.h"
#include "app_helpers.h"
#include "chipwatch/frmFTListU.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <gtest/gtest.h>
#include <memory>

#include "desktop_helpers.h"
// Xlib's name for the first pointer button is the designed name of the START button.
#undef Button1

using namespace apptest;

namespace {

class Input : public XConnection {
public:
    // A person's click in the middle of a widget, each half waited for until the widget has it.
    bool Click(QWidget* w, int button = 1) {
        Seen seen(w);
        const QPoint at = ToDevicePixels(w->mapToGlobal(w->rect().center()));
        XTestFakeMotionEvent(FDisplay, -1, at.x(), at.y(), CurrentTime);
        XTestFakeButtonEvent(FDisplay, unsigned(button), True, CurrentTime);
        XSync(FDisplay, False);
        const bool pressed = WaitFor([&] { return seen.presses > 0; });
        XTestFakeButtonEvent(FDisplay, unsigned(button), False, CurrentTime);
        XSync(FDisplay, False);
        return pressed && WaitFor([&] { return seen.releases > 0; });
    }
    // Press and release at once: for a right click whose release the opened menu takes.
    void ClickUnwatched(QWidget* w, int button) {
        const QPoint at = ToDevicePixels(w->mapToGlobal(w->rect().center()));
        XTestFakeMotionEvent(FDisplay, -1, at.x(), at.y(), CurrentTime);
        XTestFakeButtonEvent(FDisplay, unsigned(button), True, CurrentTime);
        XTestFakeButtonEvent(FDisplay, unsigned(button), False, CurrentTime);
        XSync(FDisplay, False);
    }
    void Key(KeySym sym) {
        const KeyCode code = XKeysymToKeycode(FDisplay, sym);
        XTestFakeKeyEvent(FDisplay, code, True, CurrentTime);
        XTestFakeKeyEvent(FDisplay, code, False, CurrentTime);
        XSync(FDisplay, False);
    }
};

void StoreManualPort(const QString& port) {
    RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey);
    RegWriteString(QStringLiteral("naComPort"), port, PravexKey);
}

struct FirstUse : ::testing::Test {
    Input input;
    void SetUp() override {
        if (!OnDesktop())
            GTEST_SKIP() << "needs an X server with a window manager (./test.sh starts one)";
        ASSERT_TRUE(input.Ok());
        if (qEnvironmentVariable("PRAVEX_BIN_PRAVEX_DEVSIM").isEmpty() ||
            qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM").isEmpty())
            GTEST_SKIP() << "simulators not built";
        ClearSettings();
    }
};

} // namespace

TEST_F(FirstUse, StartOpensThePortOfTheStoredModeBeforeTheToolsWindowWasEverOpened) {
    struct Row {
        const char* name;
        bool manual;
        const char* adapterTty; // null: no adapter plugged; "dev": the device's pty
    };
    const Row rows[] = {
        {"manual, no adapter plugged", true, nullptr},
        {"manual, an adapter on another port", true, "ttyUSB7"},
        {"automatic, the adapter on the device", false, "dev"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearSettings();
        DevSim dev;
        ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("50"), QStringLiteral("--cr")}));
        const QString adapter = !row.adapterTty ? QString()
                                : QLatin1String(row.adapterTty) == "dev"
                                    ? dev.TtyName()
                                    : QString::fromLatin1(row.adapterTty);
        ASSERT_TRUE(StartSimulator(adapter.isEmpty() ? QString() : OneAdapter(adapter)));
        if (row.manual)
            StoreManualPort(dev.TtyName());

        ProgramRun run;
        TForm1* f = run.form1.get();
        ASSERT_TRUE(run.Shown());
        ASSERT_TRUE(WaitFor([&] { return f->Button1->isEnabled() && f->Button1->text() != "???"; }));
        ASSERT_TRUE(input.Click(f->Button1));
        EXPECT_EQ(f->Button1->text(), QStringLiteral("STOP"));
        EXPECT_TRUE(WaitFor([&] { return f->Panel4->text() == dev.TtyName(); }))
            << "panel: " << f->Panel4->text().toStdString()
            << ", problem: " << f->ConnectionProblem().toStdString();
        EXPECT_TRUE(WaitFor([&] { return f->CsvRows().size() > 2; }));
        EXPECT_TRUE(f->ConnectionProblem().isEmpty());
        EXPECT_FALSE(run.tools->isVisible()) << "the tools window was never asked for";
    }
}

TEST_F(FirstUse, AStartThatFailsAndALineThatDropsSayWhy) {
    ASSERT_TRUE(StartSimulator(QString()));
    const QString scratch = ScratchDir(QStringLiteral("first-use-ports"));
    const QString missing = scratch + QStringLiteral("/ttyUSB9");
    const QString plainFile = scratch + QStringLiteral("/not-a-port");
    ASSERT_TRUE(WriteFile(plainFile, "x"));
    struct Row {
        const char* name;
        QString port; // empty: the device's pty, which goes away after three lines
        QString expected;
    };
    DevSim dev;
    ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("50"), QStringLiteral("--cr"),
                           QStringLiteral("--unplug-after"), QStringLiteral("3")}));
    const Row rows[] = {
        {"no such port", missing, QStringLiteral("cannot open %1: No such file or directory").arg(missing)},
        {"not a serial port", plainFile,
         QStringLiteral("cannot open %1: Inappropriate ioctl for device").arg(plainFile)},
        {"the device goes away", QString(), QStringLiteral("connection to %1 lost: ").arg(dev.TtyName())},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearSettings();
        StoreManualPort(row.port.isEmpty() ? dev.TtyName() : row.port);
        ProgramRun run;
        TForm1* f = run.form1.get();
        ASSERT_TRUE(run.Shown());
        ASSERT_TRUE(input.Click(f->Button1));
        // The flow stays as it is: the button offers STOP, the panel shows no port.
        EXPECT_EQ(f->Button1->text(), QStringLiteral("STOP"));
        ASSERT_TRUE(WaitFor([&] { return f->ConnectionProblem().startsWith(row.expected); }))
            << "said: " << f->ConnectionProblem().toStdString();
        EXPECT_EQ(f->Panel4->toolTip(), f->ConnectionProblem());
        EXPECT_EQ(f->Panel4->statusTip(), f->ConnectionProblem());
        EXPECT_TRUE(WaitFor([&] { return f->Panel4->text() == QStringLiteral("-"); }));
        // It pops up at the panel without the user looking for it.
        EXPECT_TRUE(
            WaitFor([&] { return QToolTip::isVisible() && QToolTip::text() == f->ConnectionProblem(); }));
        QToolTip::hideText();
    }
}

TEST_F(FirstUse, ADarkPaletteLeavesTheLogAndTheChartOnWhite) {
    ASSERT_TRUE(StartSimulator(QString()));
    struct Row {
        const char* name;
        QColor window, base, text;
    };
    const Row rows[] = {
        {"dark grey theme", QColor(53, 53, 53), QColor(42, 42, 42), Qt::white},
        {"black theme", Qt::black, Qt::black, QColor(220, 220, 220)},
    };
    const QPalette before = QApplication::palette();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QPalette dark;
        dark.setColor(QPalette::Window, row.window);
        dark.setColor(QPalette::Base, row.base);
        dark.setColor(QPalette::AlternateBase, row.base);
        dark.setColor(QPalette::Button, row.window);
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            dark.setColor(role, row.text);
        QApplication::setPalette(dark);
        {
            ProgramRun run;
            TfrmDodatki* t = run.tools.get();
            run.form1->BitBtn1->click();
            t->PageControl->setCurrentIndex(0);
            ASSERT_TRUE(WaitFor([&] { return t->windowHandle() && t->windowHandle()->isExposed(); }));
            run.form1->TevComPort3RxString(nullptr, QStringLiteral("PVEX: 3.9V ON"));
            run.form1->TevComPort3RxString(nullptr, QStringLiteral("LBAT: 3.3V OFF"));
            const QImage log = t->Memo3->viewport()->grab().toImage();
            // Below the two lines the log is its bare ground.
            EXPECT_EQ(QColor(log.pixel(log.width() / 2, log.height() - 10)), QColor(Qt::white));
            EXPECT_EQ(t->Memo3->palette().color(QPalette::Text), QColor(Qt::black));

            t->PageControl->setCurrentIndex(1);
            ASSERT_TRUE(WaitFor([&] { return t->Chart1->isVisible(); }));
            const QImage chart = t->Chart1->grab().toImage();
            EXPECT_EQ(QColor(chart.pixel(chart.width() / 2, 2)), QColor(Qt::white));
            // The switches on the chart stay dark writing on a light ground.
            for (QCheckBox* box : {t->CheckBox1, t->CheckBox2}) {
                EXPECT_LT(box->palette().color(QPalette::WindowText).lightness(), 64)
                    << box->text().toStdString();
                EXPECT_GT(box->palette().color(QPalette::Window).lightness(), 240)
                    << box->text().toStdString();
            }
        }
    }
    QApplication::setPalette(before);
}

TEST_F(FirstUse, TheLogGrowsWithTheToolsWindowAndItsButtonStaysBesideIt) {
    ASSERT_TRUE(StartSimulator(QString()));
    ProgramRun run;
    TfrmDodatki* t = run.tools.get();
    run.form1->BitBtn1->click();
    t->PageControl->setCurrentIndex(0);
    ASSERT_TRUE(WaitFor([&] { return t->windowHandle() && t->windowHandle()->isExposed(); }));
    const QSize sizes[] = {QSize(593, 409), QSize(900, 640), QSize(700, 500), QSize(593, 409)};
    int designedWidth = 0;
    for (const QSize& size : sizes) {
        SCOPED_TRACE(QStringLiteral("%1x%2").arg(size.width()).arg(size.height()).toStdString());
        t->resize(size);
        ASSERT_TRUE(WaitFor([&] { return t->size() == size && t->AdvTabSheet1->width() < size.width(); }));
        Pump(50);
        const QRect log = t->Memo3->geometry();
        const QRect button = t->BitBtn1->geometry();
        if (size == QSize(593, 409)) {
            if (designedWidth == 0)
                designedWidth = log.width();
            EXPECT_EQ(log.width(), designedWidth) << "back at the designed size, the designed log";
        }
        EXPECT_GE(log.width(), 273);
        EXPECT_GT(button.left(), log.right()) << "the button must not cover the log";
        EXPECT_LE(button.right(), t->AdvTabSheet1->width()) << "the button must stay in the window";
        EXPECT_LE(log.bottom(), t->AdvTabSheet1->height());
    }
    EXPECT_EQ(designedWidth, 273);
}

TEST_F(FirstUse, AboutOpensFromTheMainWindowAndLeavesItAsDesigned) {
    ASSERT_TRUE(StartSimulator(QString()));
    enum class Way { F1, ContextMenu };
    struct Row {
        const char* name;
        Way way;
    };
    const Row rows[] = {{"F1", Way::F1}, {"the context menu", Way::ContextMenu}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ProgramRun run;
        TForm1* f = run.form1.get();
        ASSERT_TRUE(run.Shown());
        // Focus comes to the window as a person's click gives it: on the readout panel, which does nothing.
        ASSERT_TRUE(input.Click(f->Panel5));
        ASSERT_TRUE(WaitFor([&] { return f->isActiveWindow(); }));
        if (row.way == Way::F1) {
            input.Key(XK_F1);
        } else {
            // The menu runs its own event loop: it is answered from a timer inside that loop.
            QStringList entries;
            QTimer answer;
            answer.setInterval(20);
            QObject::connect(&answer, &QTimer::timeout, [&] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                if (!menu || !menu->isVisible())
                    return;
                answer.stop();
                for (QAction* a : menu->actions())
                    entries << a->text();
                input.Key(XK_Down);
                input.Key(XK_Return);
            });
            answer.start();
            input.ClickUnwatched(f->Panel5, 3);
            ASSERT_TRUE(WaitFor([&] { return !entries.isEmpty(); }));
            EXPECT_EQ(entries, QStringList{QStringLiteral("About PRAVEX...")});
        }
        QMessageBox* box = nullptr;
        ASSERT_TRUE(WaitFor([&] {
            box = f->findChild<QMessageBox*>(QStringLiteral("AboutBox"));
            return box && box->isVisible();
        }));
        EXPECT_TRUE(box->text().contains(QStringLiteral("PRAVEX battery monitor")));
        EXPECT_TRUE(box->text().contains(QString::fromLatin1(PravexVersion())));
        EXPECT_TRUE(box->text().contains(QStringLiteral("MIT")));
        EXPECT_TRUE(box->text().contains(MakerWebAddress));
        EXPECT_EQ(f->size(), QSize(226, 181));
        box->close();
        ASSERT_TRUE(WaitFor([&] { return !f->findChild<QMessageBox*>(QStringLiteral("AboutBox")); }));
    }
}
