#include "CatalogueGenerator.h"
#include "Configuracion.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Mercado.h"
#include "ResultBox.h"
#include "SearchBox.h"
#include "SimWindow.h"
#include "Traduccion.h"
#include "frmVantoria.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QTranslator>

namespace {

catalogo::Producto producto(qint64 codigo, const QString& nombre, std::optional<qint64> categoria) {
    catalogo::Producto p;
    p.codigo = codigo;
    p.codProd = QStringLiteral("P-%1").arg(codigo);
    p.nombre = nombre;
    p.categoria = categoria;
    p.precio = 10.0 * double(codigo);
    return p;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

    static inline const QString Forbidden =
        QStringLiteral(R"({"message":"forbidden","error":"forbidden","status":403,"cause":[]})");

    QTemporaryDir folder;
    QTemporaryDir empty;
    QString startDir;

    struct Window {
        ScriptedDialogs dialogs;
        QStringList statements;
        std::unique_ptr<frmVantoria> w;
        Form& f() { return w->form(); }
    };

    std::unique_ptr<Window> open(const QString& dir, bool show = true) {
        auto win = std::make_unique<Window>();
        frmVantoria::Options o;
        o.programFolder = dir;
        // Nothing listens there: a request sent by mistake is refused on this machine.
        o.urlMercado = o.urlPasarela = QStringLiteral("https://127.0.0.1:9");
        o.dialogs = &win->dialogs;
        o.statementObserver = [w = win.get()](const QString& s) { w->statements << s; };
        win->w = std::make_unique<frmVantoria>(o);
        if (show) {
            win->w->show();
            win->w->activateWindow();
            if (!QTest::qWaitForWindowActive(win->w.get()))
                return nullptr;
            QDeadlineTimer deadline(10000);
            while ((win->f().PrimeraVez || !ventanaHabilitada(win->f())) && !deadline.hasExpired())
                QTest::qWait(10);
        }
        return win;
    }

    static void pressEnter(QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }

    // The window with the tooltip shown over it: offscreen, each is a window of its own, and the tooltip is pushed
    // into the platform's small screen, so it is drawn where a desktop puts it, just below the pointer.
    static void saveWithTooltip(QWidget& window, const QString& file) {
        QPixmap picture = window.grab();
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("QTipLabel") && top->isVisible()) {
                QPainter p(&picture);
                p.drawPixmap(window.mapFromGlobal(QCursor::pos()) + QPoint(2, 16), top->grab());
            }
        QDir().mkpath(QStringLiteral(VANTORIA_SCREENSHOT_DIR));
        QVERIFY(picture.save(file));
    }

