// Recordings in the tools window's chart: a table of files (both forms, both decimal separators, line
// ends, byte-order mark, skipped rows, files that are no recording at all) with what the chart holds and
// what is said; a followed file appended to, cut and replaced; START and "Close recordings" with
// recordings open; a load cancelled.
// labels: gui threaded
#include "ChartLine.h"
#include "RecordingSet.h"
#include "Unit1.h"
#include "app_helpers.h"
#include "frmDodatkiU.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace apptest;

namespace {

struct Recordings : ::testing::Test {
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TfrmDodatki> tools;
    QString dir;

    void SetUp() override {
        ClearSettings();
        form1 = std::make_unique<TForm1>();
        tools = std::make_unique<TfrmDodatki>();
        form1->SetToolsWindow(tools.get());
        tools->resize(700, 500);
        dir =
            ScratchDir(QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    }
    void TearDown() override {
        tools.reset();
        form1.reset();
    }
    TTevChart* chart() { return tools->Chart1; }
    QString said() { return tools->RecordingStatus->text(); }
    // Opens files and waits until every load has ended.
    bool open(const QStringList& files) {
        tools->OpenRecordings(files);
        return WaitFor([&] { return !tools->Recordings1->loading(); });
    }
    QString file(const QString& name, const QByteArray& bytes) {
        const QString path = dir + QLatin1Char('/') + name;
        EXPECT_TRUE(WriteFile(path, bytes));
        return path;
    }
    static std::vector<double> xs(const RecordingSeries* s) { return s->x; }
    static std::vector<double> ys(const RecordingSeries* s) { return s->y; }
    void appendTo(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
};

TEST_F(Recordings, EachFileGivesItsPointsOrAClearMessage) {
    struct Case {
        const char* name;
        QByteArray bytes;
        std::vector<double> x, y; // empty: not opened
        bool times;
        const char* says;
    };
    const QByteArray longLine(5000, '7');
    const Case cases[] = {
        {"export.csv",
         " ;voltage\r\n2;3.9\r\n4;3.85\r\n6;+4\r\n",
         {0, 2, 4},
         {3.9, 3.85, 4},
         false,
         "export.csv: 3 readings without times"},
        {"comma-lf.csv", " ;voltage\n10;3,9\n12;3,8\n", {0, 2}, {3.9, 3.8}, false, "2 readings"},
        {"logger.csv",
         " ;voltage;time\r\n2;3.9;2026-12-09T18:51:07.412Z\r\n4;3,8;2026-12-09T18:51:09.912Z\r\n"
         "6;3.7;2026-12-10T00:00:00.000Z\r\n",
         {0, 2.5, 18532.588},
         {3.9, 3.8, 3.7},
         true,
         "logger.csv: 3 readings with times"},
        {"bom.csv",
         "\xEF\xBB\xBF ;voltage;time\n2;3.9;2026-12-09T18:51:07Z\n",
         {0},
         {3.9},
         true,
         "1 reading"},
        {"bom-no-header.csv",
         "\xEF\xBB\xBF"
         "2;3.9\r\n4;3.8\r\n",
         {0, 2},
         {3.9, 3.8},
         false,
         "2 readings"},
        {"skipped.csv",
         " ;voltage;time\n2;3.9;2026-12-09T18:51:07.412Z\n4;3.8\nPVEX: 3.9V ON\n\n"
         "6;3.7;2026-12-09T18:51:11.412Z\n8;x;2026-12-09T18:51:13.412Z\n10;3.6;2026-12-09T18:51:00.000Z\n" +
             longLine + "\n12;3.5;2026-13-09T18:51:15.412Z\n14;3.4;2026-12-09T18:51:17.412Z\n",
         {0, 4, 10},
         {3.9, 3.7, 3.4},
         true,
         "6 rows skipped: lines 3, 4, 7, 8, 9, …"},
        {"cut.csv", " ;voltage\r\n2;3.9\r\n4;3.", {0}, {3.9}, false, "1 reading"},
        {"header-only.csv", " ;voltage;time\r\n", {}, {}, true, "header-only.csv: 0 readings"},
        {"empty.csv", "", {}, {}, false, "empty.csv is empty"},
        {"binary.csv",
         QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
         {},
         {},
         false,
         "binary.csv is not a CSV file: it holds binary data"},
        {"text.csv",
         "hello\nworld\n",
         {},
         {},
         false,
         "text.csv holds no readings (2 rows skipped: lines 1, 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tools->Recordings1->closeAll();
        ASSERT_TRUE(open({file(QString::fromLatin1(c.name), c.bytes)}));
        EXPECT_TRUE(said().contains(QString::fromUtf8(c.says))) << said().toStdString();
        const bool opens = !c.x.empty() || QByteArray(c.name) == "header-only.csv";
        ASSERT_EQ(chart()->Recordings().size(), opens ? 1u : 0u);
        if (!opens)
            continue;
        const RecordingSeries* s = chart()->Recordings().front();
        EXPECT_EQ(s->name, QString::fromLatin1(c.name));
        EXPECT_EQ(s->hasTimes, c.times);
        ASSERT_EQ(s->x.size(), c.x.size());
        for (size_t i = 0; i < c.x.size(); ++i) {
            EXPECT_NEAR(s->x[i], c.x[i], 1e-9) << i;
            EXPECT_DOUBLE_EQ(s->y[i], c.y[i]) << i;
        }
    }

    // Files that are not there, not files, or too large to hold: said, and nothing else changes.
    tools->Recordings1->closeAll();
    ASSERT_TRUE(open({file(QStringLiteral("kept.csv"), " ;voltage\r\n2;3.9\r\n")}));
    const QString huge = dir + QStringLiteral("/huge.csv");
    const QString sparse = dir + QStringLiteral("/sparse.csv");
    {
        QFile f(huge);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(2000000000)); // sparse: no disk taken
        QFile g(sparse);
        ASSERT_TRUE(g.open(QIODevice::WriteOnly) && g.resize(500000000));
    }
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + QStringLiteral("/fifo.csv")).constData(), 0600), 0);
    ASSERT_TRUE(
        open({dir + QStringLiteral("/missing.csv"), dir, dir + QStringLiteral("/fifo.csv"), huge, sparse}));
    const QStringList lines = said().split(QLatin1Char('\n'));
    for (const char* expected : {"Cannot read missing.csv: No such file or directory",
                                 "is not a file that can be opened as a recording",
                                 "fifo.csv is not a file that can be opened as a recording",
                                 "huge.csv is too large to open (2.0 GB; at most 1.0 GB)",
                                 "sparse.csv is not a CSV file: it holds binary data"})
        EXPECT_TRUE(said().contains(QLatin1String(expected))) << expected << "\n" << said().toStdString();
    EXPECT_EQ(lines.size(), 5);
    ASSERT_EQ(chart()->Recordings().size(), 1u);
    EXPECT_EQ(chart()->Recordings().front()->name, QStringLiteral("kept.csv"));
    QFile::remove(huge);
    QFile::remove(sparse);
}

