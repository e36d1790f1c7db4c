// First load of generated catalogues into the product grid, beside a bare QSqlQuery read of the same rows.
// Usage: bench-catalogue-load [N ...]   (default 25000 50000 100000)
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

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QList<int> sizes;
    for (const QString& a : app.arguments().mid(1))
        sizes << a.toInt();
    if (sizes.isEmpty())
        sizes = {25000, 50000, 100000};
    std::printf("%9s %10s %12s %12s %7s %10s %10s %10s %9s\n", "products", "rows", "bare ms", "ours ms", "ratio",
                "ms/1k rows", "grid MB", "RSS +MB", "stall ms");
    for (int n : sizes) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Base de Datos.dba"));
        catalogo::escribo(path, catalogo::muestra(n, 1));
        int rows = 0;
        bareRead(path, &rows);  // warms the file cache, as the window's read will find it
        const double bare = bareRead(path, &rows);

        ScriptedDialogs dialogs;
        frmVantoria::Options o;
        o.programFolder = dir.path();
        o.dialogs = &dialogs;
        const long rssBefore = statusKb("VmRSS:");
        double ours = 0;
        std::size_t grid = 0;
        long rssAfter = 0;
        // The longest the event loop went without running during the load: a timer asks to run every millisecond.
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (sinceTick.isValid())
                longestGap = std::max(longestGap, sinceTick.nsecsElapsed());
            sinceTick.start();
        });
        {
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
            ours = double(t.nsecsElapsed()) / 1e6;
            tick.stop();
            app.removeEventFilter(&paints);
            for (auto it = paints.counts.cbegin(); it != paints.counts.cend(); ++it)
                std::fprintf(stderr, "  paints %s: %d\n", qPrintable(it.key()), it.value());
            grid = gridBytes(*w.form().Grid1);
            rssAfter = statusKb("VmRSS:");
            if (w.form().Grid1->rows() - 1 != rows || !dialogs.shown.isEmpty())
                std::fprintf(stderr, "load gave %d rows, expected %d\n", w.form().Grid1->rows() - 1, rows);
        }
        std::printf("%9d %10d %12.1f %12.1f %7.2f %10.2f %10.1f %10.1f %9.1f\n", n, rows, bare, ours, ours / bare,
                    ours / (rows / 1000.0), double(grid) / 1048576.0, double(rssAfter - rssBefore) / 1024.0,
                    double(longestGap) / 1e6);
    }
    std::printf("peak RSS of the run: %.1f MB\n", double(statusKb("VmHWM:")) / 1024.0);
    return 0;
}
