// The whole chain on this machine: a sample catalogue in a fresh folder, the marketplace's API double (in this
// process, on a thread of its own) holding a seller whose items match many of its products, the maker's gateway
// (the vantoria-gateway program beside this one, with its own store and key in that folder and the demo account
// linked to the seller through the double's authorization form), and the real window signing in to the gateway.
//
//   vantoria-demo                      opens the window; sign in with the account it prints
//   vantoria-demo --screenshot FILE    signs in through the window's controls, waits for the listings, saves FILE
//   ... --screenshot FILE --bulk       then pushes every linked product's price in one batch (clock sped up; the
//                                      marketplace refuses a few items: below the minimum, automated, paused) and
//                                      saves FILE when it has ended
//   ... --screenshot FILE --during-bulk   the same batch, saved while it runs (the wait panel)
//   ... --screenshot FILE --editor     the price editor open over a product's price
//   ... --screenshot FILE --status-tooltip   a sign-in while the gateway is stopped, the pointer resting on the
//                                      status line and its tooltip shown
//
// Exit status: 0 done (or the window closed), 1 a step failed or FILE cannot be written, 2 wrong command line,
// 128 + the signal's number after Ctrl+C (SIGINT) or SIGTERM, which close the window and remove the sample folder
// as a normal exit does.
#include "CatalogueGenerator.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "JetSql.h"
#include "SimGateway.h"
#include "SimWindow.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#elif defined(Q_OS_WIN)
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

using sim::esperoQue, sim::ventanaLista, sim::ventanaQuieta;

const QString DemoUser = QStringLiteral("demo");
const QString DemoPassword = QStringLiteral("vantoria");
const QString DemoSeller = QStringLiteral("187654321");

constexpr int Products = 400;
// The category's minimum price on the marketplace: a price below it is refused.
constexpr double MinimumPrice = 1.0;

// Marketplace wording around a product's name, as sellers write their titles.
const char* const Suffixes[] = {" - Envío Gratis", " Original", " Nuevo", " + Garantía", " Oferta", ""};

// A catalogue in which every third product is on sale on the marketplace (the seller's items MLV700000000 + i, in
// catalogue order), and one in four of those was linked to its item by an earlier run of the program. Three linked
// items are refused when their price is pushed: the first product of the list priced below the category's minimum,
// and the second and third linked products of the list (as the window orders it), one whose price the marketplace
// sets by itself and one paused (and so not among the listings downloaded).
struct Tienda {
    catalogo::Catalogo catalogo;
    QStringList titulos;  // the items' titles, by index
    QString bajoMinimo, automatica, pausada;
};

QString item(qsizetype i) {
    return QStringLiteral("MLV%1").arg(sim::ApiFirstItem + i);
}

Tienda tienda() {
    Tienda t;
    t.catalogo = catalogo::muestra(Products, 1);
    std::vector<catalogo::Producto>& productos = t.catalogo.productos;
    QRandomGenerator random(7);
    QList<qsizetype> aLaVenta(qsizetype(productos.size()), -1);  // the product's item, or -1
    for (size_t i = 0; i < productos.size(); ++i) {
        catalogo::Producto& p = productos[i];
        // Links come only from this demo's items; a product the operator unlinked ("-") stays so.
        if (p.serial != QStringLiteral("-"))
            p.serial.reset();
        if (p.inhabilitado || p.codigo % 3 != 0)
            continue;
        aLaVenta[qsizetype(i)] = t.titulos.size();
        t.titulos << p.nombre + QString::fromUtf8(Suffixes[random.bounded(int(std::size(Suffixes)))]);
    }
    // The list's order: by category (none first), then by name, as the window's query sorts.
    QHash<qint64, QString> categorias;
    for (const catalogo::Categoria& c : t.catalogo.categorias)
        categorias.insert(c.codigo, c.nombre);
    const auto categoria = [&](const catalogo::Producto& p) {
        return p.categoria ? categorias.value(*p.categoria) : QString();
    };
    QList<qsizetype> orden;
    for (qsizetype i = 0; i < qsizetype(productos.size()); ++i)
        if (!productos[size_t(i)].inhabilitado)
            orden << i;
    std::stable_sort(orden.begin(), orden.end(), [&](qsizetype a, qsizetype b) {
        const catalogo::Producto &x = productos[size_t(a)], &y = productos[size_t(b)];
        const int c = jet::compare(categoria(x), categoria(y));
        return c != 0 ? c < 0 : jet::compare(x.nombre, y.nombre) < 0;
    });
    int enlazados = 0;
    for (const qsizetype i : orden) {
        catalogo::Producto& p = productos[size_t(i)];
        const qsizetype n = aLaVenta[i];
        if (n < 0 || p.serial || !p.precio)
            continue;
        const QString id = item(n);
        if (*p.precio < MinimumPrice) {
            if (!t.bajoMinimo.isEmpty())
                continue;
            t.bajoMinimo = id;
        } else if ((n + 1) % 4 != 0) {
            continue;
        } else if (++enlazados == 2) {
            t.automatica = id;
        } else if (enlazados == 3) {
            t.pausada = id;
        }
        p.serial = id;
    }
    return t;
}

