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
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <exception>

namespace {

// Drops the operator's input to one window and its controls; other windows (its message boxes) are left alone, and
// so is the one control that may stop the work (`abierto`) while it can be used.
class EntradaCerrada : public QObject {
  public:
    EntradaCerrada(QWidget* window, QWidget* abierto) : QObject(window), window_(window), abierto_(abierto) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!watched->isWidgetType() || !esEntrada(event->type()))
            return false;
        if (watched == abierto_ && abierto_->isVisible() && abierto_->isEnabled())
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
    QWidget* abierto_;
};

// The texts of a status label. The channel reports several states a request, so a visible label could change and
// repaint hundreds of times a second, each repaint costing as much as a request. Its first change shows at once;
// further ones within the next 30 ms show together at their end, so the label always ends up showing its last
// text. A hidden label takes every text at once, and is sized to it when it shows.
class TextoEspaciado : public QObject {
  public:
    static constexpr int IntervaloMs = 30;

    explicit TextoEspaciado(QLabel* label) : QObject(label), label_(label) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            if (hayPendiente_) {
                muestroYa();
                timer_.start(IntervaloMs);
            }
        });
    }

    QString ultimo() const { return hayPendiente_ ? pendiente_ : label_->text(); }

    void pongo(const QString& text) {
        if (label_->isVisible() && timer_.isActive()) {
            pendiente_ = text;
            hayPendiente_ = true;
            return;
        }
        aplico(text);
        if (label_->isVisible())
            timer_.start(IntervaloMs);
    }

    void muestroYa() {
        if (!hayPendiente_)
            return;
        hayPendiente_ = false;
        aplico(pendiente_);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == label_ && event->type() == QEvent::Show && sinAjustar_) {
            sinAjustar_ = false;
            label_->removeEventFilter(this);
            label_->adjustSize();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    void aplico(const QString& text) {
        label_->setText(text);
        if (!label_->property(AutoSizeProperty).toBool())
            return;
        // Measuring a text costs more than setting it: a hidden label is measured when it shows.
        if (label_->isVisible()) {
            label_->adjustSize();
        } else if (!sinAjustar_) {
            sinAjustar_ = true;
            label_->installEventFilter(this);
        }
    }

    QLabel* label_;
    QTimer timer_;
    QString pendiente_;
    bool hayPendiente_ = false;
    bool sinAjustar_ = false;
};

TextoEspaciado* espaciado(QLabel* label, bool crear) {
    auto* e = label->findChild<TextoEspaciado*>(QString(), Qt::FindDirectChildrenOnly);
    if (!e && crear)
        e = new TextoEspaciado(label);
    return e;
}

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
        if (SearchBox::isSearchText(text) &&
            !g.textMatrix(r, colPublicaciones::Titulo).contains(text, Qt::CaseInsensitive))
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

void dejoCorrerEventos() {
    QCoreApplication::processEvents();
}

void deshabilitoVentana(Form& f) {
    if (f.deshabilitada)
        return;
    f.deshabilitada = true;
    if (!f.entradaCerrada)
        f.entradaCerrada = new EntradaCerrada(f.window, f.CmdCancelar);
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
    TextoEspaciado* e = espaciado(label, true);
    // Most states a request reports leave the text as it is.
    if (e->ultimo() != text)
        e->pongo(text);
}

void ponAyuda(QLabel* label, const QString& text) {
    // A tooltip guesses rich text from a leading tag: escaped and wrapped, a server's "<html>" stays text.
    label->setToolTip(text.isEmpty() ? QString()
                                     : QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped()));
}

void muestroTextos(Form& f) {
    for (QLabel* label : {f.VerEstado, f.GetState, f.Detalle01, f.Detalle02, f.EstadoConexion, f.Label3})
        if (TextoEspaciado* e = espaciado(label, false))
            e->muestroYa();
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
