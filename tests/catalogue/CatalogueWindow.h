#pragma once

// The window on a small generated catalogue in a folder of its own, with scripted message boxes and every statement
// the engine ran.

#include "CatalogueGenerator.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "frmVantoria.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLineEdit>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct CatalogueWindow {
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    QStringList statements;
    std::optional<OdbcSettings> odbc;
    std::unique_ptr<frmVantoria> w;

    Form& f() { return w->form(); }
    QString path() const { return QDir::toNativeSeparators(dir.filePath(QStringLiteral("Base de Datos.dba"))); }

    // Rows after the load: 1 Alicate (5), 2 Martillo (7, linked to MLV100), 3 Lentes de sol (3, never linked).
    static catalogo::Catalogo tienda() {
        catalogo::Catalogo c;
        c.categorias = {{1, QStringLiteral("Ferretería")}, {2, QStringLiteral("Óptica")}};
        const auto add = [&](qint64 code, const char* name, qint64 cat, double price, std::optional<QString> serial) {
            catalogo::Producto p;
            p.codigo = code;
            p.codProd = QStringLiteral("P-%1").arg(code);
            p.nombre = QString::fromUtf8(name);
            p.categoria = cat;
            p.precio = price;
            p.serial = serial;
            c.productos.push_back(p);
        };
        add(7, "Martillo", 1, 70.0, QStringLiteral("MLV100"));
        add(3, "Lentes de sol", 2, 0.5, std::nullopt);
        add(5, "Alicate", 1, 1234.5, std::nullopt);
        return c;
    }

    // Opens the window and waits until its first activation has loaded the products; with `raw`, on a catalogue file
    // holding exactly those bytes, and waits only for the first activation to end.
    bool open(const std::optional<QByteArray>& raw = std::nullopt) {
        if (!dir.isValid())
            return false;
        if (raw) {
            QFile file(path());
            if (!file.open(QIODevice::WriteOnly) || file.write(*raw) != raw->size())
                return false;
        } else {
            catalogo::escribo(path(), tienda());
        }
        frmVantoria::Options o;
        o.programFolder = dir.path();
        o.dialogs = &dialogs;
        o.statementObserver = [this](const QString& s) { statements << s; };
        o.odbc = odbc;
        // Nothing listens there: a request sent by mistake is refused on this machine.
        o.urlMercado = o.urlPasarela = QStringLiteral("https://127.0.0.1:9");
        w = std::make_unique<frmVantoria>(o);
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            return false;
        QDeadlineTimer deadline(10000);
        while ((f().PrimeraVez || !ventanaHabilitada(f())) && !deadline.hasExpired())
            QTest::qWait(10);
        if (raw)
            return !f().PrimeraVez;
        statements.clear();
        return f().Grid1->rows() == 4;
    }

    static QPoint cellCentre(FlexGrid* grid, int row, int col) {
        grid->cells().flush();
        return grid->visualRect(grid->model()->index(row - 1, col)).center();
    }
    static void click(FlexGrid* grid, int row, int col) {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCentre(grid, row, col));
    }
    // As a window system delivers it: press, release, double-click, release.
    static void doubleClick(FlexGrid* grid, int row, int col) {
        const QPoint at = cellCentre(grid, row, col);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, at);
    }

    void addListing(const QString& id, const QString& title) {
        FlexGrid& g = *f().Grid2;
        g.setRows(g.rows() + 1);
        const int r = g.rows() - 1;
        g.setTextMatrix(r, 0, id);
        g.setRow(r);
        g.setCol(1);
        g.setCellPicture(f().imagen(2));
        g.setTextMatrix(r, 2, title);
        g.setTextMatrix(r, 4, QString::number(r));
    }

    // A field of one product as the database holds it, read past the program's engine.
    QVariant field(qint64 codigo, const QString& name) const {
        const QString connection = QStringLiteral("check");
        QVariant out;
        {
            QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            d.setDatabaseName(path());
            if (d.open()) {
                QSqlQuery q(d);
                if (q.exec(QStringLiteral("SELECT %1 FROM Productos WHERE Código=%2").arg(name).arg(codigo)) &&
                    q.next())
                    out = q.value(0);
            }
            d.close();
        }
        QSqlDatabase::removeDatabase(connection);
        return out;
    }

    // Marks the file as written by a newer format: SQLite then opens it for reading only, for every user, root too.
    bool makeReadOnly() const {
        QFile file(path());
        if (!file.open(QIODevice::ReadWrite) || !file.seek(18))
            return false;
        return file.write("\x03", 1) == 1;
    }
};
