// Vector drawings of the window's pictures; each is rendered once on first use at its pixel size.
#include "ChipPictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

namespace chipwatch {

namespace {

QPixmap Blank(int w, int h) {
    QPixmap pm(w, h);
    pm.fill(Qt::transparent);
    return pm;
}

void Arrowhead(QPainter& p, QPointF tip, qreal angleDeg, qreal len, const QColor& c) {
    const qreal a = qDegreesToRadians(angleDeg);
    const QPointF back(-std::cos(a) * len, -std::sin(a) * len);
    const QPointF side(-std::sin(a) * len * 0.6, std::cos(a) * len * 0.6);
    QPolygonF head{tip, tip + back + side, tip + back - side};
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(head);
}

} // namespace

QPixmap EmblemPixmap(const QColor& iris) {
    QPixmap pm = Blank(48, 48);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Almond-shaped eye with a vertical slit pupil.
    QPainterPath eye;
    eye.moveTo(3, 24);
    eye.quadTo(24, 2, 45, 24);
    eye.quadTo(24, 46, 3, 24);
    QRadialGradient g(24, 24, 20);
    g.setColorAt(0, iris.lighter(150));
    g.setColorAt(1, iris.darker(130));
    p.setPen(QPen(iris.darker(200), 1.5));
    p.setBrush(g);
    p.drawPath(eye);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawEllipse(QRectF(20.5, 11, 7, 26));
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawEllipse(QRectF(27, 15, 4, 4));
    return pm;
}

QPixmap PinOffPixmap() {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor grey(140, 140, 140);
    p.setPen(QPen(grey.darker(150), 1.5));
    p.drawLine(QPointF(1, 12), QPointF(7, 9)); // needle, lying
    p.setPen(QPen(grey.darker(160), 1));
    p.setBrush(grey);
    p.drawRoundedRect(QRectF(7, 5, 4, 8), 1, 1);
    p.drawRoundedRect(QRectF(11, 3, 3, 12), 1, 1);
    return pm;
}

QPixmap PinOnPixmap() {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor blue(30, 90, 230);
    p.setPen(QPen(QColor(90, 90, 90), 1.5));
    p.drawLine(QPointF(8, 10), QPointF(8, 15)); // needle, stuck in
    p.setPen(QPen(blue.darker(150), 1));
    p.setBrush(blue);
    p.drawEllipse(QRectF(3, 1, 10, 6));
    p.drawRect(QRectF(6, 6, 4, 4));
    return pm;
}

QPixmap ClosePixmap() {
    QPixmap pm = Blank(24, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 0, 0), 1));
    p.setBrush(QColor(215, 30, 30));
    p.drawRoundedRect(QRectF(0.5, 0.5, 23, 15), 3, 3);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8.5, 4.5), QPointF(15.5, 11.5));
    p.drawLine(QPointF(15.5, 4.5), QPointF(8.5, 11.5));
    return pm;
}

QPixmap StatePixmap(TStateImage state) {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    if (state == TStateImage::Unusable) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(220, 0, 0));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(3.5, 6.5, 9, 3));
        return pm;
    }
    p.setPen(QPen(QColor(70, 70, 70), 1.5));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(2, 2, 12, 12));
    if (state == TStateImage::Active) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 180, 0));
        p.drawEllipse(QRectF(5, 5, 6, 6));
    }
    return pm;
}

QPixmap CurvedArrowPixmap(int size) {
    QPixmap pm = Blank(size, size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor purple(128, 0, 160);
    const qreal s = size / 16.0;
    QPainterPath arc;
    arc.moveTo(3 * s, 13 * s);
    arc.cubicTo(3 * s, 4 * s, 8 * s, 3 * s, 11 * s, 4 * s);
    p.setPen(QPen(purple, 2.2 * s, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
    Arrowhead(p, QPointF(15 * s, 6 * s), 25, 5 * s, purple);
    return pm;
}

QIcon MenuIcon(TMenuIcon icon) {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (icon) {
    case TMenuIcon::Refresh: {
        const QColor blue(20, 80, 220);
        p.setPen(QPen(blue, 2));
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 30 * 16, 140 * 16);
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 210 * 16, 140 * 16);
        Arrowhead(p, QPointF(13.5, 5), 100, 4, blue);
        Arrowhead(p, QPointF(2.5, 11), 280, 4, blue);
        break;
    }
    case TMenuIcon::ResetPulse: {
        const QColor green(0, 150, 40);
        QPainterPath back;
        back.moveTo(13, 14);
        back.lineTo(13, 7);
        back.quadTo(13, 3, 8, 3);
        back.lineTo(5, 3);
        p.setPen(QPen(green, 2.2));
        p.drawPath(back);
        Arrowhead(p, QPointF(1, 3), 180, 4.5, green);
        break;
    }
    case TMenuIcon::ResetLine: {
        const QColor steel(90, 100, 120);
        p.setPen(QPen(steel, 3, Qt::DotLine));
        p.drawEllipse(QRectF(2.5, 2.5, 9, 9));
        p.setPen(Qt::NoPen);
        p.setBrush(steel);
        p.drawEllipse(QRectF(4.5, 4.5, 5, 5));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(6, 6, 2, 2));
        p.setPen(QPen(QColor(230, 170, 0), 2.5));
        p.drawLine(QPointF(9, 15), QPointF(15, 9)); // pencil
        p.setPen(QPen(Qt::black, 1));
        p.drawPoint(QPointF(8.5, 15.5));
        break;
    }
    case TMenuIcon::SetDefault:
        p.setPen(QPen(QColor(0, 160, 0), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF{QPointF(2.5, 8.5), QPointF(6.5, 12.5), QPointF(13.5, 3.5)});
        break;
    case TMenuIcon::ClearDefault:
        p.setPen(QPen(QColor(220, 0, 0), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
        p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
        break;
    case TMenuIcon::Alias:
        p.end();
        return QIcon(CurvedArrowPixmap(16));
    }
    p.end();
    return QIcon(pm);
}

} // namespace chipwatch
