#include "Amounts.h"
#include "CatalogueGenerator.h"
#include "JetSql.h"
#include "Statements.h"

#include <QTest>

#include <limits>

class AmountsStatementsTest : public QObject {
    Q_OBJECT
  private slots:
    void roundsTheAmountAsWritten_data() {
        QTest::addColumn<double>("amount");
        QTest::addColumn<QString>("expected");
        QTest::newRow("1.005") << 1.005 << "1.01";
        QTest::newRow("2.675") << 2.675 << "2.68";
        QTest::newRow("0.125") << 0.125 << "0.13";
        QTest::newRow("1234.565") << 1234.565 << "1234.57";
        QTest::newRow("99.999") << 99.999 << "100.00";
        QTest::newRow("987.654") << 987.654 << "987.65";
        QTest::newRow("0.004 rounds down") << 0.004 << "0.00";
        QTest::newRow("0.005, below the point only, rounds up") << 0.005 << "0.01";
        QTest::newRow("-0.005 keeps its sign") << -0.005 << "-0.01";
        QTest::newRow("0.995 carries into the units") << 0.995 << "1.00";
        QTest::newRow("0.0005 rounds down") << 0.0005 << "0.00";
        QTest::newRow("-2.675 away from zero") << -2.675 << "-2.68";
        QTest::newRow("-0.001 loses its sign") << -0.001 << "0.00";
        QTest::newRow("whole") << 120.0 << "120.00";
        QTest::newRow("big") << 123456789012.345 << "123456789012.35";
        QTest::newRow("9.995 carries") << 9.995 << "10.00";
        QTest::newRow("1e64, 65 digits") << 1e64 << "1" + QString(64, u'0') + ".00";
        QTest::newRow("-1e64") << -1e64 << "-1" + QString(64, u'0') + ".00";
        QTest::newRow("1e300") << 1e300 << "1" + QString(300, u'0') + ".00";
        QTest::newRow("largest double") << std::numeric_limits<double>::max()
                                        << "17976931348623157" + QString(309 - 17, u'0') + ".00";
        QTest::newRow("smallest double") << std::numeric_limits<double>::denorm_min() << "0.00";
    }
    void roundsTheAmountAsWritten() {
        QFETCH(double, amount);
        QFETCH(QString, expected);
        const DosDecimales d = redondeoDosDecimales(amount);
        QCOMPARE((d.negative ? QStringLiteral("-") : QString()) + d.entero + u'.' + d.decimales, expected);
    }

