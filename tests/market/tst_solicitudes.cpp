// The requests' exact texts and the reading of the gateway's answers, without a network.

#include "Galletas.h"
#include "LectorHttp.h"
#include "Publicaciones.h"
#include "Solicitudes.h"

#include <QTest>

#include <zlib.h>

using namespace solicitudes;

namespace {

// `data` compressed as gzip, or with `bits` MAX_WBITS as zlib, -MAX_WBITS as raw deflate.
QByteArray gzip(const QByteArray& data, int bits = 16 + MAX_WBITS) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY);
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
        // How the connection ends after these bytes: 0 it stays open, 1 with TLS's closure alert, 2 a bare FIN or
        // reset.
        QTest::addColumn<int>("ends");
        QTest::addColumn<int>("code");  // 0: the answer fails
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QByteArray page = QByteArray("{\"results\":[") + QByteArray(3000, ' ') + "]}";
        const QByteArray bomb = gzip(QByteArray(40 * 1024 * 1024, '0'));
        const QString invalid = QStringLiteral("Respuesta no válida del servidor: ");
        const QString cut = QStringLiteral(
            "La conexión se cortó sin el aviso de cierre del servidor: la respuesta puede estar incompleta.");
        QTest::newRow("by length") << conLargo({}, "Listo!!!") << 0 << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("bytes beyond the length are not the answer")
            << conLargo({}, "no") + "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nListo!!!" << 0 << 200
            << QByteArray("no") << "";
        QTest::newRow("to the closure alert")
            << QByteArray("HTTP/1.0 200 OK\nServer: x\n\nabc") << 1 << 200 << QByteArray("abc") << "";
        // Without the alert a close-delimited body may have been cut anywhere: a listing page cut mid-array, a
        // sign-in answer cut inside its seller id.
        QTest::newRow("to a bare close") << QByteArray("HTTP/1.1 200 OK\r\n\r\n[{\"id\": 1}, {\"id\"") << 2 << 0
                                         << QByteArray() << cut;
        QTest::newRow("a sign-in answer to a bare close")
            << QByteArray("HTTP/1.1 200 OK\r\n\r\nListo!!!123456") << 2 << 0 << QByteArray() << cut;
        QTest::newRow("by length, then a bare close")
            << conLargo({}, "Listo!!!") << 2 << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("chunks with extensions and trailers")
            << QByteArray(
                   "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nLis\r\n5\r\nto!!!"
                   "\r\n0\r\nX-T: 1\r\n\r\n")
            << 0 << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("interim answers are skipped")
            << "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n" +
                   conLargo({}, "Listo!!!9")
            << 0 << 200 << QByteArray("Listo!!!9") << "";
        QTest::newRow("an error page is an answer")
            << QByteArray("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops") << 0 << 500
            << QByteArray("oops") << "";
        QTest::newRow("gzip") << conLargo("Content-Encoding: gzip\r\n", gzip(page)) << 0 << 200 << page << "";
        QTest::newRow("two gzip members") << conLargo("Content-Encoding: gzip\r\n", gzip("Listo") + gzip("!!!")) << 0
                                          << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("not gzip") << conLargo("Content-Encoding: gzip\r\n", "Listo!!!") << 0 << 0 << QByteArray()
                                  << invalid + "la compresión está dañada.";
        QTest::newRow("gzip cut short") << conLargo("Content-Encoding: gzip\r\n", gzip(page).left(20)) << 0 << 0
                                        << QByteArray() << invalid + "la compresión está incompleta.";
        QTest::newRow("gzip bomb") << conLargo("Content-Encoding: gzip\r\n", bomb) << 0 << 0 << QByteArray()
                                   << "La respuesta supera el máximo de 32 MiB.";
        QTest::newRow("deflate, zlib-wrapped")
            << conLargo("Content-Encoding: deflate\r\n", gzip(page, MAX_WBITS)) << 0 << 200 << page << "";
        QTest::newRow("deflate sent raw, as old IIS and PHP's gzdeflate do")
            << conLargo("Content-Encoding: deflate\r\n", gzip(page, -MAX_WBITS)) << 0 << 200 << page << "";
        QTest::newRow("raw deflate cut short")
            << conLargo("Content-Encoding: deflate\r\n", gzip(page, -MAX_WBITS).left(1)) << 0 << 0 << QByteArray()
            << invalid + "la compresión está incompleta.";
        QTest::newRow("deflate that is neither") << conLargo("Content-Encoding: deflate\r\n", "\xff\xffListo!!!") << 0
                                                 << 0 << QByteArray() << invalid + "la compresión está dañada.";
        QTest::newRow("unknown compression") << conLargo("Content-Encoding: br\r\n", "x") << 0 << 0 << QByteArray()
                                             << invalid + "compresión no admitida: br";
        QTest::newRow("chunk size not hex")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nListo!!!\r\n0\r\n\r\n") << 0 << 0
            << QByteArray() << invalid + "bloque mal formado.";
        QTest::newRow("chunk longer than its data, then closed")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nListo!!!") << 1 << 0
            << QByteArray() << "El servidor cerró la conexión antes de terminar la respuesta.";
        QTest::newRow("chunk data without its line end")
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nListo!!!\r\n0\r\n\r\n") << 0 << 0
            << QByteArray() << invalid + "bloque mal formado.";
        QTest::newRow("chunks and length together")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 8\r\nTransfer-Encoding: chunked\r\n\r\n") << 0 << 0
            << QByteArray() << invalid + "longitud y bloques a la vez.";
        QTest::newRow("two different lengths")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 8\r\n\r\nListo!!!") << 0 << 0
            << QByteArray() << invalid + "longitud mal indicada.";
        QTest::newRow("cut before its length") << conLargo({}, "Listo!!!").chopped(3) << 1 << 0 << QByteArray()
                                               << "El servidor cerró la conexión antes de terminar la respuesta.";
        QTest::newRow("header flood") << "HTTP/1.1 200 OK\r\n" + QByteArray("X-A: ").append(70 * 1024, 'a') << 0 << 0
                                      << QByteArray() << invalid + "los encabezados superan 64 KiB.";
        QTest::newRow("many short header lines") << "HTTP/1.1 200 OK\r\n" + QByteArray("X: 1\r\n").repeated(201) << 0
                                                 << 0 << QByteArray() << invalid + "más de 200 líneas de encabezado.";
        QTest::newRow("endless interim answers") << QByteArray("HTTP/1.1 102 Processing\r\n\r\n").repeated(9) << 0 << 0
                                                 << QByteArray() << invalid + "demasiadas respuestas provisionales.";
        QTest::newRow("switching protocols") << QByteArray("HTTP/1.1 101 Switching Protocols\r\n\r\n") << 0 << 0
                                             << QByteArray() << invalid + "cambio de protocolo no pedido.";
        // Folded header lines are obsolete, but servers still send them: the fold reads as one blank.
        QTest::newRow("folded header") << conLargo("Content-Encoding: identity,\r\n\t gzip\r\n", gzip("Listo!!!")) << 0
                                       << 200 << QByteArray("Listo!!!") << "";
        QTest::newRow("folded length still checked")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 8\r\n 8\r\n\r\nListo!!!") << 0 << 0 << QByteArray()
            << invalid + "longitud mal indicada.";
        QTest::newRow("fold before any header") << QByteArray("HTTP/1.1 200 OK\r\n X: b\r\n\r\n") << 0 << 0
                                                << QByteArray() << invalid + "línea de encabezado mal formada.";
        QTest::newRow("not HTTP") << QByteArray("Listo!!!\r\n\r\n") << 0 << 0 << QByteArray()
                                  << invalid + "línea de estado mal formada.";
        QTest::newRow("announced beyond the limit")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 34603008\r\n\r\n") << 0 << 0 << QByteArray()
            << "La respuesta anuncia 33 MiB; se aceptan hasta 32 MiB.";
    }
    void answersAreReadStrictly() {
        QFETCH(QByteArray, wire);
        QFETCH(int, ends);
        QFETCH(int, code);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        for (const qsizetype piece : {qsizetype(1), qsizetype(7), qsizetype(4096), wire.size()}) {
            if (piece < 4096 && wire.size() > 200'000)
                continue;
            LectorHttp lector;
            for (qsizetype i = 0; i < wire.size() && lector.estado() == LectorHttp::Estado::Faltan; i += piece)
                lector.lee(wire.mid(i, piece));
            if (ends)
                lector.cierre(ends == 1);
            QCOMPARE(lector.estado(), code ? LectorHttp::Estado::Completa : LectorHttp::Estado::Fallida);
            QCOMPARE(lector.error(), error);
            QCOMPARE(lector.codigo() * int(code != 0), code);
            QCOMPARE(lector.cuerpo(), body);
        }
    }

    // What the jar sends back, after answers that set cookies: each step is the answer's URL, a tab, and one
    // Set-Cookie value.
    void cookiesGoBackToTheirHostWithinBounds_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("cookie");
        const QString gw = QStringLiteral("https://pasarela.example/mercadolibre/ml00000316_LogeandoEspecial.php\t");
        const QString price = QStringLiteral("https://pasarela.example/mercadolibre/ml00000102_meliGet.php");
        const QString x = QStringLiteral("x");
        const QByteArray X = "x";
        QTest::newRow("a session cookie")
            << QStringList{gw + "s=abc; Secure; HttpOnly; Path=/"} << price << QByteArray("s=abc");
        QTest::newRow("set again: the new value")
            << QStringList{gw + "s=1; Path=/", gw + "s=2; Path=/"} << price << QByteArray("s=2");
        QTest::newRow("in the order set, longer paths first")
            << QStringList{gw + "a=1; Path=/", gw + "b=2", gw + "c=3; Path=/"} << price << QByteArray("b=2; a=1; c=3");
        QTest::newRow("another host gets none")
            << QStringList{gw + "s=abc; Path=/"} << QStringLiteral("https://api.example/sites/MLV/search")
            << QByteArray();
        QTest::newRow("the same host on another port")
            << QStringList{gw + "s=abc; Path=/"} << QStringLiteral("https://pasarela.example:8443/x")
            << QByteArray("s=abc");
        QTest::newRow("a Domain never widens it to a sibling")
            << QStringList{gw + "s=abc; Domain=example; Path=/"} << QStringLiteral("https://api.example/")
            << QByteArray();
        QTest::newRow("a Domain of another host is dropped") << QStringList{gw + "s=abc; Domain=otro.example; Path=/"}
                                                             << QStringLiteral("https://otro.example/") << QByteArray();
        QTest::newRow("never from http://")
            << QStringList{"http://pasarela.example/\ts=abc; Path=/"} << price << QByteArray();
        QTest::newRow("never to http://")
            << QStringList{gw + "s=abc; Path=/"} << QStringLiteral("http://pasarela.example/") << QByteArray();
        QTest::newRow("a path it does not cover") << QStringList{gw + "s=abc; Path=/otra"} << price << QByteArray();
        QTest::newRow("the default path is the request's folder")
            << QStringList{gw + "s=abc"} << QStringLiteral("https://pasarela.example/sites/MLV/search") << QByteArray();
        QTest::newRow("Max-Age=0 deletes it")
            << QStringList{gw + "s=abc; Path=/", gw + "s=; Max-Age=0; Path=/"} << price << QByteArray();
        QTest::newRow("an expiry in the past deletes it")
            << QStringList{gw + "s=abc; Path=/", gw + "s=; Expires=Thu, 01 Jan 1970 00:00:01 GMT; Path=/"} << price
            << QByteArray();
        QTest::newRow("a Max-Age to come keeps it")
            << QStringList{gw + "s=abc; Max-Age=3600; Path=/"} << price << QByteArray("s=abc");
        QStringList many;
        QByteArray last50;
        for (int i = 1; i <= 51; ++i) {
            many << gw + QStringLiteral("c%1=%1; Path=/").arg(i);
            if (i > 1)
                last50 += (i > 2 ? "; c" : "c") + QByteArray::number(i) + '=' + QByteArray::number(i);
        }
        QTest::newRow("the 51st pushes the oldest out") << many << price << last50;
        QTest::newRow("4 KB kept, 4 KB + 1 dropped")
            << QStringList{gw + "a=" + x.repeated(4094) + "; Path=/", gw + "b=" + x.repeated(4095) + "; Path=/"}
            << price << "a=" + X.repeated(4094);
        // "Cookie: " (8 bytes) and the value make the line: 8 + 4091 + 2 + 4091 = 8,192.
        QTest::newRow("a Cookie line of 8 KB")
            << QStringList{gw + "a=" + x.repeated(4089) + "; Path=/", gw + "b=" + x.repeated(4089) + "; Path=/"}
            << price << "a=" + X.repeated(4089) + "; b=" + X.repeated(4089);
        QTest::newRow("one byte more: the cookie that does not fit stays out")
            << QStringList{gw + "a=" + x.repeated(4089) + "; Path=/", gw + "b=" + x.repeated(4090) + "; Path=/",
                           gw + "c=3; Path=/"}
            << price << "a=" + X.repeated(4089) + "; c=3";
    }
    void cookiesGoBackToTheirHostWithinBounds() {
        QFETCH(QStringList, steps);
        QFETCH(QString, url);
        QFETCH(QByteArray, cookie);
        Galletas jar;
        for (const QString& step : steps) {
            const qsizetype tab = step.indexOf(u'\t');
            jar.guardo(QUrl(step.left(tab)), {step.mid(tab + 1).toLatin1()});
        }
        QCOMPARE(jar.paraEnviar(QUrl(url)), cookie);
        jar.olvido();
        QCOMPARE(jar.paraEnviar(QUrl(url)), QByteArray());
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
