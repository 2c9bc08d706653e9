// The two drawn widgets and screenshots of both windows: segment colours of the readout, the chart's red
// line (also through a million points), zoom there and back, labels and the 3D view. The screenshots are
// kept in PRAVEX_ARTEFACTS for a person to look at.
// labels: gui
#include "TevChart.h"
#include "TevLedDisplay.h"
#include "Unit1.h"
#include "app_helpers.h"
#include "frmDodatkiU.h"

#include <QCheckBox>
#include <QDir>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

using namespace apptest;

namespace {

void keep(const QImage& image, const QString& name) {
    const QString dir = qEnvironmentVariable("PRAVEX_ARTEFACTS");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    image.save(dir + QLatin1Char('/') + name);
}

bool isRed(const QColor& c) {
    return c.red() > 200 && c.green() < 90 && c.blue() < 90;
}

int redCount(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += isRed(image.pixelColor(x, y));
    return n;
}

} // namespace

TEST(LedDisplay, SegmentsAndColours) {
    EXPECT_EQ(TTevLedDisplay::SegmentsOf(QLatin1Char('8')), 0x7Fu);
    EXPECT_EQ(TTevLedDisplay::SegmentsOf(QLatin1Char('-')), 0x40u);
    EXPECT_EQ(TTevLedDisplay::SegmentsOf(QLatin1Char(' ')), 0u);
    TTevLedDisplay d;
    d.resize(178, 38);
    EXPECT_EQ(d.Caption(), QStringLiteral(" -.-- V"));
    d.SetCaption(QStringLiteral("8.8"));
    const QImage img = d.grab().toImage();
    // Cell 0 is "8." and cell 1 is "8": every segment lit, in the design-time blue.
    for (int s = 0; s < 7; ++s)
        EXPECT_EQ(img.pixelColor(d.SegmentCentre(1, s).toPoint()), QColor(0, 128, 255)) << s;
}

TEST(Screenshots, MainWindowShowsTheReadingInTheStatesColours) {
    ClearSettings();
    TForm1 form1;
    TfrmDodatki tools;
    form1.SetToolsWindow(&tools);
    form1.show();
    QImage before = form1.grab().toImage();
    keep(before, QStringLiteral("main-window-start.png"));
    // The design-time look: "-" lit in blue, the rest dark blue.
    const QPoint dash =
        form1.RzLEDDisplay1->mapTo(&form1, form1.RzLEDDisplay1->SegmentCentre(1, 6).toPoint());
    const QPoint unlit =
        form1.RzLEDDisplay1->mapTo(&form1, form1.RzLEDDisplay1->SegmentCentre(1, 0).toPoint());
    EXPECT_EQ(before.pixelColor(dash), QColor(0, 128, 255));
    EXPECT_EQ(before.pixelColor(unlit), QColor(14, 16, 88));
    EXPECT_EQ(before.pixelColor(2, 2), QColor(Qt::black));

    form1.Readout().start();
    form1.TevComPort3RxString(nullptr, QStringLiteral("PVEX: 3.9V ON"));
    const QImage on = form1.grab().toImage();
    keep(on, QStringLiteral("main-window-on.png"));
    // " 3.9 V": cell 1 is "3." -- segment a lit, segment f dark, in the "ON" greens.
    const QPoint a = form1.RzLEDDisplay1->mapTo(&form1, form1.RzLEDDisplay1->SegmentCentre(1, 0).toPoint());
    const QPoint f = form1.RzLEDDisplay1->mapTo(&form1, form1.RzLEDDisplay1->SegmentCentre(1, 5).toPoint());
    EXPECT_EQ(on.pixelColor(a), QColor(128, 255, 0));
    EXPECT_EQ(on.pixelColor(f), QColor(0, 36, 0));
    form1.close();
}

TEST(Screenshots, ToolsWindowChartDrawsTheRedLine) {
    ClearSettings();
    TForm1 form1;
    TfrmDodatki tools;
    form1.SetToolsWindow(&tools);
    form1.Readout().start();
    const char* volts[] = {"3.90", "3.85", "3.80", "3.70", "3.95", "4.05", "3.60", "3.40", "3.30", "3.50"};
    for (const char* v : volts)
        form1.TevComPort3RxString(nullptr, QStringLiteral("PVEX: %1V ON").arg(QLatin1String(v)));
    form1.BitBtn1Click();
    ASSERT_TRUE(WaitFor([&] { return tools.isVisible() && tools.Chart1->width() > 400; }, 5000));
    const QImage shot = tools.grab().toImage();
    keep(shot, QStringLiteral("tools-window-chart.png"));
    const QImage chart = tools.Chart1->RenderToImage();
    EXPECT_GT(redCount(chart), 100);
    // The first point (x 2, 3.90 V) sits where the axes put it.
    const QPoint p = tools.Chart1->MapToWidget(2.0, 3.90).toPoint();
    bool nearRed = false;
    for (int dx = -2; dx <= 2; ++dx)
        for (int dy = -2; dy <= 2; ++dy)
            nearRed = nearRed || isRed(chart.pixelColor(p + QPoint(dx, dy)));
    EXPECT_TRUE(nearRed);

    tools.CheckBox1->click();
    tools.CheckBox2->click();
    keep(tools.grab().toImage(), QStringLiteral("tools-window-chart-3d-labels.png"));
    tools.PageControl->setCurrentIndex(0);
    keep(tools.grab().toImage(), QStringLiteral("tools-window-terminal.png"));
    form1.close();
}

