// The coloured log append and the window helpers on real Qt widgets: trimming, per-line attributes, text
// that must never turn into markup, the silent check box, the event-pumping delay and the topmost flag.
// labels: unit gui
#include "TevTools.h"
#include "common_test_helpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

int lines(QTextEdit& v) {
    return v.document()->isEmpty() ? 0 : v.document()->blockCount();
}

// The character format at a position of a line.
QTextCharFormat formatAt(QTextEdit& v, int line, int column) {
    QTextCursor c(v.document()->findBlockByNumber(line));
    c.setPosition(c.position() + column + 1);
    return c.charFormat();
}

template <typename Pred> bool waitFor(Pred pred, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

constexpr TColor Red = 0x0000FF;
constexpr TColor Blue = 0xFF0000;

} // namespace

TEST(AddColoredLine, TrimsFiftyOldestLinesAboveFourHundred) {
    QTextEdit view;
    for (int i = 0; i < 401; ++i) {
        AddColoredLine(&view, QStringLiteral("line %1").arg(i), 0, Red, 0, QStringLiteral("Consolas"), 8);
        ASSERT_EQ(lines(view), i + 1);
    }
    AddColoredLine(&view, QStringLiteral("line 401"), 0, Red, 0, QStringLiteral("Consolas"), 8);
    EXPECT_EQ(lines(view), 352);
    EXPECT_EQ(view.document()->firstBlock().text(), QStringLiteral("line 50"));
    EXPECT_EQ(view.document()->lastBlock().text(), QStringLiteral("line 401"));
    for (int i = 0; i < 500; ++i) {
        AddColoredLine(&view, QStringLiteral("more"), 0, Red, 0, QString(), 0);
        ASSERT_LE(lines(view), 401);
    }
}

TEST(AddColoredLine, EachLineKeepsItsOwnAttributes) {
    QTextEdit view;
    AddColoredLine(&view, QStringLiteral("first red"), 0, Red, fsBold | fsItalic, QStringLiteral("Consolas"),
                   8);
    AddColoredLine(&view, QStringLiteral("ABCDEFGH"), 5, Blue, fsUnderline | fsStrikeOut,
                   QStringLiteral("Verdana"), 11);
    AddColoredLine(&view, QStringLiteral("plain"), 0, 0x808080, 0, QStringLiteral("Consolas"), 8);

    const QTextCharFormat first = formatAt(view, 0, 3);
    EXPECT_EQ(first.foreground().color(), toQColor(Red));
    EXPECT_EQ(first.fontWeight(), QFont::Bold);
    EXPECT_TRUE(first.fontItalic());
    EXPECT_EQ(first.fontFamilies().toStringList(), QStringList{QStringLiteral("Consolas")});
    EXPECT_EQ(first.fontPointSize(), 8);

    // Length 5 formats only the first five characters; the rest owes nothing to the line before.
    const QTextCharFormat head = formatAt(view, 1, 4);
    EXPECT_EQ(head.foreground().color(), toQColor(Blue));
    EXPECT_TRUE(head.fontUnderline());
    EXPECT_TRUE(head.fontStrikeOut());
    EXPECT_EQ(head.fontPointSize(), 11);
    const QTextCharFormat tail = formatAt(view, 1, 5);
    EXPECT_NE(tail.foreground().color(), toQColor(Blue));
    EXPECT_NE(tail.foreground().color(), toQColor(Red));
    EXPECT_FALSE(tail.fontUnderline());
    EXPECT_NE(tail.fontWeight(), QFont::Bold);

    const QTextCharFormat third = formatAt(view, 2, 0);
    EXPECT_EQ(third.foreground().color(), toQColor(0x808080));
    EXPECT_NE(third.fontWeight(), QFont::Bold);
    EXPECT_FALSE(third.fontItalic());
    // And the earlier lines are as they were.
    EXPECT_EQ(formatAt(view, 0, 0).foreground().color(), toQColor(Red));
}