// The vantoria-gateway program beside this one (in the build folder and in the installed program's folder), or the
// one given with --gateway (the gateway's own package puts it in /usr/bin).
QString pasarelaPedida;
QString programaPasarela() {
    if (!pasarelaPedida.isEmpty())
        return pasarelaPedida;
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("vantoria-gateway"));
}

// Set once a signal has closed the window; the steps that then fail say so instead of naming themselves.
int senalRecibida = 0;
frmVantoria* ventanaAbierta = nullptr;

int falla(const char* paso) {
    if (senalRecibida)
        return 128 + senalRecibida;
    std::fprintf(stderr, "vantoria-demo: %s\n", paso);
    return 1;
}

// A signal ends the run through the window's own close, which ends every wait and the request in flight, so main
// returns and the sample folder is removed by its destructor; a signal's default action would leave it behind.
void alInterrumpir(int senal) {
    if (senalRecibida)
        return;
    senalRecibida = senal;
    std::fprintf(stderr, "vantoria-demo: stopped by signal %d\n", senal);
    if (ventanaAbierta)
        ventanaAbierta->close();
    QCoreApplication::exit(128 + senal);
}

#ifdef Q_OS_UNIX
int tuboSenales[2] = {-1, -1};

void alRecibirSenal(int senal) {
    const char c = char(senal);
    [[maybe_unused]] const ssize_t escrito = ::write(tuboSenales[1], &c, 1);
}

// The handler only writes the signal's number into a socket pair; the event loop reads it and acts there.
void atiendoSenales(QObject* dueno) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, tuboSenales) != 0)
        return;
    auto* aviso = new QSocketNotifier(tuboSenales[0], QSocketNotifier::Read, dueno);
    QObject::connect(aviso, &QSocketNotifier::activated, [] {
        char c = 0;
        if (::read(tuboSenales[0], &c, 1) == 1)
            alInterrumpir(int(c));
    });
    struct sigaction accion = {};
    accion.sa_handler = alRecibirSenal;
    sigemptyset(&accion.sa_mask);
    accion.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &accion, nullptr);
    ::sigaction(SIGTERM, &accion, nullptr);
}
#elif defined(Q_OS_WIN)
// Ctrl+C and Ctrl+Break arrive on a thread of their own; the close is queued to the window's thread.
BOOL WINAPI alRecibirControl(DWORD tipo) {
    if (tipo != CTRL_C_EVENT && tipo != CTRL_BREAK_EVENT)
        return FALSE;
    const int senal = tipo == CTRL_C_EVENT ? SIGINT : SIGTERM;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [senal] { alInterrumpir(senal); }, Qt::QueuedConnection);
    return TRUE;
}

void atiendoSenales(QObject*) {
    SetConsoleCtrlHandler(alRecibirControl, TRUE);
}
#else
void atiendoSenales(QObject*) {}
#endif

const char UsageText[] =
    "usage: vantoria-demo [--gateway PROGRAM] [--screenshot FILE [--bulk | --during-bulk | --editor |\n"
    "                     --status-tooltip]]\n"
    "Opens the window on a sample catalogue, the gateway and a marketplace double on 127.0.0.1.\n"
    "  --screenshot FILE  signs in with nobody at the keyboard and saves the window as a PNG\n"
    "  --bulk             ... after a batch of every linked product\n"
    "  --during-bulk      ... while that batch runs\n"
    "  --editor           ... with the price editor open\n"
    "  --status-tooltip   ... after a failed sign-in, with the status line's tooltip shown\n"
    "  --gateway PROGRAM  the vantoria-gateway to run (default: the one beside the demo)\n"
    "Exit status: 0 done, 1 a step failed or FILE cannot be written, 2 wrong command line,\n"
    "128 + the signal's number after SIGINT or SIGTERM.\n";

