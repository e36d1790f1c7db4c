#include "Surfaces.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleOptionGroupBox>

ClientArea::ClientArea(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ClientArea::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.fillRect(event->rect(), QColor(224, 224, 224));
    p.drawPixmap(0, 0, picture_);
}

void ClientArea::mouseMoveEvent(QMouseEvent* event) {
    QWidget::mouseMoveEvent(event);
    emit mouseMoved();
}

WaitPanel::WaitPanel(QWidget* parent) : QGroupBox(parent) {
    setMouseTracking(true);
}

void WaitPanel::mouseMoveEvent(QMouseEvent* event) {
    QGroupBox::mouseMoveEvent(event);
    emit mouseMoved();
}

Backdrop::Backdrop(WaitPanel* panel) : QLabel(panel), panel_(panel) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Backdrop::paintEvent(QPaintEvent* event) {
    // Drawn as it is: QLabel would grey a disabled picture on every paint, and the panel is shown while the window
    // is disabled.
    QPainter p(this);
    p.drawPixmap(event->rect(), pixmap(), event->rect());
    p.translate(-pos());
    QStyleOptionGroupBox option;
    panel_->initStyleOption(&option);
    style()->drawComplexControl(QStyle::CC_GroupBox, &option, &p, panel_);
}
