#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "SearchBox.h"
#include "VbError.h"

#include <QDir>
#include <QLineEdit>
#include <QWidget>

#include <exception>

void Form_Load(Form& f, const QString& programFolder) {
    f.PrimeraVez = true;
    QDir::setCurrent(programFolder);
    f.RutaPrograma = QDir::toNativeSeparators(programFolder);
    f.RutaBaseDatos = QDir::toNativeSeparators(programFolder + QStringLiteral("/Base de Datos.dba"));
    PreparoGrillas(f);
}

void PreparoGrillas(Form& f) {
    FlexGrid& g1 = *f.Grid1;
    g1.setCols(8);
    g1.setRows(1);
    const int widths1[] = {0, 1300, 4700, 2000, 1200, 300, 380, 0};
    for (int c = 0; c < 8; ++c)
        g1.setColWidth(c, widths1[c]);
    const char16_t* headers1[] = {u"", u"Categoría", u"Producto", u"Precio", u"Serial", u"", u"Pos", u""};
    for (int c = 0; c < 8; ++c)
        g1.setTextMatrix(0, c, QString::fromUtf16(headers1[c]));

    FlexGrid& g2 = *f.Grid2;
    g2.setCols(5);
    g2.setRows(1);
    const int widths2[] = {1100, 300, 5000, 2000, 550};
    for (int c = 0; c < 5; ++c)
        g2.setColWidth(c, widths2[c]);
    const char16_t* headers2[] = {u"ID", u"", u"Producto", u"Precio", u"pos"};
    for (int c = 0; c < 5; ++c)
        g2.setTextMatrix(0, c, QString::fromUtf16(headers2[c]));
}

void Form_MouseMove(Form& f) {
    f.Casilla->hide();
}

void FiltroPublicaciones(Form& f) {
    FlexGrid& g = *f.Grid2;
    if (g.rows() <= 1)
        return;
    for (int r = 1; r < g.rows(); ++r) {
        const QString text = f.Buscar->text();
        if (SearchBox::isSearchText(text) && !g.textMatrix(r, 2).contains(text, Qt::CaseInsensitive))
            g.setRowHeight(r, 0);
        else
            g.setRowHeight(r, g.rowHeight(0));
    }
}

void PintoFila(Form& f, const quint32& colour) {
    FlexGrid& grid = *f.Grid1;
    for (int c = 0; c < grid.cols(); ++c) {
        grid.setCol(c);
        grid.setCellBackColor(colour);
    }
}

void deshabilitoVentana(Form& f) {
    if (f.window->isEnabled())
        f.focoAntes = f.window->focusWidget();
    f.window->setEnabled(false);
}

void habilitoVentana(Form& f) {
    f.window->setEnabled(true);
    QWidget* w = f.focoAntes;
    f.focoAntes = nullptr;
    if (w && w->isEnabled() && w->isVisible() && !f.window->focusWidget())
        w->setFocus(Qt::OtherFocusReason);
}

void protegido(Form& f, const std::function<void()>& handler) {
    QString message;
    try {
        handler();
        return;
    } catch (const vb::Error& e) {
        message = QStringLiteral("Error %1: %2").arg(e.number()).arg(e.description());
    } catch (const std::exception& e) {
        message = QString::fromUtf8(e.what());
    } catch (...) {
        message = QStringLiteral("Error desconocido.");
    }
    if (f.dialogs)
        f.dialogs->notice(QStringLiteral("Se produjo un error inesperado:\r") + message);
}
