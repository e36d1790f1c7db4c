#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "SearchBox.h"
#include "VbError.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>

#include <exception>

namespace {

// Drops the operator's input to one window and its controls; other windows (its message boxes) are left alone.
class EntradaCerrada : public QObject {
  public:
    explicit EntradaCerrada(QWidget* window) : QObject(window), window_(window) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!watched->isWidgetType() || !esEntrada(event->type()))
            return false;
        return static_cast<QWidget*>(watched)->window() == window_;
    }

  private:
    static bool esEntrada(QEvent::Type t) {
        switch (t) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::ContextMenu:
            case QEvent::InputMethod:
            case QEvent::TabletPress:
            case QEvent::TabletRelease:
            case QEvent::TabletMove:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
                return true;
            default:
                return false;
        }
    }

    QWidget* window_;
};

// A status label changes several times a request. The first change is painted at once; further ones within the
// next few milliseconds are painted together at their end, so a quick run of requests does not pay a repaint for
// every state while the label always ends up showing its last text.
class RepintoEspaciado : public QObject {
  public:
    static constexpr int IntervaloMs = 30;

    explicit RepintoEspaciado(QLabel* label) : QObject(label), label_(label) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            if (!label_->updatesEnabled()) {
                label_->setUpdatesEnabled(true);
                timer_.start(IntervaloMs);
            }
        });
    }

    void antesDeCambiar() {
        if (timer_.isActive())
            label_->setUpdatesEnabled(false);
        else
            timer_.start(IntervaloMs);
    }

    // Sizes the label to its text; a hidden one (the status labels of the wait panel, GetState) when it shows, as
    // measuring a text costs more than setting it.
    void ajusto() {
        if (label_->isVisible()) {
            label_->adjustSize();
            return;
        }
        if (!pendiente_)
            label_->installEventFilter(this);
        pendiente_ = true;
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == label_ && event->type() == QEvent::Show && pendiente_) {
            pendiente_ = false;
            label_->removeEventFilter(this);
            label_->adjustSize();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool pendiente_ = false;
    QLabel* label_;
    QTimer timer_;
};

}  // namespace

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
    if (f.deshabilitada)
        return;
    f.deshabilitada = true;
    if (!f.entradaCerrada)
        f.entradaCerrada = new EntradaCerrada(f.window);
    QCoreApplication::instance()->installEventFilter(f.entradaCerrada);
    f.window->setCursor(Qt::BusyCursor);
}

void habilitoVentana(Form& f) {
    if (!f.deshabilitada)
        return;
    f.deshabilitada = false;
    QCoreApplication::instance()->removeEventFilter(f.entradaCerrada);
    f.window->unsetCursor();
}

bool ventanaHabilitada(const Form& f) {
    return !f.deshabilitada;
}

void ponTexto(QLabel* label, const QString& text) {
    // The channel reports several states a request, most of them with the text already shown.
    if (label->text() == text)
        return;
    auto* espaciado = label->findChild<RepintoEspaciado*>(QString(), Qt::FindDirectChildrenOnly);
    if (!espaciado)
        espaciado = new RepintoEspaciado(label);
    espaciado->antesDeCambiar();
    label->setText(text);
    if (label->property(AutoSizeProperty).toBool())
        espaciado->ajusto();
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
