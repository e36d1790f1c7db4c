#pragma once

#include <QPlainTextEdit>

// The hidden text box that holds the last response. It keeps the text exactly as written (carriage returns, NUL
// characters and all), which a text document would not; what it shows is only the text's beginning, laid out
// only when the box is shown.
class ResultBox : public QPlainTextEdit {
    Q_OBJECT
  public:
    using QPlainTextEdit::QPlainTextEdit;

    const QString& text() const { return text_; }
    void setText(const QString& text);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QString text_;
};
