// Seven-segment style text display: every character cell is drawn as seven segments and a decimal point,
// lit segments in one colour and the rest in the unlit colour, so the dark digits stay faintly visible.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class TTevLedDisplay : public QWidget {
    Q_OBJECT
public:
    explicit TTevLedDisplay(QWidget* parent = nullptr);

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& caption);
    QColor SegmentOnColor() const { return FOnColor; }
    void SetSegmentOnColor(const QColor& colour);
    QColor SegmentOffColor() const { return FOffColor; }
    void SetSegmentOffColor(const QColor& colour);

    // Segment mask of a character: bits a..g are 0..6 (a on top, then clockwise, g in the middle).
    // Characters without a seven-segment form give 0; 'V' has its own shape.
    static unsigned SegmentsOf(QChar c);

    // Where the middle of a segment of a cell lies, for callers that check what the display shows.
    QPointF SegmentCentre(int cell, int segment) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Cell {
        QChar ch;
        bool dot;
    };
    QList<Cell> cells() const;
    QRectF cellRect(int index, int count) const;

    QString FCaption = QStringLiteral(" -.-- V");
    QColor FOnColor;
    QColor FOffColor;
};