TEST_F(Recordings, AFollowedFileGrowsAndIsReadAgainWhenCutOrReplaced) {
    const QString path =
        file(QStringLiteral("growing.csv"), " ;voltage;time\r\n2;3.9;2026-12-09T18:51:07.000Z\r\n");
    ASSERT_TRUE(open({path}));
    ASSERT_EQ(chart()->Recordings().size(), 1u);
    const RecordingSeries* s = chart()->Recordings().front();
    const auto holds = [&](std::vector<double> y) { return WaitFor([&] { return s->y == y; }); };

    appendTo(path, "4;3.8;2026-12-09T18:51:09.000Z\r\n6;3.7;2026-12");
    ASSERT_TRUE(holds({3.9, 3.8})) << "the row cut short waits for its end";
    appendTo(path, "-09T18:51:11.000Z\r\n");
    ASSERT_TRUE(holds({3.9, 3.8, 3.7}));
    EXPECT_EQ(s->x, (std::vector<double>{0, 2, 4}));

    // Cut short and written anew (by pravex-log --force), shorter and then longer than before.
    ASSERT_TRUE(WriteFile(path, " ;voltage;time\r\n2;4.1;2026-12-10T08:00:00.000Z\r\n"));
    ASSERT_TRUE(holds({4.1}));
    ASSERT_TRUE(WriteFile(path, " ;voltage;time\r\n2;4.0;2026-12-10T09:00:00.000Z\r\n4;3.95;2026-12-10T09:00:"
                                "02.000Z\r\n6;3.9;2026-12-10T09:00:04.000Z\r\n"));
    ASSERT_TRUE(holds({4.0, 3.95, 3.9}));
    EXPECT_EQ(s->firstTimeMs, QDateTime(QDate(2026, 12, 10), QTime(9, 0), Qt::UTC).toMSecsSinceEpoch());

    // Replaced by another file of that name.
    const QString other = file(QStringLiteral("other.tmp"), " ;voltage\n2;3.5\n4;3.4\n");
    ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()), 0);
    ASSERT_TRUE(holds({3.5, 3.4}));
    EXPECT_FALSE(s->hasTimes);
    appendTo(path, "6;3.3\n");
    ASSERT_TRUE(holds({3.5, 3.4, 3.3}));
}

