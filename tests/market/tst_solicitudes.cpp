// The requests' exact texts and the reading of the gateway's answers, without a network.

#include "LectorHttp.h"
#include "Publicaciones.h"
#include "Solicitudes.h"

#include <QTest>

#include <zlib.h>

using namespace solicitudes;

namespace {

QByteArray gzip(const QByteArray& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&z, uLong(data.size()))) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.truncate(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

QByteArray conLargo(const QByteArray& encabezados, const QByteArray& cuerpo) {
    return "HTTP/1.1 200 OK\r\n" + encabezados + "Content-Length: " + QByteArray::number(cuerpo.size()) + "\r\n\r\n" +
           cuerpo;
}

}  // namespace

class SolicitudesTest : public QObject {
    Q_OBJECT

  private slots:
    // The line the wait panel and the status line's tooltip show about an answer an error report followed.
    void anHttpErrorShowsWhatTheHostSaid_data() {
        QTest::addColumn<QString>("info");
        QTest::addColumn<QString>("cuerpo");
        QTest::addColumn<QString>("linea");
        const QString forbidden =
            QStringLiteral(R"({"message":"forbidden","error":"forbidden","status":403,"cause":[]})");
        QTest::newRow("403 with its JSON")
            << "HTTP/1.1 403 Forbidden" << forbidden << "HTTP/1.1 403 Forbidden: " + forbidden;
        QTest::newRow("500 page on one line, cut at 200")
            << "HTTP/1.1 500 Internal Server Error"
            << "<html>\r\n  <body>\t" + QString(300, u'x') + "</body>"
            << "HTTP/1.1 500 Internal Server Error: <html> <body> " + QString(186, u'x');
        QTest::newRow("404 without a body") << "HTTP/1.1 404 Not Found"
                                            << " \r\n"
                                            << "HTTP/1.1 404 Not Found";
        QTest::newRow("200 stays as it is") << "HTTP/1.1 200 OK" << forbidden << "HTTP/1.1 200 OK";
        QTest::newRow("a failure without an answer") << "Connection refused" << QString() << "Connection refused";
    }
    void anHttpErrorShowsWhatTheHostSaid() {
        QFETCH(QString, info);
        QFETCH(QString, cuerpo);
        QTEST(lineaDeRespuesta(info, cuerpo), "linea");
    }

