// Seven-segment display drawing. A decimal point or comma joins the cell before it, as on a real display,
// so " 3.95 V" takes six cells.
#include "TevLedDisplay.h"

#include <QPainter>
#include <QPainterPath>

TTevLedDisplay::TTevLedDisplay(QWidget* parent)
    : QWidget(parent), FOnColor(0, 128, 255), FOffColor(14, 16, 88) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TTevLedDisplay::SetCaption(const QString& caption) {
    if (caption == FCaption)
        return;
    FCaption = caption;
    update();
}

void TTevLedDisplay::SetSegmentOnColor(const QColor& colour) {
    if (colour == FOnColor)
        return;
    FOnColor = colour;
    update();
}

void TTevLedDisplay::SetSegmentOffColor(const QColor& colour) {
    if (colour == FOffColor)
        return;
    FOffColor = colour;
    update();
}

unsigned TTevLedDisplay::SegmentsOf(QChar c) {
    // Bits: a=1 b=2 c=4 d=8 e=16 f=32 g=64.
    switch (c.toUpper().unicode()) {
    case '0':
        return 0x3F;
    case '1':
        return 0x06;
    case '2':
        return 0x5B;
    case '3':
        return 0x4F;
    case '4':
        return 0x66;
    case '5':
        return 0x6D;
    case '6':
        return 0x7D;
    case '7':
        return 0x07;
    case '8':
        return 0x7F;
    case '9':
        return 0x6F;
    case '-':
        return 0x40;
    case '_':
        return 0x08;
    case 'A':
        return 0x77;
    case 'B':
        return 0x7C;
    case 'C':
        return 0x39;
    case 'D':
        return 0x5E;
    case 'E':
        return 0x79;
    case 'F':
        return 0x71;
    case 'H':
        return 0x76;
    case 'L':
        return 0x38;
    case 'O':
        return 0x3F;
    case 'P':
        return 0x73;
    case 'U':
        return 0x3E;
    default:
        return 0;
    }
}

QList<TTevLedDisplay::Cell> TTevLedDisplay::cells() const {
    QList<Cell> out;
    for (QChar c : FCaption) {
        if ((c == QLatin1Char('.') || c == QLatin1Char(',')) && !out.isEmpty() && !out.back().dot)
            out.back().dot = true;
        else if (c == QLatin1Char('.') || c == QLatin1Char(','))
            out.push_back({QLatin1Char(' '), true});
        else
            out.push_back({c, false});
    }
    return out;
}

QRectF TTevLedDisplay::cellRect(int index, int count) const {
    const qreal h = height() - 4.0;
    const qreal w = count > 0 ? std::min(h * 0.62, (width() - 4.0) / count) : 0.0;
    return QRectF(2.0 + index * w, 2.0, w, h);
}

namespace {
// The polygon of one segment inside a cell; t is the stroke thickness.
QPolygonF segmentPolygon(const QRectF& r, int seg, qreal t) {
    const qreal l = r.left() + t * 0.6, rt = r.right() - t * 1.6; // room for the point on the right
    const qreal top = r.top() + t * 0.5, bot = r.bottom() - t * 0.5, mid = (top + bot) / 2;
    const qreal g = t * 0.15, h = t / 2;
    auto horiz = [&](qreal y) {
        return QPolygonF({QPointF(l + g, y), QPointF(l + g + h, y - h), QPointF(rt - g - h, y - h),
                          QPointF(rt - g, y), QPointF(rt - g - h, y + h), QPointF(l + g + h, y + h)});
    };
    auto vert = [&](qreal x, qreal y0, qreal y1) {
        return QPolygonF({QPointF(x, y0 + g), QPointF(x + h, y0 + g + h), QPointF(x + h, y1 - g - h),
                          QPointF(x, y1 - g), QPointF(x - h, y1 - g - h), QPointF(x - h, y0 + g + h)});
    };
    switch (seg) {
    case 0:
        return horiz(top);
    case 1:
        return vert(rt, top, mid);
    case 2:
        return vert(rt, mid, bot);
    case 3:
        return horiz(bot);
    case 4:
        return vert(l, mid, bot);
    case 5:
        return vert(l, top, mid);
    default:
        return horiz(mid);
    }
}

qreal thickness(const QRectF& r) {
    return std::max<qreal>(2.0, std::min(r.width() * 0.16, r.height() * 0.1));
}
} // namespace

QPointF TTevLedDisplay::SegmentCentre(int cell, int segment) const {
    const auto list = cells();
    const QRectF r = cellRect(cell, int(list.size()));
    return segmentPolygon(r, segment, thickness(r)).boundingRect().center();
}

void TTevLedDisplay::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    const auto list = cells();
    for (int i = 0; i < list.size(); ++i) {
        const QRectF r = cellRect(i, int(list.size()));
        const qreal t = thickness(r);
        const bool isV = list[i].ch.toUpper() == QLatin1Char('V');
        const unsigned mask = isV ? 0u : SegmentsOf(list[i].ch);
        for (int s = 0; s < 7; ++s) {
            p.setBrush((mask >> s) & 1 ? FOnColor : FOffColor);
            p.drawPolygon(segmentPolygon(r, s, t));
        }
        if (isV) {
            // Two strokes meeting at the bottom: the unit reads as a letter, not as "U".
            const QRectF box(r.left() + t * 0.6, r.top() + t * 0.5, r.width() - t * 2.2, r.height() - t);
            QPainterPath path;
            path.moveTo(box.topLeft());
            path.lineTo(box.center().x(), box.bottom());
            path.lineTo(box.topRight());
            p.strokePath(path, QPen(FOnColor, t * 0.9, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        }
        p.setBrush(list[i].dot ? FOnColor : FOffColor);
        const qreal d = t * 0.9;
        p.drawEllipse(QRectF(r.right() - t * 1.1, r.bottom() - d - t * 0.1, d, d));
    }
}
