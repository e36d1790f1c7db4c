// A batch of 61 price pushes at real speed against the marketplace simulator, its wall time beside the time its
// pacing alone dictates (a second before each item, twenty seconds at each of its two pauses, and each answer's own
// time), and the longest the event loop went without running.
// Usage: bench-bulk-push [ITEMS]   (default 61; takes about 100 seconds)
#include "../common/StallSampler.h"
#include "CatalogueGenerator.h"
#include "Dialogs.h"
#include "Diario.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "SimWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const int items = argc > 1 ? QByteArray(argv[1]).toInt() : 61;

    QTemporaryDir folder;
    catalogo::Catalogo shop;
    shop.categorias = {{1, QStringLiteral("Ferretería")}};
    sim::MarketSim server;
    server.addAccount(QStringLiteral("bench"), QStringLiteral("bench"), QStringLiteral("5550001"));
    for (int i = 0; i < items; ++i) {
        catalogo::Producto p;
        p.codigo = 1 + i;
        p.codProd = QStringLiteral("P-%1").arg(p.codigo);
        p.nombre = QStringLiteral("Taladro percutor modelo %1").arg(i + 1, 3, 10, QChar(u'0'));
        p.categoria = 1;
        p.precio = 100.25 + i;
        p.serial = QStringLiteral("MLV%1").arg(800000000 + i);
        shop.productos.push_back(p);
        server.addListing(QStringLiteral("5550001"), {*p.serial, p.nombre, 90.0});
    }
    catalogo::escribo(folder.filePath(QStringLiteral("Base de Datos.dba")), shop);
    if (!server.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(server.error()));
        return 1;
    }

    ScriptedDialogs dialogs;
    frmVantoria::Options o;
    o.programFolder = folder.path();
    o.dialogs = &dialogs;
    sim::apuntoAlSimulador(o, server);
    o.carpetaDiario = folder.filePath(QStringLiteral("journal"));
    frmVantoria w(o);
    w.show();
    w.activateWindow();
    Form& f = w.form();
    if (!sim::esperoQue([&] { return sim::ventanaLista(w); }, 60'000)) {
        std::fprintf(stderr, "the catalogue did not load\n");
        return 1;
    }
    f.Usuario->setText(QStringLiteral("bench"));
    f.Clave->setText(QStringLiteral("bench"));
    f.Command1->click();
    if (!sim::esperoQue([&] { return sim::ventanaQuieta(w); }, 60'000)) {
        std::fprintf(stderr, "the sign-in did not end\n");
        return 1;
    }

    // When each answer reached the window.
    QList<qint64> handled;
    QObject::connect(&w.Inet1(), &Inet::StateChanged, &w, [&](int s) {
        if (s == 11 || s == 12)
            handled << sim::MarketSim::now();
    });
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    qint64 last = 0, longest = 0, longestAt = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 t = sim::MarketSim::now();
        if (last && t - last > longest) {
            longest = t - last;
            longestAt = t;
        }
        last = t;
    });
    stalls::Sampler sampler;  // VANTORIA_BENCH_STALLS=MS: where the stalls over MS were
    server.clearLog();
    dialogs.answers = {true};
    tick.start(1);
    const qint64 start = sim::MarketSim::now();
    f.Command2->click();  // returns when the batch has ended
    const qint64 end = sim::MarketSim::now();
    tick.stop();

    const QList<sim::Request> log = server.log();
    if (log.size() != handled.size() || dialogs.shown.size() != 1) {
        std::fprintf(stderr, "the batch did not run as expected: %lld requests, %lld answers, %lld dialogs\n",
                     qlonglong(log.size()), qlonglong(handled.size()), qlonglong(dialogs.shown.size()));
        return 1;
    }
    // Each answer's own time: from the simulator having the whole request to the window handling its answer.
    double answers = 0;
    int pauses = 0;
    for (qsizetype i = 0; i < log.size(); ++i) {
        answers += double(handled[i] - log[i].receivedNs) / 1e9;
        pauses += log[i].path == sim::PathPause;
    }
    const double ideal = items * 1.0 + pauses * 20.0 + answers;
    const double wall = double(end - start) / 1e9;
    std::printf("items %d, pauses %d, requests %lld\n", items, pauses, qlonglong(log.size()));
    std::printf("batch %.3f s, pacing alone %.3f s (%d s + %d x 20 s + answers %.3f s)\n", wall, ideal, items, pauses,
                answers);
    std::printf("ratio batch / pacing: %.4f\n", wall / ideal);
    // What the journal costs an item: its intent flushed to the disk and its outcome, timed apart on the same folder.
    {
        Diario diario(Diario::Opciones{folder.filePath(QStringLiteral("journal-cost")), {}, {}});
        constexpr int Rounds = 200;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < Rounds; ++i)
            diario.resultado(diario.intencion(1, QStringLiteral("1"), QStringLiteral("Taladro percutor modelo 001"),
                                              QStringLiteral("MLV800000000"), QStringLiteral("100.25")),
                             Diario::Resultado::Aplicado);
        std::printf("journal per item (intent on the disk, then outcome): %.3f ms, %d items\n",
                    double(t.nsecsElapsed()) / 1e6 / Rounds, Rounds);
    }
    std::printf("longest event-loop stall: %.1f ms, ending %.3f s into the batch\n", double(longest) / 1e6,
                double(longestAt - start) / 1e9);
    return 0;
}