int usoErroneo(const QString& que) {
    std::fprintf(stderr, "vantoria-demo: %s\n%s", qPrintable(que), UsageText);
    return 2;
}

enum class Escena { Publicaciones, Editor, DuranteTanda, Tanda, AyudaEstado };

// The scenes of a batch: after it, or while it runs.
bool esTanda(Escena e) {
    return e == Escena::Tanda || e == Escena::DuranteTanda;
}

bool guardo(frmVantoria& w, const QString& archivo) {
    if (senalRecibida || !w.grab().save(archivo))
        return false;
    std::printf("%s\n", qPrintable(archivo));
    return true;
}

// The pointer resting on the status line: the help event the window system's pause brings goes to the widget under
// the pointer, and the window is saved with the tooltip it shows drawn where a desktop puts it, below the pointer.
bool guardoConAyuda(frmVantoria& w, const QString& archivo) {
    Form& f = w.form();
    const QPoint en = f.VerEstado->geometry().topLeft() + QPoint(60, f.VerEstado->height() / 2);  // on its text
    QWidget* bajo = f.client->childAt(en);
    QWidget* destino = bajo ? bajo : f.client;
    const QPoint global = f.client->mapToGlobal(en);
    QHelpEvent ayuda(QEvent::ToolTip, destino->mapFromGlobal(global), global);
    QApplication::sendEvent(destino, &ayuda);
    if (!QToolTip::isVisible() || QToolTip::text().isEmpty())
        return false;
    QPixmap imagen = w.grab();
    for (QWidget* ventana : QApplication::topLevelWidgets())
        if (ventana->inherits("QTipLabel") && ventana->isVisible()) {
            QPainter p(&imagen);
            const QPixmap tip = ventana->grab();
            const QPoint junto = w.mapFromGlobal(global) + QPoint(2, 16);
            p.drawPixmap(qMin(junto.x(), imagen.width() - tip.width() - 2), junto.y(), tip);
        }
    if (senalRecibida || !imagen.save(archivo))
        return false;
    std::printf("%s\n", qPrintable(archivo));
    return true;
}

