#pragma once

#include <QObject>
#include <QString>

#include <functional>

struct Form;
class DatabaseEngine;
class QLineEdit;

// The last step of a click on the product grid: lays the price editor over the current cell when it is a "Precio"
// cell of a product row, with the cell's text all selected and the focus.
void MuestroCasilla(Form& f);

// One character typed into the price editor, as its code: Enter stores the price, digits, ",", "." and Backspace go
// through, anything else brings a message and is discarded (`KeyAscii` becomes 0).
void Casilla_KeyPress(Form& f, DatabaseEngine& engine, int& KeyAscii);

// Enter in the price editor: writes the typed number into the current product's price, in the database and in the
// grid, and hides the editor. A failing statement leaves the cell as it was and the editor open with its text.
void GuardoPrecio(Form& f, DatabaseEngine& engine);

// Hands every character typed into a text box to `keyPress` before the box takes it; a code set to 0 drops it.
// Keys that type nothing (arrows, Delete, Home, Tab) go to the box untouched.
class TeclasEscritas : public QObject {
  public:
    using KeyPress = std::function<void(int& KeyAscii)>;
    TeclasEscritas(QLineEdit* box, KeyPress keyPress);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    KeyPress keyPress_;
};