    void displayFormatFollowsTheRegionalSettings_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<double>("amount");
        QTest::addColumn<QString>("expected");
        const QLocale us(QLocale::English, QLocale::UnitedStates);
        const QLocale es(QLocale::Spanish, QLocale::Spain);
        const QLocale ve(QLocale::Spanish, QLocale::Venezuela);
        QTest::newRow("us grouping") << us << 1234.5 << "1,234.50";
        QTest::newRow("us millions") << us << 1234567.891 << "1,234,567.89";
        QTest::newRow("us small") << us << 0.5 << "0.50";
        QTest::newRow("us zero") << us << 0.0 << "0.00";
        QTest::newRow("us 1.005") << us << 1.005 << "1.01";
        QTest::newRow("us negative") << us << -12.3 << "-12.30";
        QTest::newRow("spain") << es << 1234.5 << "1.234,50";
        QTest::newRow("venezuela") << ve << 150000.0 << "150.000,00";
        QTest::newRow("C still groups") << QLocale::c() << 1234.5 << "1,234.50";
        QTest::newRow("three digits no sign") << us << 999.994 << "999.99";
        QTest::newRow("rounding adds a group") << us << 999.995 << "1,000.00";
        QTest::newRow("us 1e64") << us << 1e64 << "10" + QString(",000").repeated(21) + ".00";
        QTest::newRow("spain largest double") << es << std::numeric_limits<double>::max()
                                              << "179.769.313.486.231.570" + QString(".000").repeated(97) + ",00";
    }
    void displayFormatFollowsTheRegionalSettings() {
        QFETCH(QLocale, locale);
        QFETCH(double, amount);
        QFETCH(QString, expected);
        QCOMPARE(formatoPrecio(amount, locale), expected);
    }

    void productStatements_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("statement");
        const QString all =
            "Select * from [Consulta Productos] Where Inhabilitado=false Order By NombreCategoría, Nombre;";
        const auto search = [](const QString& w) {
            return "Select * from [Consulta Productos] Where (Nombre like '*" + w + "*' or NombreCategoría like '*" +
                   w + "*' or COD_PROD like '*" + w + "*' or Serial like '*" + w +
                   "*') and Inhabilitado=false Order By NombreCategoría, Nombre;";
        };
        QTest::newRow("placeholder") << "Buscar..." << all;
        QTest::newRow("empty") << "" << all;
        QTest::newRow("placeholder in lower case searches") << "buscar..." << search("buscar...");
        QTest::newRow("word") << "taladro" << search("taladro");
        QTest::newRow("wildcards kept") << "t*o?" << search("t*o?");
        QTest::newRow("apostrophe doubled") << "D'Angelo" << search("D''Angelo");
        QTest::newRow("hostile word stays a word") << "x' or 1=1 --" << search("x'' or 1=1 --");
    }
    void productStatements() {
        QFETCH(QString, box);
        QFETCH(QString, statement);
        QCOMPARE(sentencias::productos(box), statement);
    }

    void productCodeMustBeAWholeNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("value");
        QTest::newRow("digits") << "1234" << true << qint64(1234);
        QTest::newRow("negative") << "-5" << true << qint64(-5);
        QTest::newRow("empty") << "" << false << qint64(0);
        QTest::newRow("decimal") << "12.5" << false << qint64(0);
        QTest::newRow("injection") << "1 or 1=1" << false << qint64(0);
        QTest::newRow("spaces") << " 12" << false << qint64(0);
        QTest::newRow("plus") << "+12" << false << qint64(0);
        QTest::newRow("too long") << "1234567890123456789012" << false << qint64(0);
        QTest::newRow("arabic-indic digits") << QString::fromUtf16(u"\u0661\u0662") << false << qint64(0);
    }
    void productCodeMustBeAWholeNumber() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(qint64, value);
        const auto code = sentencias::codigoProducto(text);
        QCOMPARE(code.has_value(), ok);
        if (ok)
            QCOMPARE(*code, value);
    }

    void updateStatements() {
        QCOMPARE(sentencias::precio("1200", 42),
                 QStringLiteral("Update Productos set PrecioSugeridoAdic002=1200 Where Código=42"));
        QCOMPARE(sentencias::quitoSerial(42), QStringLiteral("Update Productos set Serial='-' Where Código=42"));
        QCOMPARE(sentencias::serial("MLV12", 42),
                 QStringLiteral("Update Productos set Serial='MLV12' Where Código=42"));
        QCOMPARE(sentencias::serial("a'b", 7), QStringLiteral("Update Productos set Serial='a''b' Where Código=7"));
    }

    void jetLike_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("match");
        QTest::newRow("inside") << "Taladro percutor"
                                << "*perc*" << true;
        QTest::newRow("case") << "TALADRO"
                              << "*taladro*" << true;
        QTest::newRow("accented capital") << QString::fromUtf16(u"ÓPTICA") << QString::fromUtf16(u"*óptica*") << true;
        QTest::newRow("accent is not folded") << "Optica" << QString::fromUtf16(u"*óptica*") << false;
        QTest::newRow("enye case") << QString::fromUtf16(u"PIÑATA") << QString::fromUtf16(u"*piñ*") << true;
        QTest::newRow("question mark one char") << "abc"
                                                << "a?c" << true;
        QTest::newRow("question mark not zero chars") << "ac"
                                                      << "a?c" << false;
        QTest::newRow("hash digit") << "A1"
                                    << "A#" << true;
        QTest::newRow("hash not letter") << "AB"
                                         << "A#" << false;
        QTest::newRow("set") << "bat"
                             << "[bc]at" << true;
        QTest::newRow("range") << "dat"
                               << "[a-e]at" << true;
        QTest::newRow("negated set") << "bat"
                                     << "[!bc]at" << false;
        QTest::newRow("literal star in brackets") << "a*b"
                                                  << "a[*]b" << true;
        QTest::newRow("literal star needs it") << "axb"
                                               << "a[*]b" << false;
        QTest::newRow("percent is literal") << "50% off"
                                            << "*%*" << true;
        QTest::newRow("percent not a wildcard") << "50 off"
                                                << "*%*" << false;
        QTest::newRow("underscore is literal") << "ab"
                                               << "_b" << false;
        QTest::newRow("apostrophe") << "D'Angelo"
                                    << "*d'ang*" << true;
        QTest::newRow("backtracking") << "aaab"
                                      << "*a*ab" << true;
        QTest::newRow("empty pattern") << ""
                                       << "" << true;
        QTest::newRow("star only") << ""
                                   << "*" << true;
        QTest::newRow("unclosed bracket literal") << "[x"
                                                  << "[x" << true;
    }
    void jetLike() {
        QFETCH(QString, value);
        QFETCH(QString, pattern);
        QFETCH(bool, match);
        QCOMPARE(jet::like(value, pattern), match);
    }

    void jetOrderIgnoresCaseAndSortsAccentsWithTheirBase() {
        QStringList names{QString::fromUtf16(u"Óptica"),
                          "zapatos",
                          "Audio",
                          QString::fromUtf16(u"árboles"),
                          "Optica",
                          "ARBOLES",
                          "Nuez",
                          QString::fromUtf16(u"Ñame"),
                          "Oso",
                          "arboles"};
        std::sort(names.begin(), names.end(),
                  [](const QString& a, const QString& b) { return jet::compare(a, b) < 0; });
        QCOMPARE(names, (QStringList{"arboles", "ARBOLES", QString::fromUtf16(u"árboles"), "Audio",
                                     QString::fromUtf16(u"Ñame"), "Nuez", "Optica", QString::fromUtf16(u"Óptica"),
                                     "Oso", "zapatos"}));
        QCOMPARE(jet::compare(u"abc", u"abc"), 0);
        QVERIFY(jet::compare(u"ab", u"abc") < 0);
    }

    void jetOrderIsTheSameOnUtf8_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("equal") << "Martillo"
                               << "Martillo" << 0;
        QTest::newRow("case only, lower first") << "martillo"
                                                << "Martillo" << -1;
        QTest::newRow("accent after its base") << QString::fromUtf16(u"árbol") << "arbol" << 1;
        QTest::newRow("accent outweighs case") << QString::fromUtf16(u"árbol") << "ARBOL" << 1;
        QTest::newRow("shared first byte of two accents")
            << QString::fromUtf16(u"cafè") << QString::fromUtf16(u"café") << -1;
        QTest::newRow("accented letter with its base, before the next letter")
            << QString::fromUtf16(u"Óptica") << "Oso" << -1;
        QTest::newRow("ñ after n") << QString::fromUtf16(u"Ñame") << "Nuez" << -1;
        QTest::newRow("prefix first") << "Taladro"
                                      << "Taladro D'Angelo" << -1;
        QTest::newRow("prefix ending in an accent")
            << QString::fromUtf16(u"Bebé") << QString::fromUtf16(u"Bebés") << -1;
        QTest::newRow("primary difference beats an earlier accent") << QString::fromUtf16(u"éa") << "eb" << -1;
        QTest::newRow("beyond the basic plane")
            << QString::fromUtf16(u"a\U0001F600") << QString::fromUtf16(u"a\U0001F601") << -1;
        QTest::newRow("empty") << ""
                               << "a" << -1;
        QTest::newRow("eight equal bytes, then the longer") << "Martillo"
                                                            << "Martillos" << -1;
        QTest::newRow("accent across the eighth byte")
            << QString::fromUtf16(u"Abcdefg\u00E9") << QString::fromUtf16(u"Abcdefg\u00E8") << 1;
        QTest::newRow("case only, past sixteen equal bytes") << "Destornillador plano"
                                                             << "Destornillador Plano" << -1;
        QTest::newRow("accent outweighs case beyond the Latin blocks")
            << QString::fromUtf16(u"\u028C\u00E9") << QString::fromUtf16(u"\u0245e") << 1;
        QTest::newRow("last of the Latin blocks before the next")
            << QString::fromUtf16(u"\u024F") << QString::fromUtf16(u"\u0250") << -1;
        QTest::newRow("accented capital and its base's small letter") << QString::fromUtf16(u"\u00C1") << "a" << 1;
    }
    void jetOrderIsTheSameOnUtf8() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        const auto sign = [](int v) { return (v > 0) - (v < 0); };
        QCOMPARE(sign(jet::compare(a, b)), order);
        QCOMPARE(sign(jet::compare(b, a)), -order);
        QCOMPARE(sign(jet::compareUtf8(a.toUtf8(), b.toUtf8())), order);
        QCOMPARE(sign(jet::compareUtf8(b.toUtf8(), a.toUtf8())), -order);
    }

    void jetOrderOnUtf8SortsGeneratedNamesAlike() {
        const catalogo::Catalogo c = catalogo::muestra(800, 11);
        QStringList names;
        for (const catalogo::Producto& p : c.productos)
            names << p.nombre;
        for (const auto& k : c.categorias)
            names << k.nombre;
        QStringList utf16 = names, utf8 = names;
        std::sort(utf16.begin(), utf16.end(),
                  [](const QString& a, const QString& b) { return jet::compare(a, b) < 0; });
        std::sort(utf8.begin(), utf8.end(),
                  [](const QString& a, const QString& b) { return jet::compareUtf8(a.toUtf8(), b.toUtf8()) < 0; });
        QCOMPARE(utf8, utf16);
    }

    void orderByTermsGetTheJetCollation_data() {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("two terms") << "Select * from T Order By A, B;"
                                   << "Select * from T Order By A COLLATE JET, B COLLATE JET;";
        QTest::newRow("direction") << "select a from t order by a desc"
                                   << "select a from t order by a COLLATE JET desc";
        QTest::newRow("no order") << "Select * from T Where x='order by y'"
                                  << "Select * from T Where x='order by y'";
        QTest::newRow("inside a literal only") << "Select 'Order By x' Order By N"
                                               << "Select 'Order By x' Order By N COLLATE JET";
        QTest::newRow("already collated") << "select * from t order by a collate nocase"
                                          << "select * from t order by a collate nocase";
        QTest::newRow("bracketed name") << "select * from [Order By] order by [x, y]"
                                        << "select * from [Order By] order by [x, y] COLLATE JET";
    }
    void orderByTermsGetTheJetCollation() {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(jet::paraSqlite(in), out);
    }

    void ansiWildcardsForOdbc_data() {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("star and question") << "x like '*a?b*'"
                                           << "x like '%a_b%'";
        QTest::newRow("literal percent and underscore") << "x LIKE '*5%_*'"
                                                        << "x LIKE '%5[%][_]%'";
        QTest::newRow("digit") << "x like '#'"
                               << "x like '[0-9]'";
        QTest::newRow("set kept") << "x like '[*]*'"
                                  << "x like '[*]%'";
        QTest::newRow("not after like") << "Serial='*'"
                                        << "Serial='*'";
        QTest::newRow("doubled quote") << "x like '*it''s*'"
                                       << "x like '%it''s%'";
    }
    void ansiWildcardsForOdbc() {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(jet::comodinesAnsi(in), out);
    }
};

QTEST_GUILESS_MAIN(AmountsStatementsTest)
#include "tst_amounts_statements.moc"
