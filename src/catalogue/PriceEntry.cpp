#include "PriceEntry.h"

#include "Amounts.h"
#include "AvisoBaseDatos.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Statements.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>

#include <cmath>

void MuestroCasilla(Form& f) {
    FlexGrid& grid = *f.Grid1;
    QLineEdit& casilla = *f.Casilla;
    if (grid.rows() <= 1 || grid.row() <= 0)
        return;
    if (grid.col() != colProductos::Precio)
        return;
    casilla.move(FlexGrid::pixels(grid.left() + grid.cellLeft()), FlexGrid::pixels(grid.top() + grid.cellTop()));
    casilla.setText(grid.textMatrix(grid.row(), colProductos::Precio));
    casilla.resize(FlexGrid::pixels(grid.cellWidth()), FlexGrid::pixels(grid.cellHeight()));
    casilla.setSelection(0, int(casilla.text().size()));
    casilla.show();
    casilla.setFocus(Qt::MouseFocusReason);
}

void Casilla_KeyPress(Form& f, DatabaseEngine& engine, int& KeyAscii) {
    if (KeyAscii == 13) {
        GuardoPrecio(f, engine);
        KeyAscii = 0;
        return;
    }
    if (KeyAscii == ',' || KeyAscii == '.' || KeyAscii == 8 || (KeyAscii >= '0' && KeyAscii <= '9'))
        return;
    f.dialogs->notice(QStringLiteral("Inserte solo números en esta casilla."));
    KeyAscii = 0;
}

void GuardoPrecio(Form& f, DatabaseEngine& engine) {
    FlexGrid& grid = *f.Grid1;
    QLineEdit& casilla = *f.Casilla;
    if (grid.rows() <= 1 || grid.row() <= 0 || grid.col() != colProductos::Precio)
        return;
    // The code comes from the database; a cell that holds anything but a whole number is not a product to update.
    const std::optional<qint64> codigo = sentencias::codigoProducto(grid.textMatrix(grid.row(), colProductos::Codigo));
    if (!codigo)
        return;
    const QLocale locale;
    double valor = 0;
    if (leoNumero(casilla.text(), locale, &valor)) {
        try {
            std::unique_ptr<Database> db = engine.openDatabase(f.RutaBaseDatos);
            db->execute(sentencias::precio(Cifras(valor), *codigo));
            db->close();
        } catch (const DatabaseError& e) {
            // Nothing was stored: the cell keeps the price the database holds, and what was typed stays to retry.
            f.dialogs->notice(avisoBaseDatos(e));
            casilla.setFocus(Qt::OtherFocusReason);
            return;
        }
        // The database received the amount without its sign; the cell shows what it holds.
        grid.setTextMatrix(grid.row(), colProductos::Precio, formatoPrecio(std::fabs(valor), locale));
    }
    casilla.hide();
}

TeclasEscritas::TeclasEscritas(QLineEdit* box, KeyPress keyPress) : QObject(box), keyPress_(std::move(keyPress)) {
    box->installEventFilter(this);
}

bool TeclasEscritas::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        // Only a bare Enter (the keypad's included) is Enter; with Ctrl, Shift or Alt it is another control
        // character, a line feed.
        int code = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier ? 13 : 10;
        keyPress_(code);
        return true;
    }
    const QString text = key->text();
    if (text.isEmpty() || key->key() == Qt::Key_Delete || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
        return false;
    bool keep = true;
    for (QChar c : text) {
        int code = c.unicode();
        keyPress_(code);
        keep = keep && code != 0;
    }
    return !keep;
}
