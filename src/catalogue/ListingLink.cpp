#include "ListingLink.h"

#include "AvisoBaseDatos.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Statements.h"

#include <QLineEdit>

namespace {

// Runs one statement on the catalogue; a failure is reported and leaves the grid as the database is.
bool ejecuto(Form& f, DatabaseEngine& engine, const QString& statement) {
    try {
        std::unique_ptr<Database> db = engine.openDatabase(f.RutaBaseDatos);
        db->execute(statement);
        db->close();
        return true;
    } catch (const DatabaseError& e) {
        f.dialogs->notice(avisoBaseDatos(e));
        return false;
    }
}

void VinculoPublicacion(Form& f, DatabaseEngine& engine, int columna) {
    FlexGrid& productos = *f.Grid1;
    FlexGrid& publicaciones = *f.Grid2;
    if (publicaciones.rows() <= 1 || productos.rows() <= 1)
        return;
    if (publicaciones.row() <= 0 || productos.row() <= 0)
        return;
    if (publicaciones.col() != columna)
        return;
    const std::optional<qint64> codigo =
        sentencias::codigoProducto(productos.textMatrix(productos.row(), colProductos::Codigo));
    if (!codigo)
        return;
    const QString id = publicaciones.textMatrix(publicaciones.row(), colPublicaciones::Id);
    if (!ejecuto(f, engine, sentencias::serial(id, *codigo)))
        return;
    // The cell shows what the database now holds.
    productos.setTextMatrix(productos.row(), colProductos::Serial, sentencias::guardable(id));
}

}  // namespace

void Grid2_Click(Form& f, DatabaseEngine& engine) {
    VinculoPublicacion(f, engine, colPublicaciones::Vincular);
}

void Grid2_DblClick(Form& f, DatabaseEngine& engine) {
    VinculoPublicacion(f, engine, colPublicaciones::Id);
}

void Grid1_DblClick(Form& f, DatabaseEngine& engine) {
    f.Casilla->hide();
    FlexGrid& grid = *f.Grid1;
    if (grid.rows() <= 1 || grid.row() <= 0 || grid.col() != colProductos::Serial)
        return;
    const int r = grid.row();
    const std::optional<qint64> codigo = sentencias::codigoProducto(grid.textMatrix(r, colProductos::Codigo));
    if (!codigo)
        return;
    const QString pregunta = QStringLiteral("¿Esta seguro de querer quitar el serial ") +
                             grid.textMatrix(r, colProductos::Serial) + QStringLiteral(" del Producto ") +
                             grid.textMatrix(r, colProductos::Producto) + QStringLiteral(" ?");
    if (!f.dialogs->question(pregunta))
        return;
    if (!ejecuto(f, engine, sentencias::quitoSerial(*codigo)))
        return;
    grid.setTextMatrix(grid.row(), colProductos::Serial, QStringLiteral("-"));
}