TEST_F(Recordings, StartClearsOnlyTheLiveSeriesAndCloseRemovesTheRecordings) {
    const QString a = file(QStringLiteral("a.csv"), " ;voltage;time\n2;3.9;2026-12-09T18:00:00.000Z\n4;3.8;"
                                                    "2026-12-09T18:00:02.000Z\n");
    const QString b = file(QStringLiteral("b.csv"), " ;voltage;time\n2;3.7;2026-12-09T18:01:00.000Z\n4;3.6;"
                                                    "2026-12-09T18:01:02.000Z\n");
    form1->Readout().start();
    form1->TevComPort3RxString(form1->TevComPort3, QStringLiteral("PVEX: 3.92V ON"));
    form1->TevComPort3RxString(form1->TevComPort3, QStringLiteral("PVEX: 4.02V ON"));
    // a through the popup menu's file dialog, b as pravex --open does.
    EXPECT_EQ(tools->OpenRecording1->shortcut(), QKeySequence(QKeySequence::Open));
    EXPECT_TRUE(tools->AdvPopupMenu1->actions().contains(tools->OpenRecording1));
    tools->ExecuteDialog = [&](QFileDialog* d) {
        d->selectFile(a);
        return true;
    };
    tools->OpenRecording1->trigger();
    ASSERT_TRUE(open({b}));
    ASSERT_EQ(chart()->Recordings().size(), 2u);
    EXPECT_EQ(chart()->Count(), 2);
    EXPECT_NE(chart()->Recordings()[0]->colour, chart()->Recordings()[1]->colour);
    EXPECT_NE(chart()->Recordings()[0]->colour, TTevChart::SeriesColor);

    // Both recordings start at 0 until wall-clock time puts b a minute after a.
    EXPECT_TRUE(tools->WallClock1->isEnabled());
    EXPECT_EQ(chart()->RecordingOffset(*chart()->Recordings()[1]), 0);
    tools->WallClock1->trigger();
    EXPECT_EQ(chart()->RecordingOffset(*chart()->Recordings()[0]), 0);
    EXPECT_EQ(chart()->RecordingOffset(*chart()->Recordings()[1]), 60);
    EXPECT_DOUBLE_EQ(chart()->ViewRect().right(), 62); // the live series ends at 4
    tools->AlignAtStart1->trigger();
    EXPECT_EQ(chart()->RecordingOffset(*chart()->Recordings()[1]), 0);
    // Drawn across the plot in their colours beside the live red (more than the legend's samples).
    tools->show();
    const QImage picture = chart()->RenderToImage();
    for (QColor colour :
         {chart()->Recordings()[0]->colour, chart()->Recordings()[1]->colour, TTevChart::SeriesColor}) {
        int found = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                found += picture.pixelColor(x, y) == colour;
        EXPECT_GT(found, 200) << colour.name().toStdString();
    }

    // START: the live series begins again, the recordings stay.
    form1->Readout().start();
    EXPECT_EQ(chart()->Count(), 0);
    ASSERT_EQ(chart()->Recordings().size(), 2u);
    EXPECT_EQ(chart()->Recordings()[1]->y, (std::vector<double>{3.7, 3.6}));
    form1->TevComPort3RxString(form1->TevComPort3, QStringLiteral("PVEX: 3.91V ON"));
    EXPECT_EQ(chart()->Count(), 1);

    EXPECT_TRUE(tools->CloseRecordings1->isEnabled());
    // A recording without times cannot be placed by the clock.
    ASSERT_TRUE(open({file(QStringLiteral("plain.csv"), " ;voltage\n2;3.5\n")}));
    EXPECT_FALSE(tools->WallClock1->isEnabled());
    tools->CloseRecordings1->trigger();
    EXPECT_TRUE(chart()->Recordings().empty());
    EXPECT_FALSE(tools->CloseRecordings1->isEnabled());
    EXPECT_EQ(chart()->Count(), 1);
    EXPECT_TRUE(said().isEmpty());
    // A followed file that is closed is no longer read.
    appendTo(a, "6;3.7;2026-12-09T18:00:04.000Z\n");
    Pump(3 * RecordingLoader::FollowMs);
    EXPECT_TRUE(chart()->Recordings().empty());
}

