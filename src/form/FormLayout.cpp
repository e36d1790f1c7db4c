#include "Artwork.h"
#include "FlexGrid.h"
#include "Form.h"
#include "ResultBox.h"
#include "SearchBox.h"
#include "Surfaces.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <initializer_list>

namespace {

template <typename W>
W* place(W* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(FlexGrid::pixels(left), FlexGrid::pixels(top), FlexGrid::pixels(width),
                        FlexGrid::pixels(height));
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& text, int left, int top, int width, int height,
              bool autoSize = false) {
    auto* l = place(new QLabel(parent), name, left, top, width, height);
    l->setTextFormat(Qt::PlainText);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setText(text);
    // Labels are windowless: the surface behind them takes the mouse.
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    if (autoSize) {
        l->setProperty(AutoSizeProperty, true);
        l->adjustSize();
    }
    return l;
}

QFont arial(double points) {
    QFont f(QStringLiteral("Arial"));
    f.setPointSizeF(points);
    return f;
}

void colours(QWidget* w, QPalette::ColorRole backRole, const QColor& back, QPalette::ColorRole textRole,
             const QColor& text) {
    QPalette pal = w->palette();
    if (back.isValid())
        pal.setColor(backRole, back);
    if (text.isValid())
        pal.setColor(textRole, text);
    w->setPalette(pal);
}

}  // namespace

