// The voltage chart: the live red line series (and opened recordings beside it, with a legend) over a
// framed back wall, fixed left axis, bottom axis in seconds, optional value labels and 3D view, animated
// rubber-band zoom. Draws a min/max-per-pixel-column view of the points, so a million points repaint
// within a frame; adding points repaints at most every 40 ms.
#pragma once

#include "RecordingSeries.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QRectF>
#include <QTimer>
#include <QWidget>
#include <vector>

#include <QMenu>
class QVariantAnimation;

class TTevChart : public QWidget {
    Q_OBJECT
public:
    explicit TTevChart(QWidget* parent = nullptr);
    ~TTevChart() override;

    // The series. x values are expected in ascending order, as the readout gives them.
    void AddXY(double x, double y);
    void Clear();
    int Count() const { return int(FX.size()); }
    double XValue(int i) const { return FX[size_t(i)]; }
    double YValue(int i) const { return FY[size_t(i)]; }
    // Memory the series holds, for the benchmark's per-point figure.
    size_t SeriesBytes() const {
        return (FX.capacity() + FY.capacity()) * sizeof(double) + FBlocks.capacity() * sizeof(ChartBlock);
    }
    void ReservePoints(size_t n);

    // Opened recordings drawn beside the live series (owned elsewhere; Clear() leaves them). Each is placed
    // from its own first reading, or, with wall-clock time and times in all of them, by its times.
    void SetRecordings(std::vector<const RecordingSeries*> recordings);
    const std::vector<const RecordingSeries*>& Recordings() const { return FRecordings; }
    void RecordingsChanged() { scheduleRepaint(); }
    bool WallClock() const { return FWallClock; }
    void SetWallClock(bool on);
    double RecordingOffset(const RecordingSeries& recording) const;

    double LeftMinimum() const { return FLeftMin; }
    double LeftMaximum() const { return FLeftMax; }
    void SetLeftAxisRange(double minimum, double maximum);

    bool ShowLabels() const { return FShowLabels; }
    void SetShowLabels(bool show);
    bool View3D() const { return FView3D; }
    void SetView3D(bool on);
    static constexpr int Chart3DPercent = 8;

    // The value window shown: the whole series, or the zoomed part of it.
    QRectF ViewRect() const;
    // The value labels "Labels" draws, left to right: the point, its box and its text.
    struct TValueLabel {
        QPointF point;
        QRectF box;
        QString text;
    };
    QList<TValueLabel> ValueLabels() const;
    bool IsZoomed() const { return FZoomed; }
    void ZoomTo(const QRectF& values, bool animated = true);
    void UndoZoom(bool animated = true);
    bool IsAnimating() const;

    void SetPopupMenu(QMenu* menu) { FPopup = menu; }
    QMenu* PopupMenu() const { return FPopup; }

    // The chart as shown, at its on-screen size, drawn over white.
    QImage RenderToImage();
    // Where the plotted values land in widget coordinates (front plane in 3D).
    QRectF PlotRect() const;
    QPointF MapToWidget(double x, double y) const;

    static const QColor SeriesColor;
    static const QColor TitleColor;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QRectF fullRect() const;
    QRectF outerPlotRect() const;
    qreal depth() const;
    void animateTo(const QRectF& target, bool zoomedAfter, bool animated);
    void scheduleRepaint();
    void drawSeries(QPainter& p, const QRectF& front, const QRectF& view) const;
    void drawLabels(QPainter& p) const;
    void drawLegend(QPainter& p, const QRectF& front) const;

    std::vector<double> FX, FY;
    std::vector<ChartBlock> FBlocks;
    std::vector<const RecordingSeries*> FRecordings;
    bool FWallClock = false;
    double FLeftMin = 2.9, FLeftMax = 4.2;
    bool FShowLabels = false;
    bool FView3D = false;
    bool FZoomed = false;
    QRectF FView; // valid while zoomed or animating
    QVariantAnimation* FAnim = nullptr;
    QTimer FRepaintTimer;
    QPointer<QMenu> FPopup;
    bool FBand = false;
    QPoint FBandStart, FBandEnd;
};
