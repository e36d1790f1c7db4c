#pragma once

#include <QLineEdit>

// A search box above a grid: shows "Buscar..." once another control of the window takes the focus, selects its whole
// text on focus and click, takes a typed apostrophe as a grave accent, and acts on Enter.
class SearchBox : public QLineEdit {
    Q_OBJECT
  public:
    static inline const QString Placeholder = QStringLiteral("Buscar...");

    explicit SearchBox(QWidget* parent = nullptr);

    // A text searches unless it is exactly the placeholder or empty.
    static bool isSearchText(const QString& text) { return !text.isEmpty() && text != Placeholder; }

  signals:
    // Enter was pressed; the box takes the focus back and selects its text once the action returns.
    void enterPressed();

  protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
