#include "SearchBox.h"

#include <QKeyEvent>
#include <QPointer>

SearchBox::SearchBox(QWidget* parent) : QLineEdit(parent) {
    setText(Placeholder);
}

void SearchBox::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    selectAll();
}

void SearchBox::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    // Only another control of the window taking the focus brings the placeholder back: the box's own context menu,
    // a message box or another program keep what was typed.
    if (event->reason() == Qt::PopupFocusReason || event->reason() == Qt::ActiveWindowFocusReason)
        return;
    setText(Placeholder);
}

void SearchBox::mouseReleaseEvent(QMouseEvent* event) {
    QLineEdit::mouseReleaseEvent(event);
    selectAll();
}

void SearchBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QPointer<SearchBox> self(this);
        emit enterPressed();
        if (self) {
            setFocus(Qt::OtherFocusReason);
            selectAll();
        }
        return;
    }
    if (event->text() == QLatin1String("'")) {
        QKeyEvent grave(event->type(), event->key(), event->modifiers(), QStringLiteral("`"), event->isAutoRepeat(),
                        ushort(event->count()));
        QLineEdit::keyPressEvent(&grave);
        return;
    }
    QLineEdit::keyPressEvent(event);
}
