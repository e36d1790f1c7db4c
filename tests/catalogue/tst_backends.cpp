// The catalogue reached two ways, with the same rows and the same statements: Qt's SQLite driver, and ODBC (here
// the SQLite ODBC driver, registered by the test itself, stands in for the Access driver of the shop's machines).

#include "CatalogueWindow.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "SearchBox.h"

#include <QHeaderView>
#include <QLineEdit>

namespace {

const QString OdbcDriver = QStringLiteral("SQLite3 (Vantoria tests)");

// The SQLite ODBC driver's library, where Debian and others put it.
QString sqliteOdbcLibrary() {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc", "/usr/lib/odbc",
                            "/usr/lib64", "/usr/local/lib"}) {
        const QString file = QString::fromLatin1(dir) + QStringLiteral("/libsqlite3odbc.so");
        if (QFile::exists(file))
            return file;
    }
    return {};
}

}  // namespace

class BackendsTest : public QObject {
    Q_OBJECT

    QTemporaryDir odbcConfig;
    std::unique_ptr<CatalogueWindow> win;

    bool open(const QString& backend) {
        win = std::make_unique<CatalogueWindow>();
        if (backend == QLatin1String("odbc")) {
            OdbcSettings s = OdbcSettings::platform();
            s.sqliteDriver = OdbcDriver;
            win->odbc = s;
        }
        return win->open();
    }
    QStringList codes() const {
        QStringList out;
        for (int r = 1; r < win->f().Grid1->rows(); ++r)
            out << win->f().Grid1->textMatrix(r, 0);
        return out;
    }

  private slots:
    // Only this test's own registration of the driver counts: nothing system-wide is needed.
    void initTestCase() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const QString library = sqliteOdbcLibrary();
        QVERIFY2(!library.isEmpty(), "the SQLite ODBC driver (Debian: libsqliteodbc) is not installed");
        QVERIFY(odbcConfig.isValid());
        QFile ini(odbcConfig.filePath(QStringLiteral("odbcinst.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(
            QStringLiteral("[%1]\nDescription=SQLite 3 through ODBC\nDriver=%2\n").arg(OdbcDriver, library).toUtf8());
        ini.close();
        qputenv("ODBCSYSINI", QFile::encodeName(odbcConfig.path()));
        QVERIFY(installedOdbcDrivers().contains(OdbcDriver));
    }
    void cleanup() { win.reset(); }

    void productListIsTheSameOnEveryBackend_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QStringList>("codes");
        for (const char* backend : {"sqlite", "odbc"}) {
            const QString b = QLatin1String(backend);
            QTest::addRow("%s: all products", backend) << b << "Buscar..." << QStringList{"5", "7", "3"};
            QTest::addRow("%s: a name in other case", backend) << b << "MARTI" << QStringList{"7"};
            QTest::addRow("%s: a serial", backend) << b << "mlv1" << QStringList{"7"};
            QTest::addRow("%s: a product code", backend) << b << "P-3" << QStringList{"3"};
            QTest::addRow("%s: a star inside the word", backend) << b << "Al*te" << QStringList{"5"};
            QTest::addRow("%s: quotes are only searched for", backend) << b << "x' or 1=1 --" << QStringList{};
        }
    }
    void productListIsTheSameOnEveryBackend() {
        QFETCH(QString, backend);
        QFETCH(QString, word);
        QFETCH(QStringList, codes);
        QVERIFY(open(backend));
        QCOMPARE(this->codes(), (QStringList{"5", "7", "3"}));
        win->f().BuscarPalabra->setFocus();
        QTest::keyClicks(win->f().BuscarPalabra, word);
        QTest::keyClick(win->f().BuscarPalabra, Qt::Key_Return);
        QCOMPARE(this->codes(), codes);
        QCOMPARE(win->statements.size(), 1);
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    void writesAreTheSameOnEveryBackend_data() {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<QString>("statement");
        QTest::addColumn<qint64>("code");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("held");
        for (const char* backend : {"sqlite", "odbc"}) {
            const QString b = QLatin1String(backend);
            QTest::addRow("%s: price", backend) << b << "price"
                                                << "Update Productos set PrecioSugeridoAdic002=99.50 Where Código=5"
                                                << qint64(5) << "PrecioSugeridoAdic002"
                                                << "99.5";
            QTest::addRow("%s: link", backend)
                << b << "link"
                << "Update Productos set Serial='MLV200' Where Código=3" << qint64(3) << "Serial"
                << "MLV200";
            QTest::addRow("%s: unlink", backend)
                << b << "unlink"
                << "Update Productos set Serial='-' Where Código=7" << qint64(7) << "Serial"
                << "-";
        }
    }
    void writesAreTheSameOnEveryBackend() {
        QFETCH(QString, backend);
        QFETCH(QString, gesture);
        QFETCH(QString, statement);
        QFETCH(qint64, code);
        QFETCH(QString, field);
        QFETCH(QString, held);
        QVERIFY(open(backend));
        Form& f = win->f();
        if (gesture == QLatin1String("price")) {
            CatalogueWindow::click(f.Grid1, 1, 3);
            QTest::keyClicks(f.Casilla, QStringLiteral("99.5"));
            QTest::keyClick(f.Casilla, Qt::Key_Return);
        } else if (gesture == QLatin1String("link")) {
            win->addListing(QStringLiteral("MLV200"), QStringLiteral("Lentes polarizados"));
            CatalogueWindow::click(f.Grid1, 3, 2);
            CatalogueWindow::click(f.Grid2, 1, 1);
        } else {
            win->dialogs.answers = {true};
            CatalogueWindow::doubleClick(f.Grid1, 2, 4);
        }
        QCOMPARE(win->statements, QStringList{statement});
        QCOMPARE(win->field(code, field).toString(), held);
        QVERIFY(win->dialogs.notices().isEmpty());
    }

    void anAccessFileTheMachineCannotOpenIsNamedAndNothingIsShown_data() {
        QTest::addColumn<bool>("accessDriverPlatform");
        QTest::addColumn<QString>("why");
        QTest::newRow("where only mdbtools could read it")
            << false
            << "Es una base de datos de Access (Jet). En este sistema no hay un controlador que la abra como Vantoria "
               "necesita: el de mdbtools solo podría leerla y no ejecuta la consulta guardada «Consulta Productos». "
               "Use Vantoria en Windows, con el controlador ODBC de Access.";
        QTest::newRow("where the Access driver is missing")
            << true
            << "Falta el controlador ODBC de Access («Microsoft Access Driver (*.mdb, *.accdb)»). Instale «Microsoft "
               "Access Database Engine 2016 Redistributable» de Microsoft.";
    }
    void anAccessFileTheMachineCannotOpenIsNamedAndNothingIsShown() {
        QFETCH(bool, accessDriverPlatform);
        QFETCH(QString, why);
        win = std::make_unique<CatalogueWindow>();
        OdbcSettings s = OdbcSettings::platform();
        s.jetUsable = accessDriverPlatform;
        win->odbc = s;
        // The file is told by its first bytes, whatever its name.
        QByteArray jet(4096, '\0');
        jet.replace(0, 19, QByteArray("\x00\x01\x00\x00Standard Jet DB", 19));
        QVERIFY(win->open(jet));
        QCOMPARE(win->dialogs.notices(),
                 QStringList{QStringLiteral("No se pudo abrir la base de datos \"%1\".\r%2").arg(win->path(), why)});
        QCOMPARE(win->f().Grid1->rows(), 1);
        QVERIFY(win->statements.isEmpty());
    }
};

QTEST_MAIN(BackendsTest)
#include "tst_backends.moc"
