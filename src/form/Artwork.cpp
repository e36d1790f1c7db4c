#include "Artwork.h"

#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <functional>

namespace artwork {
namespace {

const QColor Accent(38, 92, 160);

// The program's mark, `size` pixels square from the painter's origin: a price tag in a rounded square.
void marca(QPainter& p, qreal size) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 20.0, size / 20.0);
    QPainterPath mark;
    mark.addRoundedRect(QRectF(0, 0, 20, 20), 4, 4);
    p.fillPath(mark, Accent);
    QPainterPath tag;
    tag.moveTo(5, 6);
    tag.lineTo(11, 6);
    tag.lineTo(16, 10);
    tag.lineTo(11, 14);
    tag.lineTo(5, 14);
    tag.closeSubpath();
    p.fillPath(tag, Qt::white);
    p.setBrush(Accent);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(11.5, 10), 1.4, 1.4);
    p.restore();
}

const QColor AccentDark(22, 58, 108);

QImage scene(int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient body(0, 0, 0, height);
    body.setColorAt(0.0, QColor(236, 239, 243));
    body.setColorAt(1.0, QColor(221, 224, 228));
    p.fillRect(image.rect(), body);

    // A light band behind the sign-in strip and the search boxes, closed by a thin accent rule.
    QLinearGradient band(0, 0, 0, 56);
    band.setColorAt(0.0, QColor(250, 251, 253));
    band.setColorAt(1.0, QColor(231, 235, 241));
    p.fillRect(QRect(0, 0, width, 56), band);
    p.fillRect(QRect(0, 56, width, 1), QColor(Accent.red(), Accent.green(), Accent.blue(), 150));
    p.fillRect(QRect(0, 57, width, 1), QColor(255, 255, 255, 160));

    // The mark, and the name beside it.
    p.save();
    p.translate(10, 5);
    marca(p, 20);
    p.restore();
    QFont name(QStringLiteral("Arial"));
    name.setPixelSize(15);
    name.setBold(true);
    p.setFont(name);
    p.setPen(AccentDark);
    p.drawText(QPoint(37, 21), QStringLiteral("Vantoria"));
    QFont motto(QStringLiteral("Arial"));
    motto.setPixelSize(11);
    p.setFont(motto);
    p.setPen(QColor(96, 108, 124));
    p.drawText(QPoint(114, 21), QStringLiteral("catálogo y precios en MercadoLibre"));

    // A faint emblem lower down, seen behind the wait panel's texts.
    QRadialGradient glow(QPointF(352, 470), 300);
    glow.setColorAt(0.0, QColor(255, 255, 255, 120));
    glow.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(352, 470), 300, 300);
    p.setPen(
        QPen(QColor(Accent.red(), Accent.green(), Accent.blue(), 26), 10, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath big;
    big.moveTo(250, 420);
    big.lineTo(410, 420);
    big.lineTo(480, 480);
    big.lineTo(410, 540);
    big.lineTo(250, 540);
    big.closeSubpath();
    p.drawPath(big);
    p.drawEllipse(QPointF(418, 480), 12, 12);
    p.end();
    return image;
}

QPixmap icon(const std::function<void(QPainter&)>& draw, bool white) {
    QImage image(20, 18, white ? QImage::Format_RGB888 : QImage::Format_ARGB32_Premultiplied);
    image.fill(white ? QColor(Qt::white) : QColor(Qt::transparent));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    return QPixmap::fromImage(image);
}

}  // namespace

QPixmap fondoVentana() {
    return QPixmap::fromImage(scene(1355, 684));
}

QPixmap fondoEspera() {
    return QPixmap::fromImage(scene(1415, 684));
}

QPixmap actualizarTodos() {
    return icon(
        [](QPainter& p) {
            // Two arrows chasing each other round: every price, sent again.
            QPen pen(Accent, 2.0, Qt::SolidLine, Qt::RoundCap);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            const QRectF ring(4, 3, 12, 12);
            p.drawArc(ring, 30 * 16, 150 * 16);
            p.drawArc(ring, 210 * 16, 150 * 16);
            p.setPen(Qt::NoPen);
            p.setBrush(Accent);
            p.drawPolygon(QPolygonF({QPointF(15.5, 2.5), QPointF(17.5, 8.5), QPointF(11.5, 7.0)}));
            p.drawPolygon(QPolygonF({QPointF(4.5, 15.5), QPointF(2.5, 9.5), QPointF(8.5, 11.0)}));
        },
        true);
}

QPixmap enviarPrecio() {
    return icon(
        [](QPainter& p) {
            // An arrow rising out of a disc: send this price.
            p.setPen(Qt::NoPen);
            QLinearGradient g(0, 1, 0, 17);
            g.setColorAt(0, QColor(64, 150, 90));
            g.setColorAt(1, QColor(36, 112, 62));
            p.setBrush(g);
            p.drawEllipse(QRectF(2.5, 1.5, 15, 15));
            p.setBrush(Qt::white);
            p.drawPolygon(QPolygonF({QPointF(10, 4), QPointF(14.5, 9), QPointF(11.5, 9), QPointF(11.5, 13.5),
                                     QPointF(8.5, 13.5), QPointF(8.5, 9), QPointF(5.5, 9)}));
        },
        false);
}

QPixmap vincular() {
    return icon(
        [](QPainter& p) {
            // Two chain links: tie this listing to the product.
            QPen pen(Accent, 2.0);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            p.translate(10, 9);
            p.rotate(-35);
            p.drawRoundedRect(QRectF(-8.5, -3, 10, 6), 3, 3);
            p.setPen(QPen(AccentDark, 2.0));
            p.drawRoundedRect(QRectF(-1.5, -3, 10, 6), 3, 3);
        },
        false);
}

QPixmap icono(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    marca(p, size);
    p.end();
    return QPixmap::fromImage(image);
}

}  // namespace artwork
