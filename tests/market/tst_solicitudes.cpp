// The requests' exact texts and the reading of the gateway's answers, without a network.

#include "Solicitudes.h"

#include <QTest>

using namespace solicitudes;

class SolicitudesTest : public QObject {
    Q_OBJECT

  private slots:
    void valuesArePercentEncoded_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("encoded");
        QTest::newRow("plain") << "ana_perez-01.x~"
                               << "ana_perez-01.x~";
        QTest::newRow("form delimiters") << "cl&ve=1%"
                                         << "cl%26ve%3D1%25";
        QTest::newRow("plus and blank") << "a+b c"
                                        << "a%2Bb%20c";
        QTest::newRow("line break and hash") << "12\r\n#?"
                                             << "12%0D%0A%23%3F";
        QTest::newRow("accented, as UTF-8") << "Ñandú"
                                            << "%C3%91and%C3%BA";
    }
    void valuesArePercentEncoded() {
        QFETCH(QString, value);
        QFETCH(QString, encoded);
        QCOMPARE(codifico(value), encoded);
    }

    void requestsHaveTheirExactForm() {
        QCOMPARE(cuerpoIngreso(QStringLiteral("ana"), QStringLiteral("cl&ve=1%")),
                 QStringLiteral("fusuario=ana&fclave=cl%26ve%3D1%25"));
        QCOMPARE(urlIngreso(QStringLiteral("https://gw.example/")),
                 QStringLiteral("https://gw.example/mercadolibre/ml00000316_LogeandoEspecial.php"));
        QCOMPARE(urlPagina(QStringLiteral("https://api.example"), 20, 0, QStringLiteral("12345")),
                 QStringLiteral("https://api.example/sites/MLV/search?limit=20&offset=0&seller_id=12345"));
        QCOMPARE(urlPagina(QStringLiteral("https://api.example"), 20, 40, QStringLiteral("1\n&x=2")),
                 QStringLiteral("https://api.example/sites/MLV/search?limit=20&offset=40&seller_id=1%0A%26x%3D2"));
        QCOMPARE(urlPrecio(QStringLiteral("https://gw.example"), QStringLiteral("MLV123"), QStringLiteral("1234.5")),
                 QStringLiteral("https://gw.example/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV123"
                                "&precio_item=1234.5"));
        QCOMPARE(urlPausa(QStringLiteral("https://gw.example")),
                 QStringLiteral("https://gw.example/mercadolibre/ml00000319_Blank.php"));
    }

    void sellerIdIsWhatFollowsTheFirstMarker_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("sellerId");
        QTest::newRow("marker then id") << "Listo!!!12345" << true << "12345";
        QTest::newRow("lower case") << "listo!!!12345" << true << "12345";
        QTest::newRow("blanks around") << "   Listo!!!12345  " << true << "12345";
        QTest::newRow("line end after the id") << "Listo!!!12345\r\n" << true << "12345";
        QTest::newRow("bare line feed after the id") << "Listo!!!12345\n" << true << "12345";
        QTest::newRow("blanks and line ends around the id") << "Listo!!! \t\r\n12345\t \r\n" << true << "12345";
        QTest::newRow("blank inside the id kept") << "Listo!!!12 345\r\n" << true << "12 345";
        QTest::newRow("only a line end after") << "Listo!!!\r\n" << true << "";
        QTest::newRow("tab kept") << "\tListo!!!12345" << true << "12345";
        QTest::newRow("nothing after") << "Listo!!!" << true << "";
        QTest::newRow("twice") << "Listo!!!12Listo!!!34" << true << "12Listo!!!34";
        QTest::newRow("text before") << "Bienvenido. LISTO!!!77" << true << "77";
        QTest::newRow("rejected") << "Usuario o clave incorrectos." << false << "";
        QTest::newRow("marker cut") << "Listo!!" << false << "";
    }
    void sellerIdIsWhatFollowsTheFirstMarker() {
        QFETCH(QString, answer);
        QFETCH(bool, accepted);
        QFETCH(QString, sellerId);
        const QString trimmed = sinBlancos(answer);
        QCOMPARE(esListo(trimmed), accepted);
        QCOMPARE(idVendedor(trimmed), sellerId);
    }

    void leadingNumberIsRead_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("whole") << "45" << 45.0;
        QTest::newRow("blanks and sign") << "  -12abc" << -12.0;
        QTest::newRow("fraction") << "40.5" << 40.5;
        QTest::newRow("exponent") << "1e3x" << 1000.0;
        QTest::newRow("bare exponent mark") << "7e" << 7.0;
        QTest::newRow("decimal comma stops") << "45,5" << 45.0;
        QTest::newRow("not a number") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("lone point") << "." << 0.0;
    }
    void leadingNumberIsRead() {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(valorInicial(text), value);
    }

    void reportNumbersHaveOneLeadingBlankAndNoZeroBeforeThePoint_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow(".007") << 0.007 << " .007";
        QTest::newRow(".01") << 0.01 << " .01";
        QTest::newRow("10") << 10.0 << " 10";
        QTest::newRow("0") << 0.0 << " 0";
        QTest::newRow("2") << 2.0 << " 2";
        QTest::newRow("12") << 12.0 << " 12";
        QTest::newRow("negative") << -0.5 << "-.5";
    }
    void reportNumbersHaveOneLeadingBlankAndNoZeroBeforeThePoint() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(numeroInforme(value), text);
    }

    void onlyBlanksAreTrimmed() {
        QCOMPARE(sinBlancos(QStringLiteral("  \t a b \r\n  ")), QStringLiteral("\t a b \r\n"));
        QCOMPARE(sinBlancos(QStringLiteral("    ")), QString());
    }
};

QTEST_GUILESS_MAIN(SolicitudesTest)
#include "tst_solicitudes.moc"