TEST(Chart, MillionPointsKeepTheirExtremes) {
    // One spike among a million points must still show.
    const int spike = 612345;
    TTevChart spiked;
    spiked.resize(600, 360);
    spiked.SetLeftAxisRange(2.9, 4.4);
    spiked.ReservePoints(1000000);
    for (int i = 0; i < 1000000; ++i)
        spiked.AddXY(2.0 * (i + 1), i == spike ? 4.3 : 3.5 + 0.01 * (i % 7));
    const QImage img = spiked.RenderToImage();
    const QPoint top = spiked.MapToWidget(spiked.XValue(spike), 4.3).toPoint();
    bool found = false;
    for (int dx = -1; dx <= 1 && !found; ++dx)
        for (int dy = -2; dy <= 2 && !found; ++dy)
            found = isRed(img.pixelColor(top + QPoint(dx, dy)));
    EXPECT_TRUE(found) << "the spike's peak was dropped by the decimation";
    EXPECT_LT(spiked.SeriesBytes() / 1000000.0, 40.0);
}

TEST(Chart, RubberBandZoomAnimatesAndComesBack) {
    TTevChart chart;
    chart.resize(600, 360);
    for (int i = 1; i <= 100; ++i)
        chart.AddXY(2.0 * i, 3.0 + i / 100.0);
    chart.show();
    const QRectF full = chart.ViewRect();
    EXPECT_DOUBLE_EQ(full.left(), 2.0);
    EXPECT_DOUBLE_EQ(full.right(), 200.0);
    const QRectF plot = chart.PlotRect();
    const QPoint from = (plot.topLeft() + QPointF(plot.width() * 0.25, plot.height() * 0.25)).toPoint();
    const QPoint to = (plot.topLeft() + QPointF(plot.width() * 0.5, plot.height() * 0.75)).toPoint();
    QTest::mousePress(&chart, Qt::LeftButton, {}, from);
    QTest::mouseMove(&chart, to);
    QTest::mouseRelease(&chart, Qt::LeftButton, {}, to);
    EXPECT_TRUE(chart.IsAnimating());
    ASSERT_TRUE(WaitFor([&] { return !chart.IsAnimating(); }, 5000));
    EXPECT_TRUE(chart.IsZoomed());
    const QRectF zoomed = chart.ViewRect();
    EXPECT_NEAR(zoomed.left(), 2 + 198 * 0.25, 2.0);
    EXPECT_NEAR(zoomed.right(), 2 + 198 * 0.5, 2.0);
    // Dragging up and to the left brings the whole series back.
    QTest::mousePress(&chart, Qt::LeftButton, {}, to);
    QTest::mouseMove(&chart, from);
    QTest::mouseRelease(&chart, Qt::LeftButton, {}, from);
    ASSERT_TRUE(WaitFor([&] { return !chart.IsAnimating(); }, 5000));
    EXPECT_FALSE(chart.IsZoomed());
    EXPECT_EQ(chart.ViewRect(), full);
}

TEST(Chart, LabelsNeverOverlapAndStayReadableWithManyPoints) {
    struct Case {
        const char* what;
        int points;
        double step;
    };
    const QList<Case> cases{
        {"a few points far apart: every one labelled", 8, 2.0},
        {"thousands of points", 5000, 2.0},
        {"dense and jumping values", 3000, 0.01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TTevChart chart;
        chart.resize(600, 300);
        for (int i = 1; i <= c.points; ++i)
            chart.AddXY(c.step * i, 3.0 + (i % 7) / 7.0);
        chart.SetShowLabels(true);
        const QList<TTevChart::TValueLabel> labels = chart.ValueLabels();
        const QRectF plot = chart.PlotRect();
        if (c.points <= 8) {
            EXPECT_EQ(labels.size(), c.points);
        }
        // Readable: spread over the plot, about one per label width, never fewer than a handful.
        EXPECT_GE(labels.size(), std::min(c.points, 5));
        for (qsizetype i = 0; i < labels.size(); ++i) {
            EXPECT_GE(labels[i].box.top(), plot.top() - 0.5) << labels[i].text.toStdString();
            if (i > 0) {
                EXPECT_FALSE(labels[i].box.intersects(labels[i - 1].box)) << i;
                EXPECT_GE(labels[i].box.left(), labels[i - 1].box.right());
            }
        }
        // The picture is still drawn in one piece.
        EXPECT_FALSE(chart.RenderToImage().isNull());
    }
}

TEST(Chart, LabelsAndThreeDChangeThePicture) {
    TTevChart chart;
    chart.resize(500, 300);
    for (int i = 1; i <= 8; ++i)
        chart.AddXY(2.0 * i, 3.2 + i / 10.0);
    const QImage plain = chart.RenderToImage();
    chart.SetShowLabels(true);
    const QImage labelled = chart.RenderToImage();
    EXPECT_NE(plain, labelled);
    chart.SetShowLabels(false);
    chart.SetView3D(true);
    // The front plane gives up 8 % of the smaller side of the plot to the depth.
    const QRectF front = chart.PlotRect();
    chart.SetView3D(false);
    const QRectF flat = chart.PlotRect();
    EXPECT_NEAR(flat.width() - front.width(), std::floor(std::min(flat.width(), flat.height()) * 0.08), 0.5);
    EXPECT_DOUBLE_EQ(chart.LeftMinimum(), 2.9);
    EXPECT_DOUBLE_EQ(chart.LeftMaximum(), 4.2);
}
