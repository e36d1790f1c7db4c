#include "Surfaces.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleOptionGroupBox>
#include <QToolTip>

ClientArea::ClientArea(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool ClientArea::event(QEvent* event) {
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    // A label lets the mouse through to this surface, so the help event that the pointer resting on it brings
    // arrives here, not at the label: the tooltip of the front-most label under the pointer is shown from here.
    const auto* help = static_cast<QHelpEvent*>(event);
    const QObjectList& kids = children();  // back to front
    for (auto it = kids.crbegin(); it != kids.crend(); ++it) {
        auto* w = qobject_cast<QWidget*>(*it);
        if (!w || w->isHidden() || !w->geometry().contains(help->pos()))
            continue;
        if (const QRegion mask = w->mask(); !mask.isEmpty() && !mask.contains(help->pos() - w->pos()))
            continue;
        // A control that takes the mouse shows its own tooltip, and hides what lies behind it.
        if (!w->testAttribute(Qt::WA_TransparentForMouseEvents))
            break;
        if (qobject_cast<QLabel*>(w) && !w->toolTip().isEmpty()) {
            QToolTip::showText(help->globalPos(), w->toolTip(), this, w->geometry());
            return true;
        }
    }
    return QWidget::event(event);
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