TEST_F(Recordings, ALargeLoadCanBeCancelledAndTheWindowKeepsWorking) {
    QByteArray rows = " ;voltage;time\r\n";
    const QByteArray time = ";2026-12-09T18:51:07.412Z\r\n";
    QByteArray big;
    big.reserve(30000000);
    big += rows;
    for (int i = 1; big.size() < 30000000; ++i)
        big += QByteArray::number(2 * i) + ";3.9" + time;
    const QString path = file(QStringLiteral("big.csv"), big);
    big.clear();
    tools->OpenRecordings({path});
    ASSERT_TRUE(tools->Recordings1->loading());
    EXPECT_FALSE(tools->RecordingCancel->isHidden());
    tools->RecordingCancel->click();
    ASSERT_TRUE(WaitFor([&] { return !tools->Recordings1->loading(); }));
    EXPECT_TRUE(said().contains(QLatin1String("Loading big.csv cancelled"))) << said().toStdString();
    EXPECT_TRUE(chart()->Recordings().empty());
    EXPECT_TRUE(tools->RecordingCancel->isHidden());
}

} // namespace

namespace {

// The block summaries that keep a long series' repaint short light the same columns as its points: each
// column's topmost and lowest lit pixel within a pixel of the point-by-point drawing, spikes included.
TEST(ChartLineBlocks, DrawTheSameColumnsAsThePoints) {
    std::vector<double> x, y;
    for (int i = 0; i < 300000; ++i) {
        x.push_back(i * 0.5);
        y.push_back(i % 49999 == 7   ? 4.4
                    : i % 77777 == 3 ? 2.9
                                     : 3.5 + 0.1 * std::sin(i / 5000.0) + 0.01 * (i % 5));
    }
    std::vector<ChartBlock> blocks;
    UpdateChartBlocks(y.data(), y.size(), &blocks);
    const QRectF front(10, 10, 480, 280);
    const QRectF view(0, 2.8, x.back(), 1.8);
    const auto draw = [&](const std::vector<ChartBlock>* b, double depth) {
        QImage image(500, 300, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter p(&image);
        DrawChartLine(p, {x.data(), y.data(), x.size(), 0, b, QColor(0, 0, 255)}, front, view, depth);
        return image;
    };
    for (double depth : {0.0, 12.0}) {
        SCOPED_TRACE(depth);
        const QImage a = draw(nullptr, depth), b = draw(&blocks, depth);
        for (int col = 12; col < 488; ++col) {
            int topA = -1, topB = -1, lowA = -1, lowB = -1;
            for (int row = 0; row < 300; ++row) {
                if (a.pixelColor(col, row) == QColor(0, 0, 255)) {
                    topA = topA < 0 ? row : topA;
                    lowA = row;
                }
                if (b.pixelColor(col, row) == QColor(0, 0, 255)) {
                    topB = topB < 0 ? row : topB;
                    lowB = row;
                }
            }
            ASSERT_GE(topA, 0) << col;
            EXPECT_NEAR(topA, topB, 1) << col;
            EXPECT_NEAR(lowA, lowB, 1) << col;
        }
    }
}

} // namespace
