#include "ProductList.h"

#include "Amounts.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "SearchBox.h"
#include "Statements.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QProgressBar>

namespace {

void yield() {
    QCoreApplication::processEvents();
}

QString text(const QVariant& v) {
    return v.isNull() ? QString() : v.toString();
}

// Whatever ends a load early, the window is usable again afterwards.
struct WaitPanelShown {
    Form& f;
    bool shown = false;
    void show() {
        deshabilitoVentana(f);
        f.Frame1->show();
        shown = true;
    }
    void hide() {
        if (!shown)
            return;
        f.Frame1->hide();
        habilitoVentana(f);
        shown = false;
    }
    ~WaitPanelShown() { hide(); }
};

}  // namespace

void CargoProductos(Form& f, DatabaseEngine& engine) {
    FlexGrid& grid = *f.Grid1;
    std::unique_ptr<Database> db;
    try {
        db = engine.openDatabase(f.RutaBaseDatos);
    } catch (const DatabaseError& e) {
        f.dialogs->notice(e.aviso());
        return;
    }
    yield();
    if (f.cerrando) {
        db->close();
        return;
    }
    grid.setRows(1);
    const QString statement = sentencias::productos(f.BuscarPalabra->text());
    WaitPanelShown panel{f};
    try {
        std::unique_ptr<Recordset> rs = db->openRecordset(statement);
        int count = rs->RecordCount();
        if (count > 0) {
            rs->moveLast();
            rs->moveFirst();
            count = rs->RecordCount();
            f.Barra1->setMaximum(count);
            f.Barra1->setValue(0);
            panel.show();
            const QLocale locale;
            int numero = 0;
            while (!rs->eof() && !f.cerrando) {
                grid.setRows(grid.rows() + 1);
                f.Barra1->setValue(f.Barra1->value() + 1);
                yield();
                const int r = grid.rows() - 1;
                grid.setTextMatrix(r, 0, text(rs->field(u"Código")));
                const QVariant categoria = rs->field(u"NombreCategoría");
                if (!categoria.isNull())
                    grid.setTextMatrix(r, 1, categoria.toString());
                grid.setTextMatrix(r, 2, text(rs->field(u"Nombre")));
                const QVariant precio = rs->field(u"PrecioSugeridoAdic002");
                if (!precio.isNull())
                    grid.setTextMatrix(r, 3, formatoPrecio(precio.toDouble(), locale));
                const QVariant serial = rs->field(u"Serial");
                if (!serial.isNull())
                    grid.setTextMatrix(r, 4, serial.toString());
                grid.setRow(r);
                grid.setCol(5);
                grid.setCellPicture(f.imagen(1));
                ++numero;
                grid.setTextMatrix(r, 6, QString::number(numero));
                grid.setTextMatrix(r, 7, QStringLiteral("0"));
                yield();
                rs->moveNext();
            }
            panel.hide();
        }
        rs->close();
        db->close();
    } catch (const DatabaseError& e) {
        db->close();
        panel.hide();
        f.dialogs->notice(e.archivo().isEmpty() ? DatabaseError(f.RutaBaseDatos, e.mensaje(), statement).aviso()
                                                : e.aviso());
        return;
    }
    yield();
}

void PintoFila(Form& f, const quint32& colour) {
    FlexGrid& grid = *f.Grid1;
    for (int c = 0; c < grid.cols(); ++c) {
        grid.setCol(c);
        grid.setCellBackColor(colour);
    }
}
