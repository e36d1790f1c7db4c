// First load of generated catalogues into the product grid, beside a bare QSqlQuery read of the same rows.
// Usage: bench-catalogue-load [--rounds R] [N ...]   (default 3 rounds of 25000 50000 100000)
#include "CatalogueGenerator.h"
#include "FlexGrid.h"
#include "frmVantoria.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Paint events per widget during the load, printed when VANTORIA_BENCH_PAINTS is set.
class PaintCounter : public QObject {
  public:
    QMap<QString, int> counts;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++counts[o->objectName().isEmpty() ? QString::fromLatin1(o->metaObject()->className()) : o->objectName()];
        return false;
    }
};

long statusKb(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLong();
    return -1;
}

double bareRead(const QString& path, int* rows) {
    QElapsedTimer t;
    t.start();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bare"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.exec(
            QStringLiteral("Select * from [Consulta Productos] Where Inhabilitado=0 Order By NombreCategoría, Nombre"));
        int n = 0;
        qsizetype sink = 0;
        while (q.next()) {
            for (int i = 0; i < 7; ++i)
                sink += q.value(i).toString().size();
            ++n;
        }
        *rows = n;
        if (sink == 0)
            std::puts("");
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bare"));
    return double(t.nsecsElapsed()) / 1e6;
}

std::size_t gridBytes(FlexGrid& g) {
    return g.cells().storageBytes();
}

struct Load {
    double ms = 0;
    std::size_t gridBytes = 0;
    long rssGrowthKb = 0;
    qint64 longestGapNs = 0;
};

// One first load: a new window on the catalogue, from its showing until it is enabled again with the rows in.
Load loadOnce(QApplication& app, const QString& folder, int rows) {
    ScriptedDialogs dialogs;
    frmVantoria::Options o;
    o.programFolder = folder;
    o.dialogs = &dialogs;
    Load load;
    const long rssBefore = statusKb("VmRSS:");
    // The longest the event loop went without running during the load: a timer asks to run every millisecond.
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (sinceTick.isValid())
            load.longestGapNs = std::max(load.longestGapNs, sinceTick.nsecsElapsed());
        sinceTick.start();
    });
    frmVantoria w(o);
    PaintCounter paints;
    if (qEnvironmentVariableIsSet("VANTORIA_BENCH_PAINTS"))
        app.installEventFilter(&paints);
    // The timer runs from before the load starts, so that the read of the rows is measured too.
    tick.start(1);
    QElapsedTimer primed;
    primed.start();
    while (primed.elapsed() < 5)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QElapsedTimer t;
    t.start();
    w.show();
    w.activateWindow();
    while (w.form().PrimeraVez || !ventanaHabilitada(w.form()) || w.form().Grid1->rows() < 2) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (t.elapsed() > 600000)
            break;
    }
    load.ms = double(t.nsecsElapsed()) / 1e6;
    tick.stop();
    app.removeEventFilter(&paints);
    for (auto it = paints.counts.cbegin(); it != paints.counts.cend(); ++it)
        std::fprintf(stderr, "  paints %s: %d\n", qPrintable(it.key()), it.value());
    load.gridBytes = gridBytes(*w.form().Grid1);
    load.rssGrowthKb = statusKb("VmRSS:") - rssBefore;
    if (w.form().Grid1->rows() - 1 != rows || !dialogs.shown.isEmpty())
        std::fprintf(stderr, "load gave %d rows, expected %d\n", w.form().Grid1->rows() - 1, rows);
    return load;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QList<int> sizes;
    int rounds = 3;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args[++i].toInt());
        else
            sizes << args[i].toInt();
    }
    if (sizes.isEmpty())
        sizes = {25000, 50000, 100000};
    std::printf(
        "%d rounds per size, bare read and window load taking turns; ms are medians, ratio = median ours / "
        "median bare; grid and RSS from the first load, stall the longest of all\n",
        rounds);
    std::printf("%9s %10s %12s %12s %7s %13s %10s %10s %10s %9s\n", "products", "rows", "bare ms", "ours ms", "ratio",
                "round ratios", "ms/1k rows", "grid MB", "RSS +MB", "stall ms");
    for (int n : sizes) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Base de Datos.dba"));
        catalogo::escribo(path, catalogo::muestra(n, 1));
        int rows = 0;
        bareRead(path, &rows);  // warms the file cache, as the window's read will find it
        std::vector<double> bare, ours, ratios;
        Load first;
        qint64 longestGap = 0;
        for (int r = 0; r < rounds; ++r) {
            bare.push_back(bareRead(path, &rows));
            const Load load = loadOnce(app, dir.path(), rows);
            if (r == 0)
                first = load;
            ours.push_back(load.ms);
            ratios.push_back(load.ms / bare.back());
            longestGap = std::max(longestGap, load.longestGapNs);
        }
        const double bareMs = median(bare), oursMs = median(ours);
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        const QByteArray range = QByteArray::number(*low, 'f', 2) + "-" + QByteArray::number(*high, 'f', 2);
        std::printf("%9d %10d %12.1f %12.1f %7.2f %13s %10.2f %10.1f %10.1f %9.1f\n", n, rows, bareMs, oursMs,
                    oursMs / bareMs, range.constData(), oursMs / (rows / 1000.0), double(first.gridBytes) / 1048576.0,
                    double(first.rssGrowthKb) / 1024.0, double(longestGap) / 1e6);
    }
    std::printf("peak RSS of the run: %.1f MB\n", double(statusKb("VmHWM:")) / 1024.0);
    return 0;
}