void layOutForm(Form& f, QWidget* window, QWidget* client) {
    f.window = window;
    f.client = client;
    client->setFont(arial(8));

    auto* area = qobject_cast<ClientArea*>(client);
    if (area)
        area->setPicture(artwork::fondoVentana());
    f.ImgList1[0] = artwork::enviarPrecio();
    f.ImgList1[1] = artwork::vincular();

    f.Check1 = place(new QCheckBox(QStringLiteral("Solo los no afectados"), client), "Check1", 8280, 120, 2295, 255);
    f.Check1->setChecked(true);

    f.Command2 = place(new QPushButton(client), "Command2", 10440, 4680, 375, 255);
    f.Command2->setIcon(QIcon(artwork::actualizarTodos()));
    f.Command2->setIconSize(QSize(20, 18));
    f.Command2->setToolTip(QStringLiteral("Click aquí para actualizar todos los precios"));
    f.Command2->setEnabled(false);

    f.Casilla = place(new QLineEdit(client), "Casilla", 6120, 840, 735, 285);
    f.Casilla->setFont(arial(6.75));
    colours(f.Casilla, QPalette::Base, QColor(221, 169, 26), QPalette::Text, QColor());
    f.Casilla->hide();

    const QString tip = QStringLiteral("Indique aquí el número de documento y presione ENTER");
    f.Buscar = place(new SearchBox(client), "Buscar", 11400, 600, 6225, 285);
    f.BuscarPalabra = place(new SearchBox(client), "BuscarPalabra", 720, 480, 9705, 285);
    for (SearchBox* box : {f.Buscar, f.BuscarPalabra}) {
        box->setToolTip(tip);
        colours(box, QPalette::Base, QColor(208, 255, 255), QPalette::Text, QColor(0, 0, 64));
    }
    f.Buscar->setEnabled(false);

    f.Resultado = place(new ResultBox(client), "Resultado", 720, 5880, 6255, 1575);
    f.Resultado->hide();

    auto* panel = place(new WaitPanel(client), "Frame1", 120, 840, 10335, 9320);
    f.Frame1 = panel;
    panel->setTitle(QStringLiteral("Por favor espere..."));
    panel->setAutoFillBackground(true);
    colours(panel, QPalette::Window, QColor(224, 224, 224), QPalette::WindowText, QColor());
    f.Barra1 = place(new QProgressBar(panel), "Barra1", 120, 2760, 10095, 255);
    f.Barra1->setTextVisible(false);
    f.Barra1->setRange(0, 100);
    f.Barra1->setValue(0);
    f.Detalle02 = label(panel, "Detalle02", QStringLiteral("..."), 120, 3480, 10095, 2475);
    f.Detalle02->setWordWrap(true);
    f.Detalle01 = label(panel, "Detalle01", QStringLiteral("..."), 120, 3240, 135, 195, true);
    f.EstadoConexion = label(panel, "EstadoConexion", QStringLiteral("..."), 120, 3000, 135, 195, true);
    f.Label3 = label(panel, "Label3", QString::fromUtf16(TextoEspera), 120, 2520, 3105, 195, true);
    // Right-aligned with the progress bar, above the progress text; hidden but while a download or a batch runs.
    f.CmdCancelar = place(new QPushButton(QStringLiteral("Cancelar"), panel), "CmdCancelar", 9240, 2160, 975, 255);
    // The window shows a busy cursor while it takes no input; over the one button that still takes a click, the
    // usual arrow.
    f.CmdCancelar->setCursor(Qt::ArrowCursor);
    f.CmdCancelar->setFocusPolicy(Qt::NoFocus);
    f.CmdCancelar->hide();
    auto* backdrop = place(new Backdrop(panel), "Image1", -120, -840, 21225, 10260);
    backdrop->setPixmap(artwork::fondoEspera());
    f.Image1 = backdrop;
    // Inside the panel, front to back as listed.
    for (QWidget* w : std::initializer_list<QWidget*>{backdrop, f.Label3, f.EstadoConexion, f.Detalle01, f.Detalle02,
                                                      f.Barra1, f.CmdCancelar})
        w->raise();
    panel->hide();

    f.Grid1 = place(new FlexGrid(client), "Grid1", 120, 1200, 10335, 8895);
    f.Grid1->setFont(arial(6.75));
    f.Grid1->setFixedCols(1);

    f.Command1 = place(new QPushButton(QStringLiteral("Conectar"), client), "Command1", 16680, 120, 975, 255);
    f.Clave = place(new QLineEdit(client), "Clave", 15240, 120, 1335, 285);
    f.Clave->setEchoMode(QLineEdit::Password);
    f.Clave->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    f.Usuario = place(new QLineEdit(client), "Usuario", 11400, 120, 3255, 285);

    f.Grid2 = place(new FlexGrid(client), "Grid2", 10800, 1200, 9495, 9000);
    f.Grid2->setFont(arial(6.75));

    f.VerEstado = label(client, "VerEstado", QStringLiteral("..."), 10800, 960, 9495, 255);
    f.VerEstado->setFont(arial(8.25));
    f.VerEstado->setMask(QRegion(0, 0, f.VerEstado->width(), f.VerEstado->height() - 1));
    f.Label5 = label(client, "Label5", QStringLiteral("Buscar"), 10800, 600, 615, 255);
    f.Label4 = label(client, "Label4", QStringLiteral("Buscar"), 120, 480, 615, 255);
    f.GetState = label(client, "GetState", QStringLiteral("..."), 120, 6960, 135, 195, true);
    colours(f.GetState, QPalette::Window, QColor(), QPalette::WindowText, QColor(0, 0, 192));
    // It lies behind the product grid and is never seen; hidden, its text changes cost no repaint of the grid.
    f.GetState->hide();
    f.Label2 = label(client, "Label2", QStringLiteral("Clave"), 14760, 120, 495, 255);
    f.Label1 = label(client, "Label1", QStringLiteral("Usuario"), 10800, 120, 615, 255);

    // Front to back; raising from the back leaves the first one in front.
    const std::initializer_list<QWidget*> frontToBack{
        f.Check1, f.Command2, f.Casilla, f.Buscar,    f.BuscarPalabra, f.Resultado, f.Frame1,   f.Grid1,  f.Command1,
        f.Clave,  f.Usuario,  f.Grid2,   f.VerEstado, f.Label5,        f.Label4,    f.GetState, f.Label2, f.Label1};
    for (auto it = std::rbegin(frontToBack); it != std::rend(frontToBack); ++it)
        (*it)->raise();

    const std::initializer_list<QWidget*> tabs{f.Usuario,       f.Clave,  f.Command1, f.Grid1,    f.Grid2,
                                               f.BuscarPalabra, f.Buscar, f.Casilla,  f.Command2, f.Check1};
    QWidget* previous = nullptr;
    for (QWidget* w : tabs) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
    f.Usuario->setFocus();

    if (area)
        QObject::connect(area, &ClientArea::mouseMoved, area, [&f] { protegido(f, [&f] { Form_MouseMove(f); }); });
    QObject::connect(panel, &WaitPanel::mouseMoved, panel, [&f] { protegido(f, [&f] { Form_MouseMove(f); }); });
}