// A left click on a cell, as the mouse gives it.
void clic(FlexGrid* grid, int fila, int columna) {
    grid->cells().flush();
    const QPoint en = grid->visualRect(grid->model()->index(fila - 1, columna)).center();
    for (QEvent::Type tipo : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent e(tipo, en, grid->viewport()->mapToGlobal(en), Qt::LeftButton,
                      tipo == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(grid->viewport(), &e);
    }
}

// Signs in through the window's own controls and saves the window once the listings are in, or in the scene asked
// for after that.
int captura(frmVantoria& w, ScriptedDialogs& dialogos, const QString& archivo, int publicaciones, Escena escena,
            sim::GatewayProgram& pasarela) {
    Form& f = w.form();
    const bool masivo = esTanda(escena);
    if (!esperoQue([&] { return ventanaLista(w) && f.Grid1->rows() > 1; }, 60'000))
        return falla("the catalogue did not load");
    f.Usuario->setText(DemoUser);
    f.Clave->setText(DemoPassword);
    f.Command1->click();
    if (!esperoQue([&] { return ventanaQuieta(w); }, 120'000))
        return falla("the sign-in and listing download did not end");
    if (escena == Escena::AyudaEstado) {
        if (f.Grid2->rows() != 1 || f.VerEstado->toolTip().isEmpty())
            return falla("the sign-in did not fail with the gateway stopped");
        esperoQue([] { return false; }, 300);
        return guardoConAyuda(w, archivo) ? 0 : falla("the status line's tooltip could not be shown or saved");
    }
    if (f.Grid2->rows() != publicaciones + 1 || !dialogos.shown.isEmpty())
        return falla("the listings did not all arrive (see the status line in the window)");
    if (masivo) {
        dialogos.answers = {true};
        // While the batch runs, once a few items are done, the wait panel is saved.
        bool guardado = false;
        QTimer vistazo;
        QObject::connect(&vistazo, &QTimer::timeout, [&] {
            if (escena == Escena::DuranteTanda && !guardado &&
                f.Label3->text().contains(QStringLiteral("Actualizando (5)"))) {
                guardado = true;
                guardo(w, archivo);
            }
        });
        vistazo.start(5);
        f.Command2->click();  // returns when the batch has ended
        vistazo.stop();
        if (senalRecibida)
            return 128 + senalRecibida;  // the close ended the batch; its picture would show a half batch
        if (escena == Escena::DuranteTanda && !guardado)
            return falla("the batch ended before its wait panel could be saved");
        if (f.operacionEnCurso || dialogos.shown.size() != 1) {
            for (const ScriptedDialogs::Shown& d : dialogos.shown.mid(1))
                std::fprintf(stderr, "[%s] %s\n", qPrintable(d.caption),
                             qPrintable(QString(d.text).replace(u'\r', u'\n')));
            return falla("the batch did not end as expected");
        }
        int celeste = 0, naranja = 0, enviados = 0;
        for (int r = 1; r < f.Grid1->rows(); ++r) {
            const FlexGridModel::Cell& c = f.Grid1->cells().cell(r, 2);
            celeste += c.hasBack && QColor(c.back) == QColor(208, 255, 255);
            naranja += c.hasBack && QColor(c.back) == QColor(255, 127, 10);
            enviados += f.Grid1->textMatrix(r, 4).size() > 1;
        }
        std::printf("batch: %d linked products, %d pushed (pale cyan), %d failed (orange), %d refused\n", enviados,
                    celeste, naranja, enviados - celeste - naranja);
        // The gateway's audit says why: one line a price asked (time, user, seller, item, asked, set, outcome, status).
        for (const QByteArray& linea : pasarela.run({QStringLiteral("audit")}).split('\n')) {
            const QList<QByteArray> campos = linea.split('\t');
            if (campos.size() == 8 && campos[3] != "publicacion" && !campos[6].startsWith("Listo!!!"))
                std::printf("refused %s (price %s): %s\n", campos[3].constData(), campos[4].constData(),
                            campos[6].constData());
        }
    }
    if (escena == Escena::DuranteTanda)
        return 0;
    f.Grid1->scrollToTop();
    f.Grid2->setRow(1);
    f.Grid2->setCol(0);
    f.Grid2->scrollToTop();
    if (escena == Escena::Editor) {
        // The fourth product with a price, as an operator about to change it.
        int fila = 0;
        for (int r = 1, conPrecio = 0; r < f.Grid1->rows() && !fila; ++r)
            if (!f.Grid1->textMatrix(r, 3).isEmpty() && ++conPrecio == 4)
                fila = r;
        if (!fila)
            return falla("no product has a price");
        clic(f.Grid1, fila, 3);
        if (!f.Casilla->isVisible())
            return falla("the price editor did not open");
    }
    esperoQue([] { return false; }, 300);
    if (!guardo(w, archivo))
        return falla("the screenshot could not be written");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    QString archivo;
    Escena escena = Escena::Publicaciones;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-h") == 0 || qstrcmp(argv[i], "--help") == 0) {
            std::fputs(UsageText, stdout);
            return 0;
        } else if (qstrcmp(argv[i], "--bulk") == 0) {
            escena = Escena::Tanda;
        } else if (qstrcmp(argv[i], "--during-bulk") == 0) {
            escena = Escena::DuranteTanda;
        } else if (qstrcmp(argv[i], "--editor") == 0) {
            escena = Escena::Editor;
        } else if (qstrcmp(argv[i], "--status-tooltip") == 0) {
            escena = Escena::AyudaEstado;
        } else if (qstrcmp(argv[i], "--gateway") == 0) {
            if (i + 1 == argc)
                return usoErroneo(QStringLiteral("--gateway needs a program"));
            pasarelaPedida = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[++i]));
        } else if (qstrcmp(argv[i], "--screenshot") == 0) {
            if (i + 1 == argc)
                return usoErroneo(QStringLiteral("--screenshot needs a file name"));
            if (qstrcmp(argv[++i], "-") == 0)
                return usoErroneo(QStringLiteral("--screenshot needs a file name, not -"));
            // Absolute now: the window makes its own folder the current one.
            archivo = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[i]));
        } else {
            return usoErroneo(QStringLiteral("unknown option ") + QString::fromLocal8Bit(argv[i]));
        }
    }
    const bool masivo = esTanda(escena);
    if (escena != Escena::Publicaciones && archivo.isEmpty())
        return usoErroneo(
            QStringLiteral("--bulk, --during-bulk, --editor and --status-tooltip go with --screenshot FILE"));
    // A picture that cannot be written is known before the minutes of a batch are spent.
    if (!archivo.isEmpty() && QFileInfo(archivo).isDir())
        return falla(qPrintable(QStringLiteral("cannot write %1: it is a folder").arg(archivo)));
    if (!archivo.isEmpty() && !QFileInfo(archivo).absoluteDir().exists())
        return falla(qPrintable(QStringLiteral("cannot write %1: its folder does not exist").arg(archivo)));