TEST(AddColoredLine, DeviceTextIsNeverMarkup) {
    QTextEdit view;
    const QString markup =
        QStringLiteral("<b>x</b> <img src=\"file:///etc/passwd\"> &amp; <a href=\"http://x\">y</a>");
    AddColoredLine(&view, markup, 0, Red, 0, QStringLiteral("Consolas"), 8);
    EXPECT_EQ(view.toPlainText(), markup);
    for (auto it = view.document()->firstBlock().begin(); !it.atEnd(); ++it) {
        EXPECT_FALSE(it.fragment().charFormat().isImageFormat());
        EXPECT_FALSE(it.fragment().charFormat().isAnchor());
        EXPECT_NE(it.fragment().charFormat().fontWeight(), QFont::Bold);
    }
    // Line breaks inside one device line do not make several log lines.
    AddColoredLine(&view, QStringLiteral("a\nb\rc") + QChar(0x2029) + QChar(0) + QChar(0xFDD0), 0, Red, 0,
                   QString(), 0);
    EXPECT_EQ(lines(view), 2);
    EXPECT_EQ(view.document()->lastBlock().text().size(), 8);
    AddColoredLine(nullptr, QStringLiteral("no view"), 0, Red, 0, QString(), 0);
}

TEST(AddColoredLine, ScrollsToTheNewestLine) {
    QTextEdit view;
    view.resize(300, 120);
    view.show();
    for (int i = 0; i < 100; ++i)
        AddColoredLine(&view, QStringLiteral("line %1").arg(i), 0, Red, 0, QString(), 0);
    QScrollBar* bar = view.verticalScrollBar();
    ASSERT_TRUE(waitFor([&] { return bar->maximum() > 0; }));
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(view.textCursor().atEnd());
    EXPECT_TRUE(view.viewport()->rect().contains(view.cursorRect().center()));
}

TEST(SetCheckedSilently, StateChangesWithoutTheClickHandler) {
    const QString key = QStringLiteral("Software\\Pravex");
    freshStore();
    QCheckBox box;
    box.setChecked(true);
    int handled = 0;
    QObject::connect(&box, &QCheckBox::clicked, [&](bool on) {
        ++handled;
        RegWriteBool(QStringLiteral("ComPortAutoDetect"), on, key);
    });
    SetCheckedSilently(&box, false);
    EXPECT_FALSE(box.isChecked());
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(RegReadBool(QStringLiteral("ComPortAutoDetect"), true, key));
    // The handler is still in place for the user's clicks.
    box.click();
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(box.isChecked());
    EXPECT_TRUE(RegReadBool(QStringLiteral("ComPortAutoDetect"), false, key));
}

TEST(DelayProcessMessages, ZeroRunsPendingEventsOnce) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    QMetaObject::invokeMethod(
        qApp, [&] { ran = ran && true; }, Qt::QueuedConnection);
    DelayProcessMessages(0);
    EXPECT_TRUE(ran);
}

TEST(DelayProcessMessages, WaitsAtLeastTheDurationAndDispatchesMeanwhile) {
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    QElapsedTimer clock;
    clock.start();
    DelayProcessMessages(400);
    const qint64 waited = clock.elapsed();
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_GE(waited, 400);
    EXPECT_GT(ticks, 0);
    // The wait sleeps rather than spins.
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e3 +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e3;
    EXPECT_LT(cpu, waited * 0.5);
}

TEST(SetWindowTopmost, ChangesOnlyTheZOrderBand) {
    QWidget other;
    other.resize(100, 100);
    other.show();
    QWidget window;
    window.setGeometry(40, 50, 120, 80);
    window.show();
    ASSERT_TRUE(waitFor([&] { return window.isVisible() && other.isVisible(); }));
    other.activateWindow();
    ASSERT_TRUE(waitFor([&] { return QApplication::activeWindow() == &other; }));
    const QRect place = window.geometry();

    EXPECT_TRUE(SetWindowTopmost(&window, true, false));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.geometry(), place);
    DelayProcessMessages(50);
    EXPECT_EQ(QApplication::activeWindow(), &other);

    EXPECT_TRUE(SetWindowTopmost(&window, false, true));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(waitFor([&] { return QApplication::activeWindow() == &window; }));
    EXPECT_FALSE(SetWindowTopmost(nullptr, true, false));
}
