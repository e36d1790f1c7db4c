// The program against the marketplace simulator on this machine: a sample catalogue in a fresh folder, a seller
// whose listings match many of its products, and the real window.
//
//   vantoria-demo                      opens the window; sign in with the account it prints
//   vantoria-demo --screenshot FILE    signs in through the window's controls, waits for the listings, saves FILE
//   ... --screenshot FILE --bulk       then pushes every linked product's price in one batch (clock sped up, the
//                                      simulator refusing and dropping a few items) and saves FILE when it has ended
//   ... --screenshot FILE --during-bulk   the same batch, saved while it runs (the wait panel)
//   ... --screenshot FILE --editor     the price editor open over a product's price
//   ... --screenshot FILE --status-tooltip   a sign-in whose connection the gateway drops, the pointer resting on
//                                      the status line and its tooltip shown
//
// Exit status: 0 done (or the window closed), 1 a step failed or FILE cannot be written, 2 wrong command line,
// 128 + the signal's number after Ctrl+C (SIGINT) or SIGTERM, which close the window and remove the sample folder
// as a normal exit does.
#include "CatalogueGenerator.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
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

#include <cmath>
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

// Marketplace wording around a product's name, as sellers write their titles.
const char* const Suffixes[] = {" - Envío Gratis", " Original", " Nuevo", " + Garantía", " Oferta", ""};

// A catalogue in which every third product is on sale on the marketplace, and one in four of those was linked to
// its listing by an earlier run of the program.
struct Tienda {
    catalogo::Catalogo catalogo;
    QList<sim::Listing> publicaciones;
};

Tienda tienda() {
    Tienda t;
    t.catalogo = catalogo::muestra(Products, 1);
    QRandomGenerator random(7);
    int n = 0;
    for (catalogo::Producto& p : t.catalogo.productos) {
        // Links come only from this demo's listings; a product the operator unlinked ("-") stays so.
        if (p.serial != QStringLiteral("-"))
            p.serial.reset();
        if (p.inhabilitado || p.codigo % 3 != 0)
            continue;
        sim::Listing l;
        l.id = QStringLiteral("MLV%1").arg(600000000 + 7919 * ++n);
        l.title = p.nombre + QString::fromUtf8(Suffixes[random.bounded(int(std::size(Suffixes)))]);
        l.price = p.precio ? std::round(*p.precio * (0.9 + random.bounded(0.2)) * 100) / 100 : 10.0 * n;
        t.publicaciones << l;
        if (n % 4 == 0 && p.precio)
            p.serial = l.id;
    }
    return t;
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
    "usage: vantoria-demo [--screenshot FILE [--bulk | --during-bulk | --editor | --status-tooltip]]\n"
    "Opens the window on a sample catalogue and a marketplace simulator on 127.0.0.1.\n"
    "  --screenshot FILE  signs in with nobody at the keyboard and saves the window as a PNG\n"
    "  --bulk             ... after a batch of every linked product\n"
    "  --during-bulk      ... while that batch runs\n"
    "  --editor           ... with the price editor open\n"
    "  --status-tooltip   ... after a failed sign-in, with the status line's tooltip shown\n"
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
int captura(frmVantoria& w, ScriptedDialogs& dialogos, const QString& archivo, int publicaciones, Escena escena) {
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
            return falla("the sign-in did not fail as the simulator was told to");
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

    sim::MarketSim mercado;
    mercado.addAccount(DemoUser, DemoPassword, DemoSeller);
    for (const sim::Listing& l : t.publicaciones)
        mercado.addListing(DemoSeller, l);
    if (!mercado.start())
        return falla(qPrintable(QStringLiteral("the marketplace simulator did not start: ") + mercado.error()));

    if (masivo) {
        // A few items go wrong, as they do: the third is refused, the fourth loses its connection.
        sim::Fault rechazo;
        rechazo.kind = sim::FaultKind::Refuse;
        mercado.addFault(sim::PathPrice, 3, rechazo);
        sim::Fault corte;
        corte.kind = sim::FaultKind::Drop;
        mercado.addFault(sim::PathPrice, 4, corte);
    }

    if (escena == Escena::AyudaEstado) {
        // The gateway drops the sign-in's connection: the status line says only that an error happened.
        sim::Fault corte;
        corte.kind = sim::FaultKind::Drop;
        mercado.addFault(sim::PathSignIn, 1, corte);
    }

    // With nobody at the keyboard the message boxes answer themselves (Yes to the batch) and are checked.
    ScriptedDialogs dialogos;
    frmVantoria::Options o;
    o.programFolder = carpeta.path();
    if (!archivo.isEmpty())
        o.dialogs = &dialogos;
    if (masivo)
        o.velocidadReloj = 25;  // the batch's seconds and pauses pass 25 times faster
    sim::apuntoAlSimulador(o, mercado);
    o.carpetaDiario = carpeta.filePath(QStringLiteral("journal"));
    frmVantoria w(o);
    ventanaAbierta = &w;
    const struct Olvido {
        ~Olvido() { ventanaAbierta = nullptr; }
    } olvido;
    w.show();
    w.activateWindow();

    if (!archivo.isEmpty()) {
        const int estado = captura(w, dialogos, archivo, int(t.publicaciones.size()), escena);
        return senalRecibida ? 128 + senalRecibida : estado;
    }

    std::printf(
        "Vantoria demo: %d products in %s\n"
        "Marketplace simulator at %s with %lld listings.\n"
        "Sign in with  Usuario: %s   Clave: %s\n",
        Products, qPrintable(carpeta.path()), qPrintable(mercado.baseUrl()), qlonglong(t.publicaciones.size()),
        qPrintable(DemoUser), qPrintable(DemoPassword));
    std::fflush(stdout);
    const int estado = app.exec();
    return senalRecibida ? 128 + senalRecibida : estado;
}