  private slots:
    void initTestCase() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        startDir = QDir::currentPath();
        QVERIFY(folder.isValid());
        catalogo::Catalogo c;
        c.categorias = {{1, QStringLiteral("Ferretería")}, {2, QStringLiteral("Óptica")}};
        c.productos = {producto(7, QStringLiteral("Martillo"), 1), producto(3, QStringLiteral("Lentes de sol"), 2),
                       producto(5, QStringLiteral("Alicate"), 1)};
        catalogo::escribo(folder.filePath(QStringLiteral("Base de Datos.dba")), c);
    }
    void cleanupTestCase() { QDir::setCurrent(startDir); }

    void startUpLaysOutBothGridsWithHeadersOnly() {
        auto win = open(empty.path(), false);
        Form& f = win->f();
        QVERIFY(f.PrimeraVez);
        QCOMPARE(win->w->windowTitle(), QStringLiteral("Vantoria V 1.0.2"));
        QCOMPARE(QDir::currentPath(), QDir(empty.path()).canonicalPath());
        QCOMPARE(f.RutaBaseDatos, QDir::toNativeSeparators(empty.path() + QStringLiteral("/Base de Datos.dba")));
        QCOMPARE(f.Grid1->rows(), 1);
        QCOMPARE(f.Grid1->cols(), 8);
        QCOMPARE(f.Grid2->rows(), 1);
        QCOMPARE(f.Grid2->cols(), 5);
        QStringList h1, h2;
        QList<int> w1, w2;
        for (int c = 0; c < 8; ++c) {
            h1 << f.Grid1->textMatrix(0, c);
            w1 << f.Grid1->colWidth(c);
        }
        for (int c = 0; c < 5; ++c) {
            h2 << f.Grid2->textMatrix(0, c);
            w2 << f.Grid2->colWidth(c);
        }
        QCOMPARE(h1, (QStringList{"", QStringLiteral("Categoría"), "Producto", "Precio", "Serial", "", "Pos", ""}));
        QCOMPARE(w1, (QList<int>{0, 1300, 4700, 2000, 1200, 300, 380, 0}));
        QVERIFY(f.Grid1->isColumnHidden(0) && f.Grid1->isColumnHidden(7));
        QCOMPARE(h2, (QStringList{"ID", "", "Producto", "Precio", "pos"}));
        QCOMPARE(w2, (QList<int>{1100, 300, 5000, 2000, 550}));
        QVERIFY(win->statements.isEmpty());
    }

    void controlsSitWhereTheLayoutPutsThem_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("twips");
        const auto row = [](const char* n, int l, int t, int w, int h) {
            QTest::newRow(n) << QString::fromLatin1(n) << QRect(l, t, w, h);
        };
        row("Check1", 8280, 120, 2295, 255);
        row("Command2", 10440, 4680, 375, 255);
        row("Casilla", 6120, 840, 735, 285);
        row("Buscar", 11400, 600, 6225, 285);
        row("BuscarPalabra", 720, 480, 9705, 285);
        row("Resultado", 720, 5880, 6255, 1575);
        row("Frame1", 120, 840, 10335, 9320);
        row("Barra1", 120, 2760, 10095, 255);
        row("Detalle02", 120, 3480, 10095, 2475);
        row("Image1", -120, -840, 21225, 10260);
        row("Grid1", 120, 1200, 10335, 8895);
        row("Command1", 16680, 120, 975, 255);
        row("Clave", 15240, 120, 1335, 285);
        row("Usuario", 11400, 120, 3255, 285);
        row("Grid2", 10800, 1200, 9495, 9000);
        row("VerEstado", 10800, 960, 9495, 255);
        row("Label5", 10800, 600, 615, 255);
        row("Label4", 120, 480, 615, 255);
        row("Label2", 14760, 120, 495, 255);
        row("Label1", 10800, 120, 615, 255);
    }
    void controlsSitWhereTheLayoutPutsThem() {
        QFETCH(QString, name);
        QFETCH(QRect, twips);
        auto win = open(empty.path(), false);
        auto* w = win->w->findChild<QWidget*>(name);
        QVERIFY(w);
        const QRect px(qRound(twips.x() / 15.0), qRound(twips.y() / 15.0), qRound(twips.width() / 15.0),
                       qRound(twips.height() / 15.0));
        QCOMPARE(w->geometry(), px);
    }

    void controlsStartWithTheirTextsAndStates() {
        auto win = open(empty.path(), false);
        Form& f = win->f();
        const QString tip = QStringLiteral("Indique aquí el número de documento y presione ENTER");
        QCOMPARE(f.Check1->text(), QStringLiteral("Solo los no afectados"));
        QVERIFY(f.Check1->isChecked());
        QVERIFY(f.Command2->text().isEmpty() && !f.Command2->icon().isNull() && !f.Command2->isEnabled());
        QCOMPARE(f.Command2->toolTip(), QStringLiteral("Click aquí para actualizar todos los precios"));
        QVERIFY(f.Casilla->isHidden() && f.Resultado->isHidden() && f.Frame1->isHidden());
        QCOMPARE(f.Buscar->text(), QStringLiteral("Buscar..."));
        QCOMPARE(f.BuscarPalabra->text(), QStringLiteral("Buscar..."));
        QCOMPARE(f.Buscar->toolTip(), tip);
        QCOMPARE(f.BuscarPalabra->toolTip(), tip);
        QVERIFY(!f.Buscar->isEnabled() && f.BuscarPalabra->isEnabled());
        QCOMPARE(f.Frame1->title(), QStringLiteral("Por favor espere..."));
        QCOMPARE(f.Label3->text(), QStringLiteral("Cargando productos...     Por favor espere..."));
        QCOMPARE(f.Command1->text(), QStringLiteral("Conectar"));
        QCOMPARE(f.Clave->echoMode(), QLineEdit::Password);
        for (QLabel* l : {f.Detalle02, f.Detalle01, f.EstadoConexion, f.VerEstado, f.GetState})
            QCOMPARE(l->text(), QStringLiteral("..."));
        QCOMPARE(f.Label1->text(), QStringLiteral("Usuario"));
        QCOMPARE(f.Label2->text(), QStringLiteral("Clave"));
        QCOMPARE(f.Label4->text(), QStringLiteral("Buscar"));
        QCOMPARE(f.Label5->text(), QStringLiteral("Buscar"));
        QCOMPARE(f.ImgList1[0].size(), QSize(20, 18));
        QCOMPARE(f.ImgList1[1].size(), QSize(20, 18));
        QCOMPARE(f.Image1->pixmap().size(), QSize(1415, 684));
    }

    void coloursAndFonts() {
        auto win = open(empty.path(), false);
        Form& f = win->f();
        for (QLineEdit* box : {static_cast<QLineEdit*>(f.Buscar), static_cast<QLineEdit*>(f.BuscarPalabra)}) {
            QCOMPARE(box->palette().color(QPalette::Base), QColor(208, 255, 255));
            QCOMPARE(box->palette().color(QPalette::Text), QColor(0, 0, 64));
        }
        QCOMPARE(f.Casilla->palette().color(QPalette::Base), QColor(221, 169, 26));
        QCOMPARE(f.GetState->palette().color(QPalette::WindowText), QColor(0, 0, 192));
        QCOMPARE(f.Frame1->palette().color(QPalette::Window), QColor(224, 224, 224));
        QCOMPARE(f.Grid1->font().pointSizeF(), 6.75);
        // Arial where it is installed, its metric twin Liberation Sans elsewhere.
        QCOMPARE(f.Grid1->font().family(), QStringLiteral("Arial"));
        QCOMPARE(f.Grid2->font().family(), QStringLiteral("Arial"));
        QCOMPARE(f.Casilla->font().pointSizeF(), 6.75);
        QCOMPARE(f.VerEstado->font().pointSizeF(), 8.25);
    }

    void frontToBackAndTabOrder() {
        auto win = open(empty.path(), false);
        Form& f = win->f();
        QList<QWidget*> frontToBack;
        frontToBack << f.Check1 << f.Command2 << f.Casilla << f.Buscar << f.BuscarPalabra << f.Resultado << f.Frame1
                    << f.Grid1 << f.Command1 << f.Clave << f.Usuario << f.Grid2 << f.VerEstado << f.Label5 << f.Label4
                    << f.GetState << f.Label2 << f.Label1;
        const QObjectList& stack = f.client->children();  // back to front
        for (qsizetype i = 1; i < frontToBack.size(); ++i)
            QVERIFY2(stack.indexOf(frontToBack[i - 1]) > stack.indexOf(frontToBack[i]),
                     qPrintable(frontToBack[i]->objectName()));
        QStringList chain;
        QWidget* w = f.Usuario;
        for (int i = 0; i < 10; ++i) {
            chain << w->objectName();
            w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus || w->parentWidget() != f.client)
                w = w->nextInFocusChain();
        }
        QCOMPARE(chain, (QStringList{"Usuario", "Clave", "Command1", "Grid1", "Grid2", "BuscarPalabra", "Buscar",
                                     "Casilla", "Command2", "Check1"}));
    }

    void firstActivationLoadsOnceOrderedByCategoryAndName() {
        auto win = open(folder.path());
        QVERIFY(win);
        Form& f = win->f();
        QCOMPARE(win->statements,
                 QStringList{QStringLiteral(
                     "Select * from [Consulta Productos] Where Inhabilitado=false Order By NombreCategoría, Nombre;")});
        QCOMPARE(f.Grid1->rows(), 4);
        QStringList names;
        for (int r = 1; r < 4; ++r)
            names << f.Grid1->textMatrix(r, 2);
        QCOMPARE(names, (QStringList{"Alicate", "Martillo", "Lentes de sol"}));
        QCOMPARE(f.Grid1->textMatrix(3, 3), QStringLiteral("30.00"));
        QVERIFY(f.Frame1->isHidden());
        QCOMPARE(QApplication::focusWidget(), f.Usuario);
        // Leaving and coming back does not load again.
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        win->w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(win->w.get()));
        QCOMPARE(win->statements.size(), 1);
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    void firstActivationWithoutDatabaseSaysSoAndStaysUsable() {
        auto win = open(empty.path());
        QVERIFY(win);
        Form& f = win->f();
        const QString path = QDir::toNativeSeparators(empty.path() + QStringLiteral("/Base de Datos.dba"));
        QCOMPARE(
            win->dialogs.notices(),
            QStringList{QStringLiteral("No se pudo abrir la base de datos \"%1\".\rEl archivo no existe.").arg(path)});
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(ventanaHabilitada(win->f()));
        QVERIFY(f.Frame1->isHidden());
        QCOMPARE(f.Grid1->rows(), 1);
        QVERIFY(win->statements.isEmpty());
    }

    void disabledWindowTakesNoInputAndKeepsItsLook() {
        auto win = open(folder.path());
        QVERIFY(win);
        Form& f = win->f();
        int clicks = 0;
        connect(f.Grid1, &FlexGrid::Click, this, [&] { ++clicks; });
        f.Usuario->setFocus();
        deshabilitoVentana(f);
        QTest::keyClicks(f.Usuario, QStringLiteral("ana"));
        QTest::mouseClick(f.Grid1->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
        QCOMPARE(f.Usuario->text(), QString());
        QCOMPARE(clicks, 0);
        // Nothing is drawn disabled: the wait panel and the grids stay legible while work runs.
        for (QWidget* w : {static_cast<QWidget*>(f.Grid1), static_cast<QWidget*>(f.Label3),
                           static_cast<QWidget*>(f.Barra1), static_cast<QWidget*>(f.Frame1)})
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        habilitoVentana(f);
        QTest::keyClicks(f.Usuario, QStringLiteral("ana"));
        QTest::mouseClick(f.Grid1->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
        QCOMPARE(f.Usuario->text(), QStringLiteral("ana"));
        QCOMPARE(clicks, 1);
    }

    void searchWordReloadsAndTheBoxKeepsItSelected_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("boxAfter");
        QTest::addColumn<int>("rows");
        QTest::newRow("a word") << "marti"
                                << "marti" << 2;
        QTest::newRow("the placeholder loads all") << "Buscar..."
                                                   << "Buscar..." << 4;
        QTest::newRow("the placeholder in lower case searches") << "buscar..."
                                                                << "buscar..." << 1;
        QTest::newRow("a typed apostrophe arrives as a grave accent") << "l'x"
                                                                      << "l`x" << 1;
    }
    void searchWordReloadsAndTheBoxKeepsItSelected() {
        QFETCH(QString, typed);
        QFETCH(QString, boxAfter);
        QFETCH(int, rows);
        auto win = open(folder.path());
        QVERIFY(win);
        Form& f = win->f();
        f.BuscarPalabra->setFocus();
        QVERIFY(f.BuscarPalabra->hasFocus());
        QCOMPARE(f.BuscarPalabra->selectedText(), QStringLiteral("Buscar..."));
        QTest::keyClicks(f.BuscarPalabra, typed);
        QCOMPARE(f.BuscarPalabra->text(), boxAfter);
        pressEnter(f.BuscarPalabra);
        QCOMPARE(f.Grid1->rows(), rows);
        QCOMPARE(win->statements.size(), 2);
        QVERIFY(ventanaHabilitada(win->f()));
        QVERIFY(f.BuscarPalabra->hasFocus());
        QCOMPARE(f.BuscarPalabra->text(), boxAfter);
        QCOMPARE(f.BuscarPalabra->selectedText(), boxAfter);
        QVERIFY(win->dialogs.shown.isEmpty());
        // Leaving the box brings the placeholder back.
        f.Usuario->setFocus();
        QCOMPARE(f.BuscarPalabra->text(), QStringLiteral("Buscar..."));
    }

    void typedWordStaysUntilAnotherControlTakesTheFocus_data() {
        QTest::addColumn<int>("reason");
        QTest::addColumn<QString>("after");
        QTest::newRow("its own context menu") << int(Qt::PopupFocusReason) << "taladro";
        QTest::newRow("another program or a message box") << int(Qt::ActiveWindowFocusReason) << "taladro";
        QTest::newRow("Tab to the next control") << int(Qt::TabFocusReason) << "Buscar...";
        QTest::newRow("a click on another control") << int(Qt::MouseFocusReason) << "Buscar...";
    }
    void typedWordStaysUntilAnotherControlTakesTheFocus() {
        QFETCH(int, reason);
        QFETCH(QString, after);
        auto win = open(empty.path(), false);
        SearchBox* box = win->f().BuscarPalabra;
        box->setText(QStringLiteral("taladro"));
        QFocusEvent out(QEvent::FocusOut, Qt::FocusReason(reason));
        QApplication::sendEvent(box, &out);
        QCOMPARE(box->text(), after);
    }

    void listingFilter_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<bool>>("shown");
        QTest::newRow("lower case finds capitals inside a word") << "tala" << QList<bool>{true, false, true};
        QTest::newRow("placeholder shows all") << "Buscar..." << QList<bool>{true, true, true};
        QTest::newRow("empty shows all") << "" << QList<bool>{true, true, true};
        QTest::newRow("no match hides all") << "zzz" << QList<bool>{false, false, false};
    }
    void listingFilter() {
        QFETCH(QString, text);
        QFETCH(QList<bool>, shown);
        auto win = open(empty.path(), false);
        Form& f = win->f();
        const QStringList titles{"TALADRO Percutor", "Martillo", "Mini taladro"};
        for (const QString& t : titles) {
            f.Grid2->setRows(f.Grid2->rows() + 1);
            f.Grid2->setTextMatrix(f.Grid2->rows() - 1, 2, t);
        }
        // A previous filter hid everything; Enter now decides afresh.
        for (int r = 1; r <= 3; ++r)
            f.Grid2->setRowHeight(r, 0);
        f.Buscar->setText(text);
        FiltroPublicaciones(f);
        QList<bool> seen;
        for (int r = 1; r <= 3; ++r)
            seen << (f.Grid2->rowHeight(r) == f.Grid2->rowHeight(0));
        QCOMPARE(seen, shown);
    }

    void enterInAnEmptyListingGridChangesNothing() {
        auto win = open(empty.path(), false);
        Form& f = win->f();
        f.Buscar->setEnabled(true);
        f.Buscar->setText(QStringLiteral("x"));
        FiltroPublicaciones(f);
        QCOMPARE(f.Grid2->rows(), 1);
    }

    void mouseOverTheBareWindowHidesThePriceEditor() {
        auto win = open(empty.path());
        QVERIFY(win);
        Form& f = win->f();
        f.Casilla->show();
        QTest::mouseMove(f.client, QPoint(700, 40));  // between the product search box and the listing grid
        QTRY_VERIFY(f.Casilla->isHidden());
        f.Casilla->show();
        QTest::mouseMove(f.Label4, QPoint(5, 5));  // labels are part of the bare surface
        QTRY_VERIFY(f.Casilla->isHidden());
    }

    // The boxes show outside text as it stands: a listing id that looks like HTML is not rendered, nor are files
    // it names loaded.
    void messageBoxesShowTextAsItStands_data() {
        QTest::addColumn<QString>("box");
        QTest::newRow("question") << "question";
        QTest::newRow("notice") << "notice";
        QTest::newRow("input box") << "input box";
    }
    void messageBoxesShowTextAsItStands() {
        QFETCH(QString, box);
        const QString text = QStringLiteral("<img src=/nonexistent/x.png><b>x</b>");
        QWidget parent;
        QtDialogs dialogs(&parent);
        Qt::TextFormat format = Qt::AutoText;
        QString shown;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            if (auto* m = qobject_cast<QMessageBox*>(modal)) {
                format = m->textFormat();
                shown = m->text();
            } else if (QLabel* label = modal->findChild<QLabel*>()) {
                format = label->textFormat();
                shown = label->text();
            }
            static_cast<QDialog*>(modal)->reject();
        });
        probe.start(10);
        if (box == QLatin1String("question"))
            QVERIFY(!dialogs.question(text));
        else if (box == QLatin1String("notice"))
            dialogs.notice(text);
        else
            QCOMPARE(dialogs.inputBox(text, QStringLiteral("Vantoria"), QString()), QString());
        QCOMPARE(shown, text);
        QCOMPARE(format, Qt::PlainText);
    }

    // Qt's own words on the buttons follow the operator's language.
    void buttonsSpeakTheOperatorsLanguage_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("Venezuela, question") << "es_VE"
                                             << "question" << QStringList{"&Sí", "&No"};
        QTest::newRow("Venezuela, notice") << "es_VE"
                                           << "notice" << QStringList{"Aceptar"};
        QTest::newRow("Spain, question") << "es_ES"
                                         << "question" << QStringList{"&Sí", "&No"};
        QTest::newRow("United States, notice") << "en_US"
                                               << "notice" << QStringList{"OK"};
    }
    void buttonsSpeakTheOperatorsLanguage() {
        QFETCH(QString, locale);
        QFETCH(QString, box);
        QFETCH(QStringList, buttons);
        QVERIFY(CargoTraduccionQt(*qApp, QLocale(locale)));
        QWidget parent;
        QtDialogs dialogs(&parent);
        QStringList shown;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (auto* m = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                for (QAbstractButton* b : m->buttons())
                    shown << b->text();
                m->reject();
            }
        });
        probe.start(10);
        if (box == QLatin1String("question"))
            dialogs.question(QStringLiteral("¿Seguro?"));
        else
            dialogs.notice(QStringLiteral("Hecho."));
        for (QTranslator* t : qApp->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(t);
            delete t;
        }
        shown.sort();
        buttons.sort();
        QCOMPARE(shown, buttons);
    }

    // A Vantoria.ini beside the program points a window built as the program builds it (its settings read, no
    // endpoints handed to it) at the marketplace simulator; `{SIM}` is the simulator's address, `{DIR}` the folder.
    void settingsFileBesideTheProgramPointsTheWindow_data() {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<int>("searchStatus");  // the simulator answers every search with this status; 0: normally
        QTest::addColumn<bool>("signIn");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<int>("listings");
        QTest::addColumn<QString>("detail");  // Detalle01 and the status line's tooltip after it all
        QTest::addColumn<bool>("readOnly");   // the catalogue is one SQLite will not write
        QTest::addColumn<QString>("price");   // typed into the first product's price editor; none when empty

        const QString sim =
            QStringLiteral("[marketplace]\nurl = {SIM}\n[gateway]\nurl = {SIM}\n[tls]\nextra_ca = ca.pem\n");
        QTest::newRow("simulator and its authority from the file")
            << sim << 0 << true << QStringList() << 2 << "" << false << "";
        QTest::newRow("a refused listing page shows the host's answer")
            << sim << 403 << true
            << QStringList{"Error recibiendo info del servidor.\rEtapa  .007\rObject required\rPaso  2 State  12"} << 0
            << "HTTP/1.1 403 Forbidden: " + Forbidden << false << "";
        QTest::newRow("a gateway that is down: the status line's tooltip says so")
            << "[marketplace]\nurl = {SIM}\n[gateway]\nurl = https://127.0.0.1:9\n"
            << 0 << true << QStringList() << 0 << "El servidor rechazó la conexión." << false << "";
        QTest::newRow("a gateway whose authority is not trusted: the status line's tooltip says so")
            << "[marketplace]\nurl = {SIM}\n[gateway]\nurl = {SIM}\n"
            << 0 << true << QStringList() << 0
            << "No se pudo establecer una conexión segura: The issuer certificate of a locally looked up certificate "
               "could not be found; No certificates could be verified"
            << false << "";
        QTest::newRow("an http:// gateway is told, with the address used instead")
            << "[marketplace]\nurl = {SIM}\n[gateway]\nurl = http://127.0.0.1:1\n" << 0 << false
            << QStringList{"Vantoria.ini ({DIR}/Vantoria.ini), clave [gateway] url: \"http://127.0.0.1:1\" no es una "
                           "dirección https://; se usa la predeterminada, \"{PASARELA}\"."}
            << 0 << "" << false << "";
        QTest::newRow("a missing catalogue is told by its load")
            << "[catalogue]\nfile = otra/Base de Datos.dba\n"
            << 0 << false
            << QStringList{"No se pudo abrir la base de datos \"{DIR}/otra/Base de Datos.dba\".\rEl archivo no existe."}
            << 0 << "" << false << "";
        QTest::newRow("a catalogue that cannot be written names its folder")
            << "" << 0 << false
            << QStringList{"La base de datos \"{DIR}/Base de Datos.dba\" no pudo ejecutar la consulta.\rattempt to "
                           "write a readonly database\rNo se puede escribir en la base de datos o en su carpeta, "
                           "\"{DIR}\": Vantoria necesita permiso de escritura en las dos."}
            << 0 << "" << true << "12";
    }
    void settingsFileBesideTheProgramPointsTheWindow() {
        QFETCH(QString, ini);
        QFETCH(int, searchStatus);
        QTemporaryDir dir;
        sim::MarketSim server;
        server.addAccount(QStringLiteral("ana"), QStringLiteral("clave"), QStringLiteral("12345"));
        server.addListing(QStringLiteral("12345"), {QStringLiteral("MLV1"), QStringLiteral("Taladro"), 100});
        server.addListing(QStringLiteral("12345"), {QStringLiteral("MLV2"), QStringLiteral("Sierra"), 200});
        if (searchStatus)
            server.addFault(sim::PathSearch, 0, {sim::FaultKind::Status, 0, searchStatus, Forbidden.toUtf8()});
        QVERIFY(dir.isValid() && server.start());
        const auto inFolder = [&](QString text) {
            return text.replace(QStringLiteral("{SIM}"), server.baseUrl())
                .replace(QStringLiteral("{DIR}"), QDir::toNativeSeparators(dir.path()))
                .replace(QStringLiteral("{PASARELA}"), Configuracion::deCompilacion().urlPasarela);
        };
        catalogo::Catalogo c;
        c.categorias = {{1, QStringLiteral("Ferretería")}};
        c.productos = {producto(7, QStringLiteral("Martillo"), 1)};
        catalogo::escribo(dir.filePath(QStringLiteral("Base de Datos.dba")), c);
        QFETCH(bool, readOnly);
        if (readOnly) {
            // A format SQLite reads and will not write: as root, a file's permissions would not stop it.
            QFile catalogue(dir.filePath(QStringLiteral("Base de Datos.dba")));
            QVERIFY(catalogue.open(QIODevice::ReadWrite) && catalogue.seek(18) && catalogue.write("\x03", 1) == 1);
        }
        QFile pem(dir.filePath(QStringLiteral("ca.pem")));
        QVERIFY(pem.open(QIODevice::WriteOnly));
        for (const QSslCertificate& cert : sim::MarketSim::caCertificates())
            pem.write(cert.toPem());
        pem.close();
        QFile file(dir.filePath(QStringLiteral("Vantoria.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(inFolder(ini).toUtf8());
        file.close();

        ScriptedDialogs dialogs;
        frmVantoria::Options o;
        o.programFolder = dir.path();
        o.dialogs = &dialogs;
        o.configuracion = leoConfiguracion(dir.path(), QString());
        frmVantoria w(o);
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QVERIFY(sim::esperoQue([&] { return sim::ventanaLista(w); }, 10000));
        QFETCH(bool, signIn);
        if (signIn) {
            w.form().Usuario->setText(QStringLiteral("ana"));
            w.form().Clave->setText(QStringLiteral("clave"));
            QTest::mouseClick(w.form().Command1, Qt::LeftButton);
            QVERIFY(sim::esperoQue([&] { return sim::ventanaQuieta(w); }, 10000));
        } else {
            QCOMPARE(w.mercado().urlPasarela, Configuracion::deCompilacion().urlPasarela);
            QVERIFY(server.log().isEmpty());
        }
        QFETCH(QString, price);
        if (!price.isEmpty()) {
            FlexGrid* g = w.form().Grid1;
            g->cells().flush();
            QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                              g->visualRect(g->model()->index(0, colProductos::Precio)).center());
            QVERIFY(w.form().Casilla->isVisible());
            QTest::keyClicks(w.form().Casilla, price);
            QTest::keyClick(w.form().Casilla, Qt::Key_Return);
        }

        QFETCH(QStringList, notices);
        for (QString& n : notices)
            n = inFolder(n);
        QCOMPARE(dialogs.notices(), notices);
        for (const ScriptedDialogs::Shown& s : dialogs.shown)
            QCOMPARE(s.caption, QStringLiteral("Vantoria"));
        QTEST(w.form().Grid2->rows() - 1, "listings");
        QFETCH(QString, detail);
        if (!detail.isEmpty()) {
            QCOMPARE(w.form().Detalle01->text(), detail);
            QCOMPARE(w.form().VerEstado->toolTip(),
                     QStringLiteral("<p style='white-space:pre'>%1</p>").arg(detail.toHtmlEscaped()));
            // The pointer resting on the status line shows why, as a window system delivers it.
            QToolTip::hideText();
            QTest::mouseMove(w.form().client, QPoint(700, 40));
            QTest::mouseMove(w.form().client, w.form().VerEstado->geometry().center());
            QTRY_VERIFY(QToolTip::isVisible());
            QCOMPARE(QToolTip::text(), w.form().VerEstado->toolTip());
            if (QString(QTest::currentDataTag()).startsWith(QLatin1String("a gateway that is down")))
                saveWithTooltip(w, QStringLiteral(VANTORIA_SCREENSHOT_DIR "/vantoria-status-tooltip.png"));
        } else {
            QCOMPARE(w.form().VerEstado->toolTip(), QString());
        }
    }

    void screenshotOfTheLoadedWindow() {
        QTemporaryDir shop;
        const catalogo::Catalogo sample = catalogo::muestra(2000, 1);
        catalogo::escribo(shop.filePath(QStringLiteral("Base de Datos.dba")), sample);
        const int enabled = int(
            std::count_if(sample.productos.begin(), sample.productos.end(), [](auto& p) { return !p.inhabilitado; }));
        auto win = open(shop.path());
        QVERIFY(win);
        Form& f = win->f();
        QCOMPARE(f.Grid1->rows(), enabled + 1);
        QCOMPARE(f.Grid1->textMatrix(enabled, 6), QString::number(enabled));
        QCOMPARE(f.Grid1->row(), enabled);
        QCOMPARE(f.Grid1->col(), 5);
        for (int i = 0; i < 6; ++i) {
            f.Grid2->setRows(f.Grid2->rows() + 1);
            const int r = f.Grid2->rows() - 1;
            f.Grid2->setTextMatrix(r, 0, QStringLiteral("MLV%1").arg(812345670 + i));
            f.Grid2->setRow(r);
            f.Grid2->setCol(1);
            f.Grid2->setCellPicture(f.imagen(2));
            f.Grid2->setTextMatrix(r, 2, f.Grid1->textMatrix(3 + i * 7, 2));
            f.Grid2->setTextMatrix(r, 4, QString::number(r));
        }
        f.Grid1->verticalScrollBar()->setValue(f.Grid1->verticalScrollBar()->maximum() / 3);
        QTest::qWait(100);
        QDir().mkpath(QStringLiteral(VANTORIA_SCREENSHOT_DIR));
        const QString file = QStringLiteral(VANTORIA_SCREENSHOT_DIR "/vantoria.png");
        QVERIFY(win->w->grab().save(file));
        f.Frame1->show();
        QTest::qWait(50);
        QVERIFY(win->w->grab().save(QStringLiteral(VANTORIA_SCREENSHOT_DIR "/vantoria-wait.png")));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
