#pragma once

// The one window both marketplace fuzz targets feed: made once per process on a small generated catalogue, with
// scripted message boxes and both base URLs at a port of 127.0.0.1 where nothing listens, so that any request a
// branch starts is refused locally (and is cancelled before it gets that far).

#include "CatalogueGenerator.h"
#include "Dialogs.h"
#include "EstadoCanal.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "ResultBox.h"
#include "frmVantoria.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QLocale>
#include <QNetworkProxy>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace fuzzmercado {

// Where every request goes: nothing listens on the discard port.
inline const QString UrlCerrada = QStringLiteral("https://127.0.0.1:9");

// Ends the run with the reason on stderr; libFuzzer saves the input that led here.
[[noreturn]] inline void rompe(const char* invariante) {
    std::fprintf(stderr, "market fuzz: invariant broken: %s\n", invariante);
    std::fflush(stderr);
    std::abort();
}

inline void exijo(bool cumple, const char* invariante) {
    if (!cumple)
        rompe(invariante);
}

// Runs the window's events until `listo` holds or `ms` have passed.
inline bool esperoHasta(const std::function<bool()>& listo, int ms) {
    QDeadlineTimer plazo(ms);
    while (!listo()) {
        if (plazo.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// Runs whatever is queued now (queued states, timers already due, deferred deletions), a few rounds. No event loop
// runs around the targets, so objects given to deleteLater (a cancelled request's reply) are deleted here, as the
// window's event loop would.
inline void corroEventos() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

struct Ventana {
    QTemporaryDir carpeta;
    ScriptedDialogs dialogos;
    frmVantoria* w = nullptr;
    // States the channel delivered since the last `limpio()`; a cancelled request must deliver none.
    int estadosEntregados = 0;

    Form& f() { return w->form(); }
    Inet& canal() { return w->Inet1(); }

    void limpio() {
        dialogos.shown.clear();
        dialogos.answers.clear();
        estadosEntregados = 0;
    }
};

// The process's window, made at the first call: QApplication on the offscreen platform, a catalogue of `productos`
// generated products, the window shown and activated, and its first load finished.
inline Ventana& ventana(int productos = 12) {
    static Ventana* v = [productos] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Qt's own arguments are not libFuzzer's: the application gets a command line of its own.
        static int argc = 1;
        static char nombre[] = "vantoria-fuzz";
        static char* argv[] = {nombre, nullptr};
        new QApplication(argc, argv);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        // No proxy from the environment may take a request elsewhere.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

        auto* nueva = new Ventana;
        exijo(nueva->carpeta.isValid(), "temporary folder for the catalogue");
        catalogo::escribo(nueva->carpeta.filePath(QStringLiteral("Base de Datos.dba")),
                          catalogo::muestra(productos, 20240611));

        // The window makes its folder the current one; libFuzzer's relative paths (corpus, artifacts) must keep
        // meaning what they meant on the command line.
        const QString actual = QDir::currentPath();

        frmVantoria::Options o;
        o.carpetaDiario = nueva->carpeta.filePath(QStringLiteral("journal"));
        o.programFolder = nueva->carpeta.path();
        o.dialogs = &nueva->dialogos;
        o.urlMercado = UrlCerrada;
        o.urlPasarela = UrlCerrada;
        o.autoridadesExtra = QList<QSslCertificate>();
        o.sinDatosMs = 5000;
        o.totalMs = 10000;
        nueva->w = new frmVantoria(o);
        QObject::connect(&nueva->w->Inet1(), &Inet::StateChanged, &nueva->w->Inet1(),
                         [nueva](int) { ++nueva->estadosEntregados; });
        nueva->w->show();
        nueva->w->activateWindow();
        exijo(esperoHasta([nueva] { return !nueva->f().PrimeraVez && ventanaHabilitada(nueva->f()); }, 60000),
              "the window loads its catalogue on its first activation");
        exijo(nueva->f().Grid1->rows() > 1, "the catalogue filled the product grid");
        exijo(nueva->dialogos.shown.isEmpty(), "the first load shows no message box");
        exijo(QDir::setCurrent(actual), "back to the folder the run started in");
        // The window is never destroyed (the process ends with it); its catalogue goes when the run ends normally.
        static Ventana* laVentana = nueva;
        std::atexit([] { laVentana->carpeta.remove(); });
        return nueva;
    }();
    return *v;
}

// The window's text trimmed as the branches trim an answer: blanks only, tabs and line ends stay.
inline QString sinBlancos(const QString& t) {
    qsizetype a = 0, b = t.size();
    while (a < b && t[a] == u' ')
        ++a;
    while (b > a && t[b - 1] == u' ')
        --b;
    return t.mid(a, b - a);
}

// Where the first "Listo!!!" starts, letters compared by their case folding; -1 when there is none.
inline qsizetype marcaListo(const QString& t) {
    static const char16_t marca[] = u"listo!!!";
    constexpr qsizetype largo = 8;
    for (qsizetype i = 0; i + largo <= t.size(); ++i) {
        bool igual = true;
        for (qsizetype k = 0; k < largo && igual; ++k)
            igual = t[i + k].toCaseFolded() == QChar(marca[k]);
        if (igual)
            return i;
    }
    return -1;
}

// Leaves the window as it is between operations: nothing in flight, no box recorded, every control taking input.
inline void reposo(Ventana& v) {
    v.canal().Cancel();
    corroEventos();
    v.limpio();
}

inline bool ingresoHabilitado(Form& f) {
    return f.Command1->isEnabled() && f.Usuario->isEnabled() && f.Clave->isEnabled();
}

inline bool ingresoDeshabilitado(Form& f) {
    return !f.Command1->isEnabled() && !f.Usuario->isEnabled() && !f.Clave->isEnabled();
}

// As an operation leaves the window while it waits for its answer: the result box empty, input shut out.
inline void esperoRespuesta(Form& f) {
    f.Resultado->setText(QString());
    empiezoOperacion(f);
}

// As a sign-in leaves the window while it waits: besides, the sign-in controls off, and the push button and the
// listing search on once the seller is known.
inline void esperoIngreso(Form& f, bool conVendedor) {
    esperoRespuesta(f);
    f.Command1->setEnabled(false);
    f.Usuario->setEnabled(false);
    f.Clave->setEnabled(false);
    f.Command2->setEnabled(conVendedor);
    f.Buscar->setEnabled(conVendedor);
}

// What a branch did with an answer besides changing the window.
struct Pedidos {
    int enviados;  // requests it sent
    bool enCurso;  // one of them still outstanding
};

// Hands `respuesta` to the branch the window waits in, as a complete response would reach it, then drops whatever
// the branch started (nothing leaves this process) and runs the events it left behind.
inline Pedidos respondo(Ventana& v, const QString& respuesta) {
    const int antes = v.canal().enviadas();
    RespuestaCompleta(v.f(), v.w->mercado(), respuesta);
    const Pedidos p{v.canal().enviadas() - antes, v.canal().StillExecuting()};
    v.canal().Cancel();
    corroEventos();
    return p;
}

}  // namespace fuzzmercado