#ifdef Q_OS_UNIX
    // With nobody at the keyboard and no display, the window is drawn offscreen.
    if (!archivo.isEmpty() && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    QApplication app(argc, argv);
    atiendoSenales(&app);

    QTemporaryDir carpeta;
    if (!carpeta.isValid())
        return falla("no folder for the sample catalogue");
    const Tienda t = tienda();
    try {
        catalogo::escribo(carpeta.filePath(QStringLiteral("Base de Datos.dba")), t.catalogo);
    } catch (const std::exception& e) {
        return falla(e.what());
    }

    // The marketplace's API: the seller's items, the category's minimum, one item automated, one paused.
    sim::ApiOptions api;
    api.seller = DemoSeller;
    api.items = int(t.titulos.size());
    api.titles = t.titulos;
    api.minPrice = QString::number(MinimumPrice, 'f', 2);
    for (const auto& [ids, id] : {std::pair{&api.automated, t.automatica}, std::pair{&api.paused, t.pausada}})
        if (!id.isEmpty())
            ids->insert(id);
    sim::MarketSim mercado;
    if (!mercado.serveApi(api) || !mercado.start())
        return falla(qPrintable(QStringLiteral("the marketplace's API double did not start: ") + mercado.error()));
    const int publicaciones = api.items - int(api.paused.size());

    // The gateway in front of it, its store and key in the sample folder, the demo account linked to the seller.
    sim::GatewayProgram pasarela(programaPasarela(), carpeta.filePath(QStringLiteral("pasarela")));
    if (!pasarela.start(mercado, api, DemoUser, DemoPassword))
        return falla(qPrintable(QStringLiteral("the gateway did not start: ") + pasarela.error()));
    if (escena == Escena::AyudaEstado && pasarela.stop() != 0)
        return falla("the gateway did not stop");  // the sign-in then finds nobody serving

    // With nobody at the keyboard the message boxes answer themselves (Yes to the batch) and are checked.
    ScriptedDialogs dialogos;
    frmVantoria::Options o;
    o.programFolder = carpeta.path();
    if (!archivo.isEmpty())
        o.dialogs = &dialogos;
    if (masivo)
        o.velocidadReloj = 25;  // the batch's seconds and pauses pass 25 times faster
    sim::apuntoALaPasarela(o, pasarela);
    o.carpetaDiario = carpeta.filePath(QStringLiteral("journal"));
    frmVantoria w(o);
    ventanaAbierta = &w;
    const struct Olvido {
        ~Olvido() { ventanaAbierta = nullptr; }
    } olvido;
    w.show();
    w.activateWindow();

    if (!archivo.isEmpty()) {
        const int estado = captura(w, dialogos, archivo, publicaciones, escena, pasarela);
        return senalRecibida ? 128 + senalRecibida : estado;
    }

    std::printf(
        "Vantoria demo: %d products in %s\n"
        "Marketplace's API double at %s with %d active listings; the gateway at %s.\n"
        "Sign in with  Usuario: %s   Clave: %s\n",
        Products, qPrintable(carpeta.path()), qPrintable(mercado.baseUrl()), publicaciones,
        qPrintable(pasarela.baseUrl()), qPrintable(DemoUser), qPrintable(DemoPassword));
    std::fflush(stdout);
    const int estado = app.exec();
    return senalRecibida ? 128 + senalRecibida : estado;
}
