#include "CatalogueGenerator.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "ProductList.h"
#include "SearchBox.h"
#include "Statements.h"
#include "Surfaces.h"

#include <QDir>
#include <QGroupBox>
#include <QProcess>
#include <QProgressBar>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Counts how often the window was disabled: a disabled window shows the busy cursor.
class EnabledWatch : public QObject {
  public:
    int disabled = 0;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::CursorChange && static_cast<QWidget*>(o)->cursor().shape() == Qt::BusyCursor)
            ++disabled;
        return false;
    }
};

}  // namespace

class ProductListTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString path;
    std::unique_ptr<QWidget> window;
    Form f;
    ScriptedDialogs dialogs;
    QStringList statements;
    std::unique_ptr<DatabaseEngine> engine;

    QStringList column(int c) const {
        QStringList out;
        for (int r = 1; r < f.Grid1->rows(); ++r)
            out << f.Grid1->textMatrix(r, c);
        return out;
    }

    void load(const QString& box) {
        f.BuscarPalabra->setText(box);
        CargoProductos(f, *engine);
    }

  private slots:
    void initTestCase() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        path = dir.filePath(QStringLiteral("Base de Datos.dba"));
        catalogo::Catalogo c;
        c.categorias = {{1, QStringLiteral("Ferretería")}, {2, QStringLiteral("Óptica")}, {3, QStringLiteral("Bebés")}};
        const auto add = [&](qint64 code, const QString& name, std::optional<qint64> cat, std::optional<double> price,
                             std::optional<QString> serial, bool off = false) {
            catalogo::Producto p;
            p.codigo = code;
            p.codProd = QStringLiteral("COD-%1").arg(code);
            p.nombre = name;
            p.categoria = cat;
            p.precio = price;
            p.serial = serial;
            p.inhabilitado = off;
            c.productos.push_back(p);
        };
        add(10, "Martillo", 1, 1234.5, "MLV100");
        add(11, "Taladro D'Angelo", 1, 0.125, std::nullopt);
        add(12, QString::fromUtf16(u"LENTES DE SOL"), 2, std::nullopt, "-");
        add(13, "Chupeta", std::nullopt, 99.999, std::nullopt);
        add(14, "Martillo viejo", 1, 5.0, std::nullopt, true);
        add(15, "x' or 1=1 --", 3, 1.0, std::nullopt);
        catalogo::escribo(path, c);
    }

    void init() {
        window = std::make_unique<QWidget>();
        auto* client = new ClientArea(window.get());
        client->resize(1357, 686);
        f = Form();
        f.dialogs = &dialogs;
        dialogs.shown.clear();
        layOutForm(f, window.get(), client);
        Form_Load(f, dir.path());
        statements.clear();
        engine = std::make_unique<DatabaseEngine>([this](const QString& s) { statements << s; });
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() {
        window.reset();
        engine.reset();
    }

    void loadsEveryEnabledProductWithItsCells() {
        load(QStringLiteral("Buscar..."));
        QCOMPARE(column(0), (QStringList{"13", "15", "10", "11", "12"}));
        QCOMPARE(column(1), (QStringList{"", QString::fromUtf16(u"Bebés"), QString::fromUtf16(u"Ferretería"),
                                         QString::fromUtf16(u"Ferretería"), QString::fromUtf16(u"Óptica")}));
        QCOMPARE(column(3), (QStringList{"100.00", "1.00", "1,234.50", "0.13", ""}));
        QCOMPARE(column(4), (QStringList{"", "", "MLV100", "", "-"}));
        QCOMPARE(column(6), (QStringList{"1", "2", "3", "4", "5"}));
        QCOMPARE(column(7), (QStringList{"0", "0", "0", "0", "0"}));
        for (int r = 1; r < f.Grid1->rows(); ++r)
            QCOMPARE(f.Grid1->cellPicture(r, 5).cacheKey(), f.imagen(1).cacheKey());
        QCOMPARE(f.Grid1->row(), 5);
        QCOMPARE(f.Grid1->col(), 5);
        QCOMPARE(f.Barra1->value(), 5);
        QCOMPARE(f.Barra1->maximum(), 5);
        QVERIFY(ventanaHabilitada(f));
        QVERIFY(f.Frame1->isHidden());
        QVERIFY(dialogs.shown.isEmpty());
    }

    void searchWords_data() {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QStringList>("codes");
        QTest::newRow("name, any case") << "MARTI" << QStringList{"10"};
        QTest::newRow("accented capital of the category") << QString::fromUtf16(u"ópt") << QStringList{"12"};
        QTest::newRow("product code") << "cod-11" << QStringList{"11"};
        QTest::newRow("serial") << "mlv1" << QStringList{"10"};
        QTest::newRow("star keeps its meaning") << "Mar*llo" << QStringList{"10"};
        QTest::newRow("question mark keeps its meaning") << "Ta?adro" << QStringList{"11"};
        QTest::newRow("pasted apostrophe") << "D'Ang" << QStringList{"11"};
        QTest::newRow("hostile word is only searched for") << "x' or 1=1 --" << QStringList{"15"};
        QTest::newRow("a statement of its own") << "'; DROP TABLE Productos; --" << QStringList{};
        QTest::newRow("comment marks") << "--" << QStringList{"15"};
        QTest::newRow("a semicolon") << ";" << QStringList{};
        QTest::newRow("percent is a plain character") << "%" << QStringList{};
        QTest::newRow("a NUL inside the word is left out")
            << QString::fromUtf16(u"Mar\u0000tillo", 9) << QStringList{"10"};
        QTest::newRow("ten thousand characters") << QString(10000, u'a') << QStringList{};
        QTest::newRow("disabled never shows") << "viejo" << QStringList{};
        QTest::newRow("empty box loads all") << "" << QStringList{"13", "15", "10", "11", "12"};
    }
    void searchWords() {
        QFETCH(QString, word);
        QFETCH(QStringList, codes);
        load(word);
        QCOMPARE(column(0), codes);
        QCOMPARE(statements.size(), 1);
        QCOMPARE(statements.first(), sentencias::productos(word));
        QVERIFY(dialogs.shown.isEmpty());
        // No word reaches beyond the statement it is searched in.
        load(QStringLiteral("Buscar..."));
        QCOMPARE(column(0), (QStringList{"13", "15", "10", "11", "12"}));
    }

    // A catalogue that cannot be read shows nothing it does not hold: the header row, a notice naming the file, and
    // a window that takes input; once the file is sound again, it loads.
    void aBrokenCatalogueShowsNothing_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("aside");  // sorted on a thread of its own, as a large catalogue is
        for (const bool aside : {false, true}) {
            const char* where = aside ? ", sorted aside" : "";
            QTest::addRow("cut short%s", where) << "truncated"
                                                << "La base de datos \"%1\" no pudo ejecutar la consulta.\r" << aside;
            QTest::addRow("a damaged page in the middle of the products%s", where)
                << "corrupt"
                << "La base de datos \"%1\" no pudo ejecutar la consulta.\rdatabase disk image is malformed" << aside;
            QTest::addRow("another process holds a write transaction%s", where)
                << "locked"
                << "La base de datos \"%1\" no pudo ejecutar la consulta.\rdatabase is locked" << aside;
        }
    }
    void aBrokenCatalogueShowsNothing() {
        QFETCH(QString, how);
        QFETCH(QString, message);
        QFETCH(bool, aside);
        const qint64 sortAside = engine->sortAsideBytes();
        engine->setSortAsideBytes(aside ? 0 : DatabaseEngine::DefaultSortAsideBytes);
        const auto restore = qScopeGuard([&] { engine->setSortAsideBytes(sortAside); });
        const QString broken = dir.filePath(QStringLiteral("dañada.dba"));
        QFile::remove(broken);
        catalogo::escribo(broken, catalogo::muestra(3000, 9));
        QFile file(broken);
        const qint64 size = file.size();
        QProcess locker;
        if (how == QLatin1String("truncated")) {
            QVERIFY(file.resize(size / 2));
        } else if (how == QLatin1String("corrupt")) {
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(size / 2));
            file.write(QByteArray(8192, '\xA5'));
            file.close();
        } else {
            // The sqlite3 program holds the lock, as the shop's administrative system would.
            locker.start(QStringLiteral("sqlite3"), {broken});
            QVERIFY2(locker.waitForStarted(), "the sqlite3 program (Debian: sqlite3) is not installed");
            locker.write("BEGIN EXCLUSIVE;\nSELECT 'held';\n");
            QVERIFY(locker.waitForReadyRead(5000));
            QCOMPARE(locker.readAll().trimmed(), QByteArray("held"));
        }
        f.RutaBaseDatos = broken;
        load(QStringLiteral("Buscar..."));
        QCOMPARE(f.Grid1->rows(), 1);
        QCOMPARE(dialogs.notices().size(), 1);
        QVERIFY2(dialogs.notices().first().startsWith(message.arg(broken)), qPrintable(dialogs.notices().first()));
        QVERIFY(ventanaHabilitada(f) && f.Frame1->isHidden());
        if (locker.state() != QProcess::NotRunning) {
            locker.closeWriteChannel();
            QVERIFY(locker.waitForFinished(5000));
            dialogs.shown.clear();
            load(QStringLiteral("Buscar..."));
            QVERIFY(dialogs.shown.isEmpty());
            QVERIFY(f.Grid1->rows() > 2000);
        }
    }

    void noMatchLeavesTheHeaderAndNeverDisablesTheWindow() {
        load(QStringLiteral("Buscar..."));
        EnabledWatch watch;
        window->installEventFilter(&watch);
        load(QStringLiteral("nada de nada"));
        QCOMPARE(f.Grid1->rows(), 1);
        QCOMPARE(watch.disabled, 0);
        QVERIFY(f.Frame1->isHidden());
    }

    void theWindowIsDisabledAndThePanelShownWhileRowsLoad() {
        bool sawDisabled = false, sawPanel = false;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            sawDisabled = sawDisabled || !ventanaHabilitada(f);
            sawPanel = sawPanel || f.Frame1->isVisible();
        });
        probe.start(0);
        load(QStringLiteral("Buscar..."));
        QVERIFY(sawDisabled && sawPanel);
        QVERIFY(ventanaHabilitada(f) && f.Frame1->isHidden());
    }

    void reloadDiscardsColoursOfThePreviousLoad() {
        load(QStringLiteral("Buscar..."));
        f.Grid1->setRow(2);
        PintoFila(f, 255 + 256 * 127 + 65536 * 10);
        for (int c = 0; c < 8; ++c)
            QCOMPARE(f.Grid1->cellBackColor(2, c), QColor(255, 127, 10));
        QCOMPARE(f.Grid1->cellBackColor(1, 0), QColor());
        QCOMPARE(f.Grid1->row(), 2);
        QCOMPARE(f.Grid1->col(), 7);
        load(QStringLiteral("Buscar..."));
        for (int c = 0; c < 8; ++c)
            QCOMPARE(f.Grid1->cellBackColor(2, c), QColor());
    }

    void missingDatabaseKeepsTheGridAndSaysSo() {
        load(QStringLiteral("Buscar..."));
        f.RutaBaseDatos = dir.filePath(QStringLiteral("no está.dba"));
        load(QStringLiteral("Buscar..."));
        QCOMPARE(f.Grid1->rows(), 6);
        QCOMPARE(dialogs.notices(),
                 QStringList{QStringLiteral("No se pudo abrir la base de datos \"%1\".\rEl archivo no existe.")
                                 .arg(f.RutaBaseDatos)});
        QVERIFY(ventanaHabilitada(f));
        QVERIFY(!QFileInfo::exists(f.RutaBaseDatos));
    }

    void failingQueryLeavesTheHeaderAndAUsableWindow() {
        const QString other = dir.filePath(QStringLiteral("sin consulta.dba"));
        {
            QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("make"));
            d.setDatabaseName(other);
            QVERIFY(d.open());
            QSqlQuery(d).exec(QStringLiteral("CREATE TABLE Productos (Código INTEGER)"));
            d.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("make"));
        load(QStringLiteral("Buscar..."));
        f.RutaBaseDatos = other;
        load(QStringLiteral("Buscar..."));
        QCOMPARE(f.Grid1->rows(), 1);
        QCOMPARE(
            dialogs.notices(),
            QStringList{QStringLiteral(
                            "La base de datos \"%1\" no pudo ejecutar la consulta.\rno such table: Consulta Productos")
                            .arg(other)});
        QVERIFY(ventanaHabilitada(f) && f.Frame1->isHidden());
    }

    // Reading and sorting a large catalogue takes its time before the first row reaches the grid: the window keeps
    // running its events meanwhile (the operator's input waits for the load).
    void eventsRunWhileTheRowsAreRead() {
        const QString bigPath = dir.filePath(QStringLiteral("lectura larga.dba"));
        catalogo::escribo(bigPath, catalogo::muestra(30000, 6));
        f.RutaBaseDatos = bigPath;
        int rowsWhenATimerRan = -1;
        QTimer::singleShot(0, this, [&] { rowsWhenATimerRan = f.Grid1->rows(); });
        load(QStringLiteral("Buscar..."));
        QCOMPARE(rowsWhenATimerRan, 1);
        QVERIFY2(f.Grid1->rows() > 20000, qPrintable(QString::number(f.Grid1->rows())));
    }

    void eventsDuringTheLoadSeeTheProgressOfTheRowsLoaded() {
        const QString bigPath = dir.filePath(QStringLiteral("progreso.dba"));
        catalogo::escribo(bigPath, catalogo::muestra(3000, 5));
        f.RutaBaseDatos = bigPath;
        QList<int> rowsSeen;
        int mismatches = 0;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (ventanaHabilitada(f))
                return;
            rowsSeen << f.Grid1->rows() - 1;
            if (f.Barra1->value() != f.Grid1->rows() - 1)
                ++mismatches;
        });
        probe.start(0);
        load(QStringLiteral("Buscar..."));
        QCOMPARE(mismatches, 0);
        QVERIFY(!rowsSeen.isEmpty());
        QCOMPARE(rowsSeen.first(), 1);  // events run as soon as the first row is in
        QCOMPARE(f.Barra1->value(), f.Grid1->rows() - 1);
        QCOMPARE(f.Barra1->maximum(), f.Grid1->rows() - 1);
    }

    void closingTheWindowEndsTheLoad() {
        catalogo::Catalogo big = catalogo::muestra(3000, 4);
        const QString bigPath = dir.filePath(QStringLiteral("grande.dba"));
        catalogo::escribo(bigPath, big);
        f.RutaBaseDatos = bigPath;
        // The close comes from an event that runs during the load, once some rows are in, however fast it goes.
        int rowsWhenClosed = -1;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (rowsWhenClosed < 0 && f.Grid1->rows() > 100) {
                rowsWhenClosed = f.Grid1->rows();
                f.cerrando = true;
            }
        });
        closer.start(0);
        load(QStringLiteral("Buscar..."));
        QVERIFY(rowsWhenClosed > 100);
        QCOMPARE(f.Grid1->rows(), rowsWhenClosed);
        QVERIFY(ventanaHabilitada(f) && f.Frame1->isHidden());
    }
};

QTEST_MAIN(ProductListTest)
#include "tst_productlist.moc"
