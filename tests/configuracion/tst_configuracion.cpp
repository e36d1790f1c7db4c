// Reading Vantoria.ini from the program's folder and the user's: the values the window gets, and what is wrong.

#include "Configuracion.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// `{P}` and `{U}` stand for the program's and the user's folder.
QString enCarpetas(QString texto, const QString& programa, const QString& usuario) {
    return texto.replace(QStringLiteral("{P}"), programa).replace(QStringLiteral("{U}"), usuario);
}

void escribo(const QString& ruta, const QByteArray& contenido) {
    QDir().mkpath(QFileInfo(ruta).path());
    QFile f(ruta);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(contenido);
}

}  // namespace

class ConfiguracionTest : public QObject {
    Q_OBJECT

  private slots:
    void filesChangeTheBuildValues_data() {
        QTest::addColumn<QString>("programa");  // Vantoria.ini beside the program; none when empty
        QTest::addColumn<QString>("usuario");   // Vantoria.ini in the user's folder; none when empty
        QTest::addColumn<QString>("mercado");
        QTest::addColumn<QString>("pasarela");
        QTest::addColumn<int>("autoridades");
        QTest::addColumn<QString>("catalogo");
        QTest::addColumn<QString>("diario");
        QTest::addColumn<QStringList>("problemas");

        const QString m = QStringLiteral("https://mercado.predeterminado");
        const QString p = QStringLiteral("https://pasarela.predeterminada");
        const QString pIni = QStringLiteral("Vantoria.ini ({P}/Vantoria.ini), clave ");
        const QString uIni = QStringLiteral("Vantoria.ini ({U}/Vantoria.ini), clave ");

        QTest::newRow("no file: the build's values") << ""
                                                     << "" << m << p << 0 << ""
                                                     << "" << QStringList();
        QTest::newRow("program's file sets every key, paths from its folder")
            << "[marketplace]\nurl = https://127.0.0.1:8443\n[gateway]\nurl=https://pasarela.tienda.ve/api\n"
               "[tls]\nextra_ca = certificados/ca.pem\n[catalogue]\nfile = datos/Catálogo Tienda.dba\n"
               "[journal]\nfolder = diario\n"
            << ""
            << "https://127.0.0.1:8443"
            << "https://pasarela.tienda.ve/api" << 1 << "{P}/datos/Catálogo Tienda.dba"
            << "{P}/diario" << QStringList();
        QTest::newRow("user's file wins key by key, paths from its own folder; an empty value sets nothing")
            << "[marketplace]\nurl = https://mercado.tienda.ve\n[gateway]\nurl = https://vieja.tienda.ve\n"
               "[catalogue]\nfile = Base.dba\n"
            << "[marketplace]\nurl =\n[gateway]\nurl = https://nueva.tienda.ve\n[catalogue]\nfile = ../mio/Base.dba\n"
               "[journal]\nfolder = {P}/diario\n"
            << "https://mercado.tienda.ve"
            << "https://nueva.tienda.ve" << 0 << "{U}/../mio/Base.dba"
            << "{P}/diario" << QStringList();
        QTest::newRow("bad values keep the defaults, one line each")
            << "[marketplace]\nurl = http://127.0.0.1:8443\n[tls]\nextra_ca = certificados/texto.txt\n"
               "[journal]\nfolder = certificados/texto.txt\n"
            << "[gateway]\nurl = https:///mercadolibre\n[tls]\nextra_ca = no-esta.pem\n"
            << m << p << 0 << ""
            << ""
            << QStringList{pIni +
                               "[marketplace] url: \"http://127.0.0.1:8443\" no es una dirección https://; se usa "
                               "la predeterminada, \"https://mercado.predeterminado\".",
                           uIni +
                               "[gateway] url: \"https:///mercadolibre\" no nombra ningún servidor; se usa la "
                               "predeterminada, \"https://pasarela.predeterminada\".",
                           uIni +
                               "[tls] extra_ca: el archivo \"{U}/no-esta.pem\" no existe; se usa el valor "
                               "predeterminado.",
                           pIni +
                               "[journal] folder: \"{P}/certificados/texto.txt\" no es una carpeta; se usa el "
                               "valor predeterminado."};
        QTest::newRow("a file of no certificate, a missing journal folder")
            << "[tls]\nextra_ca = certificados/texto.txt\n[journal]\nfolder = no-hay\n"
            << "" << m << p << 0 << ""
            << ""
            << QStringList{pIni +
                               "[tls] extra_ca: el archivo \"{P}/certificados/texto.txt\" no contiene ningún "
                               "certificado PEM; se usa el valor predeterminado.",
                           pIni +
                               "[journal] folder: la carpeta \"{P}/no-hay\" no existe; se usa el valor "
                               "predeterminado."};
        QTest::newRow("sections and keys in any letter case")
            << "[Marketplace]\nURL = https://mercado.tienda.ve\n[GATEWAY]\nUrl=https://pasarela.tienda.ve\n"
               "[Catalogue]\nFILE = Base.dba\n"
            << ""
            << "https://mercado.tienda.ve"
            << "https://pasarela.tienda.ve" << 0 << "{P}/Base.dba"
            << "" << QStringList();
        QTest::newRow("unknown and misspelt sections, keys and lines are named; their values are not used")
            << "url = https://fuera.tienda.ve\n[gateway]\nulr = https://mal.tienda.ve\n[gatway]\n"
               "url = https://tampoco.tienda.ve\n[General]\nfile = Base.dba\n[catalogue]\nBase.dba\n"
            << "[tls]\nca = certificados/ca.pem\n"
            << m << p << 0 << ""
            << ""
            << QStringList{
                   pIni + "url: no está dentro de ninguna sección; se ignora.",
                   pIni + "[gateway] ulr: Vantoria no tiene esa clave; se ignora. La clave de [gateway] es url.",
                   QStringLiteral("Vantoria.ini ({P}/Vantoria.ini), sección [gatway]: Vantoria no tiene esa "
                                  "sección; se ignora con sus claves. Las secciones son [marketplace], "
                                  "[gateway], [tls], [catalogue] y [journal]."),
                   QStringLiteral("Vantoria.ini ({P}/Vantoria.ini), sección [General]: Vantoria no tiene esa "
                                  "sección; se ignora con sus claves. Las secciones son [marketplace], "
                                  "[gateway], [tls], [catalogue] y [journal]."),
                   QStringLiteral("Vantoria.ini ({P}/Vantoria.ini), línea 9: \"Base.dba\" no es una sección "
                                  "ni una clave; se ignora."),
                   uIni + "[tls] ca: Vantoria no tiene esa clave; se ignora. La clave de [tls] es extra_ca."};
        // A Windows user writes C:\Tienda\Base.dba; the doubled backslash the files always took still works.
        QTest::newRow("backslashes in paths are separators, one or two; quotes and a comment after a value are dropped")
            << "\xEF\xBB\xBF[catalogue]\nfile = datos\\Catálogo Tienda.dba ; la de la tienda\n[tls]\nextra_ca = "
               "certificados\\\\ca.pem\n"
               "[journal]\nfolder = \"{P}\\diario\" ; el registro\n"
            << "" << m << p << 1 << "{P}/datos/Catálogo Tienda.dba"
            << "{P}/diario" << QStringList();
        QTest::newRow("the installed example with every key uncommented")
            << "{EJEMPLO}"
            << ""
            << "https://127.0.0.1:8443"
            << "https://pasarela.mitienda.com.ve" << 0 << "/home/vendedor/Tienda/Base de Datos.dba"
            << ""
            << QStringList{pIni +
                               "[tls] extra_ca: el archivo \"{P}/pasarela-ca.pem\" no existe; se usa el valor "
                               "predeterminado.",
                           pIni +
                               "[journal] folder: la carpeta \"/home/vendedor/Tienda/registro\" no existe; se usa "
                               "el valor predeterminado."};
    }
    void filesChangeTheBuildValues() {
        QFETCH(QString, programa);
        QFETCH(QString, usuario);
        QTemporaryDir raiz;
        QVERIFY(raiz.isValid());
        const QString p = raiz.filePath(QStringLiteral("programa"));
        const QString u = raiz.filePath(QStringLiteral("usuario"));
        QVERIFY(QDir().mkpath(p + QStringLiteral("/diario")) && QDir().mkpath(u));
        QFile ca(QStringLiteral(VANTORIA_TEST_CA));
        QVERIFY(ca.open(QIODevice::ReadOnly));
        escribo(p + QStringLiteral("/certificados/ca.pem"), ca.readAll());
        escribo(p + QStringLiteral("/certificados/texto.txt"), "no soy un certificado\n");
        if (programa == QLatin1String("{EJEMPLO}")) {
            QFile ejemplo(QStringLiteral(VANTORIA_EXAMPLE_INI));
            QVERIFY(ejemplo.open(QIODevice::ReadOnly));
            programa =
                QString::fromUtf8(ejemplo.readAll())
                    .replace(QRegularExpression(QStringLiteral("^;(\\w+ =)"), QRegularExpression::MultilineOption),
                             QStringLiteral("\\1"))
                    // The example's marketplace address is the marketplace's own; the test's copy names a double
                    // on this machine instead.
                    .replace(QRegularExpression(QStringLiteral("(\\[marketplace\\][^\\[]*\\nurl = )\\S+")),
                             QStringLiteral("\\1https://127.0.0.1:8443"));
        }
        if (!programa.isEmpty())
            escribo(p + QStringLiteral("/Vantoria.ini"), enCarpetas(programa, p, u).toUtf8());
        if (!usuario.isEmpty())
            escribo(u + QStringLiteral("/Vantoria.ini"), enCarpetas(usuario, p, u).toUtf8());

        Configuracion predeterminada;
        predeterminada.urlMercado = QStringLiteral("https://mercado.predeterminado");
        predeterminada.urlPasarela = QStringLiteral("https://pasarela.predeterminada");
        const Configuracion c = leoConfiguracion(p, u, predeterminada);

        QFETCH(QStringList, problemas);
        for (QString& linea : problemas)
            linea = enCarpetas(linea, QDir::toNativeSeparators(p), QDir::toNativeSeparators(u));
        QCOMPARE(c.problemas, problemas);
        QTEST(c.urlMercado, "mercado");
        QTEST(c.urlPasarela, "pasarela");
        QTEST(int(c.autoridadesExtra.size()), "autoridades");
        QFETCH(QString, catalogo);
        QCOMPARE(c.archivoCatalogo, catalogo.isEmpty() ? QString() : QDir::cleanPath(enCarpetas(catalogo, p, u)));
        QFETCH(QString, diario);
        QCOMPARE(c.carpetaDiario, diario.isEmpty() ? QString() : QDir::cleanPath(enCarpetas(diario, p, u)));
    }
};

QTEST_GUILESS_MAIN(ConfiguracionTest)
#include "tst_configuracion.moc"
