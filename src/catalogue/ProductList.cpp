#include "ProductList.h"

#include "Amounts.h"
#include "AvisoBaseDatos.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "SearchBox.h"
#include "Statements.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QProgressBar>

#include <charconv>

namespace {

// The load's yields between rows. Asking the window system for events costs microseconds even when none are
// pending, which at two yields per row was the largest part of a large load; so a yield between rows lets events
// run once a millisecond has passed since they last ran, far below what an operator can tell from every row.
// Nothing outside the load sees the progress bar but the events that run, so it is brought up to date just before.
class RowYields {
  public:
    static constexpr qint64 IntervalNs = 1'000'000;

    explicit RowYields(QProgressBar* bar) : bar_(bar) {}

    int progress = 0;

    // The next yield lets events run, whatever the time.
    void soon() { clock_.invalidate(); }
    void yieldNow() {
        showProgress();
        QCoreApplication::processEvents();
        clock_.start();
    }
    // The clock is read every sixteenth yield only (eight rows, a few microseconds): reading it is not free here
    // either, and a load asks two hundred thousand times at 100,000 products.
    void yieldBetweenRows() {
        if (!clock_.isValid() || (++asked_ % 16 == 0 && clock_.nsecsElapsed() >= IntervalNs))
            yieldNow();
    }
    void showProgress() {
        if (bar_->value() != progress)
            bar_->setValue(progress);
    }

  private:
    QProgressBar* bar_;
    QElapsedTimer clock_;
    unsigned asked_ = 0;
};

QString text(const QVariant& v) {
    return v.isNull() ? QString() : v.toString();
}

// A field of the current record into a cell, as text(field) would put it but without a QString where the field is a
// text or a whole number. A null field leaves the cell as it is when `null` is false.
void putField(FlexGrid& grid, int row, int col, const Recordset& rs, int index, bool null = true) {
    switch (rs.kind(index)) {
        case Recordset::Kind::Utf8:
            grid.setTextMatrixUtf8(row, col, rs.utf8(index));
            return;
        case Recordset::Kind::Integer: {
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, rs.integer(index)).ptr;
            grid.setTextMatrixUtf8(row, col, QByteArrayView(digits, end - digits));
            return;
        }
        case Recordset::Kind::Null:
            if (null)
                grid.setTextMatrix(row, col, QString());
            return;
        default: {
            const QVariant v = rs.field(index);
            if (null || !v.isNull())
                grid.setTextMatrix(row, col, text(v));
            return;
        }
    }
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
        f.dialogs->notice(avisoBaseDatos(e));
        return;
    }
    dejoCorrerEventos();
    if (f.cerrando) {
        db->close();
        return;
    }
    grid.setRows(1);
    const QString statement = sentencias::productos(f.BuscarPalabra->text());
    WaitPanelShown panel{f};
    try {
        // A large catalogue takes seconds to read and sort: meanwhile the window repaints and the channel reports,
        // and the operator's input waits for the load (which then shuts it out).
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        std::unique_ptr<Recordset> rs = db->openRecordset(statement, [&sinceEvents] {
            if (sinceEvents.nsecsElapsed() < RowYields::IntervalNs)
                return;
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            sinceEvents.start();
        });
        int count = rs->RecordCount();
        if (count > 0) {
            rs->moveLast();
            rs->moveFirst();
            count = rs->RecordCount();
            f.Barra1->setMaximum(count);
            f.Barra1->setValue(0);
            panel.show();
            grid.reserveRows(count + 1);
            const int codigo = rs->fieldIndex(u"Código"), categoria = rs->fieldIndex(u"NombreCategoría"),
                      nombre = rs->fieldIndex(u"Nombre"), precio = rs->fieldIndex(u"PrecioSugeridoAdic002"),
                      serial = rs->fieldIndex(u"Serial");
            const QLocale locale;
            const SignosNumericos signos(locale);
            const QPixmap& picture = f.imagen(1);
            RowYields yields(f.Barra1);
            yields.progress = f.Barra1->value();
            yields.soon();
            int numero = 0;
            while (!rs->eof() && !f.cerrando) {
                grid.setRows(grid.rows() + 1);
                ++yields.progress;
                yields.yieldBetweenRows();
                const int r = grid.rows() - 1;
                putField(grid, r, colProductos::Codigo, *rs, codigo);
                putField(grid, r, colProductos::Categoria, *rs, categoria, false);
                putField(grid, r, colProductos::Producto, *rs, nombre);
                switch (rs->kind(precio)) {
                    case Recordset::Kind::Null:
                        break;
                    case Recordset::Kind::Real:
                        grid.setTextMatrix(r, colProductos::Precio, formatoPrecio(rs->real(precio), locale, signos));
                        break;
                    default:
                        if (const QVariant v = rs->field(precio); !v.isNull())
                            grid.setTextMatrix(r, colProductos::Precio, formatoPrecio(v.toDouble(), locale, signos));
                }
                putField(grid, r, colProductos::Serial, *rs, serial, false);
                grid.setRow(r);
                grid.setCol(colProductos::Enviar);
                grid.setCellPicture(picture);
                ++numero;
                char digits[16];
                const auto end = std::to_chars(digits, digits + sizeof digits, numero).ptr;
                grid.setTextMatrixUtf8(r, colProductos::Numero, QByteArrayView(digits, end - digits));
                grid.setTextMatrixUtf8(r, colProductos::Enviado, QByteArrayView("0", 1));
                yields.yieldBetweenRows();
                rs->moveNext();
                // The rows read into the grid are not needed again: the recordset and the grid are never both
                // held in full.
                rs->releaseBehind();
            }
            yields.showProgress();
            panel.hide();
        }
        rs->close();
        db->close();
    } catch (const DatabaseError& e) {
        db->close();
        panel.hide();
        f.dialogs->notice(
            avisoBaseDatos(e.archivo().isEmpty() ? DatabaseError(f.RutaBaseDatos, e.mensaje(), statement) : e));
        return;
    }
    dejoCorrerEventos();
}
