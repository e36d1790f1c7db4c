#include "ResultBox.h"

namespace {

// A response may be megabytes long; laying all of it out in a box nobody sees would stall the window.
constexpr qsizetype ShownCharacters = 4096;

}  // namespace

void ResultBox::setText(const QString& text) {
    text_ = text;
    if (isVisible())
        setPlainText(text.left(ShownCharacters));
}

void ResultBox::showEvent(QShowEvent* event) {
    setPlainText(text_.left(ShownCharacters));
    QPlainTextEdit::showEvent(event);
}
