#include "CatalogueGenerator.h"
#include "DatabaseEngine.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

class EngineTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString db;

    QStringList names(DatabaseEngine& engine, const QString& statement) {
        auto d = engine.openDatabase(db);
        auto rs = d->openRecordset(statement);
        QStringList out;
        for (; !rs->eof(); rs->moveNext())
            out << rs->field(u"Nombre").toString();
        rs->close();
        d->close();
        return out;
    }

    // The rows Qt's own SQLite driver gives for a statement on a file.
    static QList<QSqlRecord> qtDriverRows(const QString& file, const QString& statement) {
        QList<QSqlRecord> rows;
        {
            QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("plain"));
            d.setDatabaseName(file);
            QSqlQuery q(d);
            if (d.open() && q.exec(statement))
                while (q.next())
                    rows << q.record();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("plain"));
        return rows;
    }

  private slots:
    void initTestCase() {
        db = dir.filePath(QStringLiteral("Base de Datos.dba"));
        catalogo::Catalogo c;
        c.categorias = {{1, QStringLiteral("ferretería")}, {2, QStringLiteral("Óptica")}, {3, QStringLiteral("Audio")}};
        const auto add = [&](qint64 code, const char16_t* name, std::optional<qint64> cat, bool off = false) {
            catalogo::Producto p;
            p.codigo = code;
            p.codProd = QStringLiteral("C-%1").arg(code);
            p.nombre = QString::fromUtf16(name);
            p.categoria = cat;
            p.inhabilitado = off;
            c.productos.push_back(p);
        };
        add(1, u"Lentes", 2);
        add(2, u"martillo", 1);
        add(3, u"Alicate", 1);
        add(4, u"Parlante", 3);
        add(5, u"Sin categoría", std::nullopt);
        add(6, u"ÁRBOL de levas", 1);
        add(7, u"Apagado", 1, true);
        catalogo::escribo(db, c);
    }

    void selectGivesJetOrderAndOnlyEnabledRows() {
        QStringList seen;
        DatabaseEngine engine([&](const QString& s) { seen << s; });
        const QString all = QStringLiteral(
            "Select * from [Consulta Productos] Where Inhabilitado=false Order By NombreCategoría, Nombre;");
        // Null category first, then Audio, ferretería (lower case among the f's), Óptica with the o's.
        QCOMPARE(names(engine, all), (QStringList{QString::fromUtf16(u"Sin categoría"), "Parlante", "Alicate",
                                                  QString::fromUtf16(u"ÁRBOL de levas"), "martillo", "Lentes"}));
        QCOMPARE(seen, QStringList{all});
    }

    void aLargeSelectKeepsEveryRowAndField() {
        const QString big = dir.filePath(QStringLiteral("grande.dba"));
        catalogo::escribo(big, catalogo::muestra(9000, 3));  // more rows than one block of the recordset holds
        const QString statement = QStringLiteral("Select * from [Consulta Productos] Order By Código;");
        QStringList expected;
        for (const QSqlRecord& row : qtDriverRows(big, statement))
            expected << row.value(QStringLiteral("Código")).toString() + u'|' +
                            row.value(QStringLiteral("Nombre")).toString() + u'|' +
                            row.value(QStringLiteral("Serial")).toString();
        QCOMPARE(expected.size(), 9000);

        DatabaseEngine engine;
        auto d = engine.openDatabase(big);
        auto rs = d->openRecordset(statement);
        QCOMPARE(rs->RecordCount(), 9000);
        const int codigo = rs->fieldIndex(u"código"), nombre = rs->fieldIndex(u"NOMBRE"),
                  serial = rs->fieldIndex(u"Serial");
        QStringList seen;
        for (; !rs->eof(); rs->moveNext())
            seen << rs->field(codigo).toString() + u'|' + rs->field(nombre).toString() + u'|' +
                        rs->field(serial).toString();
        QCOMPARE(seen, expected);
        QVERIFY_THROWS_EXCEPTION(DatabaseError, rs->field(codigo));
        QVERIFY_THROWS_EXCEPTION(DatabaseError, rs->fieldIndex(u"NoExiste"));
        rs->close();
        d->close();
    }

    // The engine reads SQLite itself: each field must be the QVariant Qt's driver gives, type and all.
    void fieldsAreWhatTheQtDriverGives_data() {
        QTest::addColumn<QString>("expression");
        QTest::newRow("null") << "NULL";
        QTest::newRow("whole number") << "-9223372036854775807";
        QTest::newRow("real") << "1.5";
        QTest::newRow("empty text") << "''";
        QTest::newRow("accents and a check mark") << QString::fromUtf16(u"'Ñandú ✓'");
        QTest::newRow("beyond the basic plane") << "char(128512)";
        QTest::newRow("a NUL inside") << "'a' || char(0) || 'b'";
        QTest::newRow("blob") << "x'00ff'";
        QTest::newRow("stray continuation byte") << "CAST(x'41806162' AS TEXT)";
        QTest::newRow("overlong slash") << "CAST(x'c0af' AS TEXT)";
        QTest::newRow("encoded surrogate") << "CAST(x'eda080' AS TEXT)";
        QTest::newRow("U+FFFE") << "CAST(x'efbfbe' AS TEXT)";
        QTest::newRow("cut short") << "CAST(x'41e282' AS TEXT)";
    }
    void fieldsAreWhatTheQtDriverGives() {
        QFETCH(QString, expression);
        const QString statement = "Select " + expression + " as v, 7 as w";
        const QList<QSqlRecord> rows = qtDriverRows(db, statement);
        QCOMPARE(rows.size(), 1);
        const QVariant expected = rows[0].value(0);
        DatabaseEngine engine;
        auto d = engine.openDatabase(db);
        auto rs = d->openRecordset(statement);
        QCOMPARE(rs->names(), (QStringList{"v", "w"}));
        const QVariant seen = rs->field(0);
        QCOMPARE(seen.metaType(), expected.metaType());
        QCOMPARE(seen.isNull(), expected.isNull());
        QCOMPARE(seen, expected);
        QCOMPARE(rs->field(u"w"), QVariant(qlonglong(7)));
        rs->close();
        d->close();
    }

    void likeUsesJetWildcardsAndIgnoresCase_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("accented capital")
            << QString::fromUtf16(u"Nombre like '*árbol*'") << QStringList{QString::fromUtf16(u"ÁRBOL de levas")};
        QTest::newRow("category") << QString::fromUtf16(u"NombreCategoría like '*ÓPTI*'") << QStringList{"Lentes"};
        QTest::newRow("question mark") << "Nombre like 'Lente?'" << QStringList{"Lentes"};
        QTest::newRow("product code") << "COD_PROD like '*c-4*'" << QStringList{"Parlante"};
        QTest::newRow("null serial never matches") << "Serial like '*'" << QStringList{};
        QTest::newRow("percent is no wildcard") << "Nombre like '%'" << QStringList{};
    }
    void likeUsesJetWildcardsAndIgnoresCase() {
        QFETCH(QString, where);
        QFETCH(QStringList, expected);
        DatabaseEngine engine;
        QCOMPARE(names(engine, "Select * from [Consulta Productos] Where " + where +
                                   " and Inhabilitado=false Order By Nombre;"),
                 expected);
    }

    void updatesRunAndAreReported() {
        QStringList seen;
        DatabaseEngine engine([&](const QString& s) { seen << s; });
        const QString update = QStringLiteral("Update Productos set Serial='MLV1' Where Código=4");
        {
            auto d = engine.openDatabase(db);
            d->execute(update);
            d->close();
        }
        QCOMPARE(names(engine,
                       QStringLiteral("Select * from [Consulta Productos] Where Serial like 'mlv1' Order By Nombre;")),
                 QStringList{"Parlante"});
        QCOMPARE(seen.first(), update);
    }

    void failuresNameTheFileAndTheEnginesMessage_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QByteArray() << "El archivo no existe.";
        QTest::newRow("text file") << QByteArray("Código;Nombre\n1;x\n")
                                   << "El archivo no es una base de datos que Vantoria pueda leer.";
        QTest::newRow("empty file") << QByteArray("") << "El archivo no es una base de datos que Vantoria pueda leer.";
    }
    void failuresNameTheFileAndTheEnginesMessage() {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        const QString path = dir.filePath(QStringLiteral("otra %1.dba").arg(QTest::currentDataTag()));
        if (!content.isNull()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        DatabaseEngine engine;
        try {
            engine.openDatabase(path);
            QFAIL("opened");
        } catch (const DatabaseError& e) {
            QCOMPARE(e.archivo(), path);
            QCOMPARE(e.mensaje(), message);
            QCOMPARE(e.aviso(), QStringLiteral("No se pudo abrir la base de datos \"%1\".\r%2").arg(path, message));
        }
        QCOMPARE(QFileInfo::exists(path), !content.isNull());
    }

    void failingStatementReportsTheEnginesMessage() {
        DatabaseEngine engine;
        auto d = engine.openDatabase(db);
        try {
            d->openRecordset(QStringLiteral("Select * from [No Existe]"));
            QFAIL("ran");
        } catch (const DatabaseError& e) {
            QCOMPARE(e.mensaje(), QStringLiteral("no such table: No Existe"));
            QCOMPARE(e.sentencia(), QStringLiteral("Select * from [No Existe]"));
            QVERIFY(e.aviso().startsWith(
                QStringLiteral("La base de datos \"%1\" no pudo ejecutar la consulta.\r").arg(db)));
        }
    }

    void lockedDatabaseGivesAnErrorInsteadOfWaitingForever() {
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
            other.setDatabaseName(db);
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY(q.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            DatabaseEngine engine;
            QElapsedTimer t;
            t.start();
            try {
                auto d = engine.openDatabase(db);
                d->openRecordset(QStringLiteral("Select * from [Consulta Productos]"));
                QFAIL("read a locked database");
            } catch (const DatabaseError& e) {
                QCOMPARE(e.mensaje(), QStringLiteral("database is locked"));
            }
            QVERIFY(t.elapsed() < 5000);
            QVERIFY(q.exec(QStringLiteral("ROLLBACK")));
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    }

    void sameSeedSameCatalogue() {
        const auto a = catalogo::muestra(300, 9), b = catalogo::muestra(300, 9), c = catalogo::muestra(300, 10);
        QCOMPARE(a.productos.size(), std::size_t(300));
        bool same = true, differs = false, apostrophe = false, nullPrice = false, off = false;
        for (std::size_t i = 0; i < a.productos.size(); ++i) {
            const auto& p = a.productos[i];
            same = same && p.nombre == b.productos[i].nombre && p.precio == b.productos[i].precio;
            differs = differs || p.nombre != c.productos[i].nombre;
            apostrophe = apostrophe || p.nombre.contains(u'\'');
            nullPrice = nullPrice || !p.precio;
            off = off || p.inhabilitado;
        }
        QVERIFY(same && differs && apostrophe && nullPrice && off);
        const auto big = catalogo::muestra(5000, 1);
        bool anyLong = false, above = false, cents = false;
        for (const auto& p : big.productos) {
            anyLong = anyLong || p.nombre.size() > 200;
            above = above || (p.precio && *p.precio > 100000);
            cents = cents || (p.precio && *p.precio < 1);
        }
        QVERIFY(anyLong && above && cents);
    }

    void pricesArePlausibleForTheKindOfProduct_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<double>("lowest");
        QTest::addColumn<double>("highest");
        QTest::newRow("a spark plug") << QStringLiteral("bujía ") << 2.0 << 12.0;
        QTest::newRow("a pen, in cents") << QStringLiteral("bolígrafo ") << 0.25 << 1.5;
        QTest::newRow("a bag of cement") << QStringLiteral("cemento gris ") << 7.0 << 14.0;
        QTest::newRow("a backhoe") << QStringLiteral("retroexcavadora ") << 45000.0 << 160000.0;
    }
    void pricesArePlausibleForTheKindOfProduct() {
        QFETCH(QString, kind);
        QFETCH(double, lowest);
        QFETCH(double, highest);
        int priced = 0;
        for (const auto& p : catalogo::muestra(5000, 1).productos) {
            if (!p.precio || !p.nombre.startsWith(kind, Qt::CaseInsensitive))
                continue;
            ++priced;
            QVERIFY2(*p.precio >= lowest && *p.precio <= highest, qPrintable(p.nombre));
        }
        QVERIFY(priced > 20);
    }

    void generatorNeverOverwrites() {
        const QString path = dir.filePath(QStringLiteral("existe.dba"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("keep");
        }
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, catalogo::escribo(path, catalogo::muestra(5, 1)));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep"));
    }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "tst_engine.moc"