    // One answer as it arrives on its own connection, fed in pieces of every size: what it reads to, or why it fails.
    void answersAreReadStrictly_data() {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<bool>("closes");  // the server closes the connection after these bytes
        QTest::addColumn<int>("code");     // 0: the answer fails
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QByteArray page = QByteArray("{\"results\":[") + QByteArray(3000, ' ') + "]}";
        const QByteArray bomb = gzip(QByteArray(40 * 1024 * 1024, '0'));
        const QString invalid = QStringLiteral("Respuesta no válida del servidor: ");
        QTest::newRow("by length") << conLargo({}, "Listo!!!") << false << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("bytes beyond the length are not the answer")
            << conLargo({}, "no") + "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nListo!!!" << false << 200
            << QByteArray("no") << "";
        QTest::newRow("to the close") << QByteArray("HTTP/1.0 200 OK\nServer: x\n\nabc") << true << 200
                                      << QByteArray("abc") << "";
        QTest::newRow("chunks with extensions and trailers")
            << QByteArray(
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nLis\r\n5\r\nto!!!"
                   "\r\n0\r\nX-T: 1\r\n\r\n")
            << false << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("interim answers are skipped")
            << "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n" +
                   conLargo({}, "Listo!!!9")
            << false << 200 << QByteArray("Listo!!!9") << "";
        QTest::newRow("an error page is an answer")
            << QByteArray("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops") << false << 500
            << QByteArray("oops") << "";
        QTest::newRow("gzip") << conLargo("Content-Encoding: gzip\r\n", gzip(page)) << false << 200 << page << "";
        QTest::newRow("two gzip members") << conLargo("Content-Encoding: gzip\r\n", gzip("Listo") + gzip("!!!"))
                                          << false << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("not gzip") << conLargo("Content-Encoding: gzip\r\n", "Listo!!!") << false << 0 << QByteArray()
                                  << invalid + "la compresión está dañada.";
        QTest::newRow("gzip cut short") << conLargo("Content-Encoding: gzip\r\n", gzip(page).left(20)) << false << 0
                                        << QByteArray() << invalid + "la compresión está incompleta.";
        QTest::newRow("gzip bomb") << conLargo("Content-Encoding: gzip\r\n", bomb) << false << 0 << QByteArray()
                                   << "La respuesta supera el máximo de 32 MiB.";
        QTest::newRow("unknown compression") << conLargo("Content-Encoding: br\r\n", "x") << false << 0 << QByteArray()
                                             << invalid + "compresión no admitida: br";
        QTest::newRow("chunk size not hex")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nListo!!!\r\n0\r\n\r\n") << false
            << 0 << QByteArray() << invalid + "bloque mal formado.";
        QTest::newRow("chunk longer than its data, then closed")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nListo!!!") << true << 0
            << QByteArray() << "El servidor cerró la conexión antes de terminar la respuesta.";
        QTest::newRow("chunk data without its line end")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nListo!!!\r\n0\r\n\r\n") << false
            << 0 << QByteArray() << invalid + "bloque mal formado.";
        QTest::newRow("chunks and length together")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 8\r\nTransfer-Encoding: chunked\r\n\r\n") << false << 0
            << QByteArray() << invalid + "longitud y bloques a la vez.";
        QTest::newRow("two different lengths")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 8\r\n\r\nListo!!!") << false << 0
            << QByteArray() << invalid + "longitud mal indicada.";
        QTest::newRow("cut before its length") << conLargo({}, "Listo!!!").chopped(3) << true << 0 << QByteArray()
                                               << "El servidor cerró la conexión antes de terminar la respuesta.";
        QTest::newRow("header flood") << "HTTP/1.1 200 OK\r\n" + QByteArray("X-A: ").append(70 * 1024, 'a') << false
                                      << 0 << QByteArray() << invalid + "los encabezados superan 64 KiB.";
        QTest::newRow("many short header lines")
            << "HTTP/1.1 200 OK\r\n" + QByteArray("X: 1\r\n").repeated(201) << false << 0 << QByteArray()
            << invalid + "más de 200 líneas de encabezado.";
        QTest::newRow("endless interim answers")
            << QByteArray("HTTP/1.1 102 Processing\r\n\r\n").repeated(9) << false << 0 << QByteArray()
            << invalid + "demasiadas respuestas provisionales.";
        QTest::newRow("switching protocols") << QByteArray("HTTP/1.1 101 Switching Protocols\r\n\r\n") << false << 0
                                             << QByteArray() << invalid + "cambio de protocolo no pedido.";
        QTest::newRow("folded header") << QByteArray("HTTP/1.1 200 OK\r\nX: a\r\n b\r\n\r\n") << false << 0
                                       << QByteArray() << invalid + "línea de encabezado mal formada.";
        QTest::newRow("not HTTP") << QByteArray("Listo!!!\r\n\r\n") << false << 0 << QByteArray()
                                  << invalid + "línea de estado mal formada.";
        QTest::newRow("announced beyond the limit")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 34603008\r\n\r\n") << false << 0 << QByteArray()
            << "La respuesta anuncia 33 MiB; se aceptan hasta 32 MiB.";
    }
    void answersAreReadStrictly() {
        QFETCH(QByteArray, wire);
        QFETCH(bool, closes);
        QFETCH(int, code);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        for (const qsizetype piece : {qsizetype(1), qsizetype(7), qsizetype(4096), wire.size()}) {
            if (piece < 4096 && wire.size() > 200'000)
                continue;
            LectorHttp lector;
            for (qsizetype i = 0; i < wire.size() && lector.estado() == LectorHttp::Estado::Faltan; i += piece)
                lector.lee(wire.mid(i, piece));
            if (closes)
                lector.cierre();
            QCOMPARE(lector.estado(), code ? LectorHttp::Estado::Completa : LectorHttp::Estado::Fallida);
            QCOMPARE(lector.error(), error);
            QCOMPARE(lector.codigo() * int(code != 0), code);
            QCOMPARE(lector.cuerpo(), body);
        }
    }

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

    // A cancelled download's status line: one listing is singular, the number in the user's format.
    void aCancelledDownloadSaysHowManyListingsItKept_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("listings");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << "en_US" << 0 << "Descarga cancelada: 0 publicaciones.";
        QTest::newRow("one") << "en_US" << 1 << "Descarga cancelada: 1 publicación.";
        QTest::newRow("1,000") << "en_US" << 1000 << "Descarga cancelada: 1,000 publicaciones.";
        QTest::newRow("1.000, es-VE") << "es_VE" << 1000 << "Descarga cancelada: 1.000 publicaciones.";
    }
    void aCancelledDownloadSaysHowManyListingsItKept() {
        QFETCH(QString, locale);
        QFETCH(int, listings);
        QFETCH(QString, text);
        const QLocale before;
        QLocale::setDefault(QLocale(locale));
        const QString shown = textoDescargaCancelada(listings);
        QLocale::setDefault(before);
        QCOMPARE(shown, text);
    }

    void onlyBlanksAreTrimmed() {
        QCOMPARE(sinBlancos(QStringLiteral("  \t a b \r\n  ")), QStringLiteral("\t a b \r\n"));
        QCOMPARE(sinBlancos(QStringLiteral("    ")), QString());
    }
};

QTEST_GUILESS_MAIN(SolicitudesTest)
#include "tst_solicitudes.moc"
