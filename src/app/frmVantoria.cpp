#include "frmVantoria.h"

#include "Artwork.h"
#include "EnvioMasivo.h"
#include "EnvioPrecio.h"
#include "EstadoCanal.h"
#include "FlexGrid.h"
#include "Inet.h"
#include "Ingreso.h"
#include "ListingLink.h"
#include "Mercado.h"
#include "Operacion.h"
#include "PriceEntry.h"
#include "ProductList.h"
#include "Reloj.h"
#include "SearchBox.h"
#include "Surfaces.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>

frmVantoria::frmVantoria() : frmVantoria(Options()) {}

frmVantoria::frmVantoria(Options options) : options_(std::move(options)) {
    setWindowTitle(QStringLiteral("Vantoria V 1.0.2"));
    setWindowIcon(QIcon(artwork::icono(64)));
    setObjectName(QStringLiteral("frmVantoria"));
    // The layout is fixed: the client area is 20355 x 10290 twips.
    setFixedSize(qRound(20355 / 15.0), qRound(10290 / 15.0));
    auto* client = new ClientArea(this);
    client->setObjectName(QStringLiteral("client"));
    client->setGeometry(rect());

    if (!options_.dialogs) {
        qtDialogs_ = std::make_unique<QtDialogs>(this);
        form_.dialogs = qtDialogs_.get();
    } else {
        form_.dialogs = options_.dialogs;
    }
    layOutForm(form_, this, client);

    const QString folder =
        options_.programFolder.isEmpty() ? QCoreApplication::applicationDirPath() : options_.programFolder;
    Form_Load(form_, folder);
    const Configuracion configuracion = options_.configuracion.value_or(Configuracion::deCompilacion());
    if (!configuracion.archivoCatalogo.isEmpty())
        form_.RutaBaseDatos = QDir::toNativeSeparators(configuracion.archivoCatalogo);

    connect(form_.Grid1, &FlexGrid::Click, this, &frmVantoria::Grid1_Click);
    connect(form_.Grid1, &FlexGrid::DblClick, this, &frmVantoria::Grid1_DblClick);
    // The link gestures act on the listing clicked: a click on the header row or below the last row links nothing.
    connect(form_.Grid2, &FlexGrid::Click, this, [this] {
        if (form_.Grid2->clickOnCell())
            protegido(form_, [this] { Grid2_Click(form_, DBEngine()); });
    });
    connect(form_.Grid2, &FlexGrid::DblClick, this, [this] {
        if (form_.Grid2->clickOnCell())
            protegido(form_, [this] { Grid2_DblClick(form_, DBEngine()); });
    });
    new TeclasEscritas(form_.Casilla, [this](int& KeyAscii) {
        protegido(form_, [this, &KeyAscii] { Casilla_KeyPress(form_, DBEngine(), KeyAscii); });
    });
    connect(form_.BuscarPalabra, &SearchBox::enterPressed, this, &frmVantoria::BuscarPalabra_Enter);
    connect(form_.Buscar, &SearchBox::enterPressed, this, &frmVantoria::Buscar_Enter);

    Inet::Ajustes ajustes;
    ajustes.autoridadesExtra = options_.autoridadesExtra ? *options_.autoridadesExtra : configuracion.autoridadesExtra;
    ajustes.sinDatosMs = options_.sinDatosMs;
    ajustes.totalMs = options_.totalMs;
    ajustes.paginasEnUnaConexion = options_.paginasEnUnaConexion;
    inet_ = new Inet(ajustes, this);
    reloj_ = std::make_unique<Reloj>(options_.velocidadReloj);
    mercado_ = std::unique_ptr<Mercado>(
        new Mercado{*inet_,
                    *reloj_,
                    options_.urlMercado.isEmpty() ? configuracion.urlMercado : options_.urlMercado,
                    options_.urlPasarela.isEmpty() ? configuracion.urlPasarela : options_.urlPasarela,
                    nullptr,
                    {},
                    0,
                    {}});
    const QString diario = !options_.carpetaDiario.isEmpty()        ? options_.carpetaDiario
                           : !configuracion.carpetaDiario.isEmpty() ? configuracion.carpetaDiario
                                                                    : carpetaDiario();
    diario_ = std::make_unique<Diario>(
        Diario::Opciones{diario, options_.relojDiario, [this](const QString& aviso) { form_.dialogs->notice(aviso); }});
    mercado_->diario = diario_.get();
    connect(inet_, &Inet::StateChanged, this, &frmVantoria::Inet1_StateChanged);
    connect(form_.Command1, &QPushButton::clicked, this, &frmVantoria::Command1_Click);
    connect(form_.Command2, &QPushButton::clicked, this,
            [this] { protegido(form_, [this] { ::Command2_Click(form_, *mercado_); }); });
    connect(form_.CmdCancelar, &QPushButton::clicked, this,
            [this] { protegido(form_, [this] { CmdCancelar_Click(form_); }); });
    // Enter in the password box signs in as "Conectar" does; the key itself is left to the box.
    connect(form_.Clave, &QLineEdit::returnPressed, this, &frmVantoria::Command1_Click);
}

frmVantoria::~frmVantoria() {
    form_.cerrando = true;
    inet_->cierro();
}

DatabaseEngine& frmVantoria::DBEngine() {
    if (!engine_)
        engine_ = std::make_unique<DatabaseEngine>(options_.statementObserver,
                                                   options_.odbc.value_or(OdbcSettings::platform()));
    return *engine_;
}

bool frmVantoria::event(QEvent* e) {
    const bool done = QWidget::event(e);
    if (e->type() == QEvent::WindowActivate)
        Form_Activate();
    return done;
}

void frmVantoria::closeEvent(QCloseEvent* e) {
    // Every wait ends at its next step and the request in flight is dropped: nothing is sent after the close.
    form_.cerrando = true;
    inet_->cierro();
    e->accept();
}

void frmVantoria::Form_Activate() {
    if (!form_.PrimeraVez)
        return;
    // Cleared before the load starts, so an activation arriving while it yields does not load again.
    form_.PrimeraVez = false;
    if (options_.configuracion && !options_.configuracion->problemas.isEmpty())
        form_.dialogs->notice(options_.configuracion->problemas.join(u'\r'));
    protegido(form_, [this] { CargoProductos(form_, DBEngine()); });
}

void frmVantoria::Grid1_Click() {
    protegido(form_, [this] {
        // Every click first drops an open price edit.
        form_.Casilla->hide();
        // Pushing and editing act on the cell clicked, never on a click on the header row or below the last row.
        if (!form_.Grid1->clickOnCell())
            return;
        // A click on the push icon sends the product's price; the editor shows only over a "Precio" cell.
        EnvioPrecio(form_, *mercado_);
        MuestroCasilla(form_);
    });
}

void frmVantoria::Grid1_DblClick() {
    form_.Casilla->hide();
    if (!form_.Grid1->clickOnCell())
        return;
    protegido(form_, [this] { ::Grid1_DblClick(form_, DBEngine()); });
}

void frmVantoria::BuscarPalabra_Enter() {
    protegido(form_, [this] { CargoProductos(form_, DBEngine()); });
}

void frmVantoria::Buscar_Enter() {
    protegido(form_, [this] { FiltroPublicaciones(form_); });
}

void frmVantoria::Command1_Click() {
    protegido(form_, [this] { ::Command1_Click(form_, *mercado_); });
}

void frmVantoria::Inet1_StateChanged(int State) {
    protegido(form_, [this, State] { ::Inet1_StateChanged(form_, *mercado_, State); });
}
