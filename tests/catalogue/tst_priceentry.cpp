#include "Amounts.h"
#include "CatalogueWindow.h"
#include "PriceEntry.h"

#include <QApplication>
#include <QHeaderView>
#include <QProcess>

#include <limits>

namespace {

const QLocale english(QLocale::English, QLocale::UnitedStates);
const QLocale spanish(QLocale::Spanish, QLocale::Spain);

QString statementFor(const char* amount, qint64 code) {
    return QStringLiteral("Update Productos set PrecioSugeridoAdic002=") + QLatin1String(amount) +
           QStringLiteral(" Where Código=") + QString::number(code);
}

}  // namespace

class PriceEntryTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CatalogueWindow> win;

    // Clicks the "Precio" cell of `row` and checks that the editor opened.
    bool openEditor(int row) {
        CatalogueWindow::click(win->f().Grid1, row, 3);
        return win->f().Casilla->isVisible() && win->f().Casilla->hasFocus();
    }
    void typeInto(const QString& text) {
        for (QChar c : text) {
            if (c.unicode() < 128)
                QTest::keyClick(win->f().Casilla, char(c.unicode()));
            else
                QTest::sendKeyEvent(QTest::Click, win->f().Casilla, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
    void pressEnter() { QTest::keyClick(win->f().Casilla, Qt::Key_Return); }

  private slots:
    void init() {
        QLocale::setDefault(english);
        win = std::make_unique<CatalogueWindow>();
    }
    void cleanup() { win.reset(); }

    void amountText_data() {
        QTest::addColumn<double>("amount");
        QTest::addColumn<QString>("text");
        QTest::newRow("half") << 123.5 << "123.50";
        QTest::newRow("whole") << 120.0 << "120";
        QTest::newRow("zero") << 0.0 << "0";
        QTest::newRow("below one") << 0.5 << "0.50";
        QTest::newRow("negative loses its sign") << -12.3 << "12.30";
        QTest::newRow("rounds up to whole") << 99.999 << "100";
        QTest::newRow("rounds down") << 987.654 << "987.65";
        QTest::newRow("1.005 as written") << 1.005 << "1.01";
        QTest::newRow("2.675 as written") << 2.675 << "2.68";
        QTest::newRow("0.125 as written") << 0.125 << "0.13";
        QTest::newRow("1234.565 as written") << 1234.565 << "1234.57";
        QTest::newRow("negative half away from zero") << -0.125 << "0.13";
        QTest::newRow("no grouping above a million") << 1234567.891 << "1234567.89";
        QTest::newRow("negative zero") << -0.0 << "0";
        QTest::newRow("tiny") << 0.004 << "0";
        QTest::newRow("1e64, 65 digits") << 1e64 << "1" + QString(64, u'0');
        QTest::newRow("largest double") << std::numeric_limits<double>::max()
                                        << "17976931348623157" + QString(309 - 17, u'0');
    }
    void amountText() {
        QFETCH(double, amount);
        QFETCH(QString, text);
        // The user's settings never reach the amount text.
        for (const QLocale& l : {english, spanish}) {
            QLocale::setDefault(l);
            QCOMPARE(Cifras(amount), text);
        }
    }

    void trailingZerosOfWholeAmounts_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("cleaned");
        QTest::newRow("two decimals") << "12.50"
                                      << "12.50";
        QTest::newRow("comma") << "1,00"
                               << "1,00";
        QTest::newRow("no point") << "100"
                                  << "100";
        QTest::newRow("whole") << "7.00"
                               << "7";
        QTest::newRow("only the ending") << ".00"
                                         << "";
        QTest::newRow("one zero") << "7.0"
                                  << "7.0";
        QTest::newRow("empty") << ""
                               << "";
    }
    void trailingZerosOfWholeAmounts() {
        QFETCH(QString, value);
        QFETCH(QString, cleaned);
        QCOMPARE(LimpioCerosDecimales(value), cleaned);
    }

    void editorLiesOverTheClickedPriceCell_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        QTest::newRow("first product") << 1 << "1,234.50";
        QTest::newRow("last product") << 3 << "0.50";
    }
    void editorLiesOverTheClickedPriceCell() {
        QFETCH(int, row);
        QFETCH(QString, text);
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(row));
        const QRect cell = f.Grid1->visualRect(f.Grid1->model()->index(row - 1, 3));
        const QRect expected(f.Grid1->viewport()->mapTo(f.client, cell.topLeft()),
                             QSize(f.Grid1->columnWidth(3), f.Grid1->QTableView::rowHeight(row - 1)));
        QCOMPARE(f.Casilla->geometry(), expected);
        QCOMPARE(f.Casilla->text(), text);
        QCOMPARE(f.Casilla->selectedText(), text);
        QCOMPARE(QApplication::focusWidget(), f.Casilla);
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    // Where the click lands: a product row, the header row (0) or the blank area below the last row (-1).
    void otherCellsAndDoubleClicksCloseTheEditorWithoutStoring_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<bool>("doubleClick");
        QTest::newRow("category") << 1 << 1 << false;
        QTest::newRow("name") << 1 << 2 << false;
        QTest::newRow("serial") << 1 << 4 << false;
        QTest::newRow("push icon") << 1 << 5 << false;
        QTest::newRow("double-click on a name") << 1 << 2 << true;
        QTest::newRow("the header of Precio") << 0 << 3 << false;
        QTest::newRow("below the last row, under Precio") << -1 << 3 << false;
        QTest::newRow("double-click below the last row, under Serial") << -1 << 4 << true;
    }
    void otherCellsAndDoubleClicksCloseTheEditorWithoutStoring() {
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(bool, doubleClick);
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(2));
        typeInto(QStringLiteral("55"));
        FlexGrid* g = f.Grid1;
        QWidget* target = row == 0 ? g->horizontalHeader()->viewport() : g->viewport();
        const int x = g->columnViewportPosition(col) + g->columnWidth(col) / 2;
        const QPoint at = row > 0    ? CatalogueWindow::cellCentre(g, row, col)
                          : row == 0 ? QPoint(x, 5)
                                     : QPoint(x, g->viewport()->height() - 5);
        QTest::mouseClick(target, Qt::LeftButton, {}, at);
        if (doubleClick) {
            QTest::mouseDClick(target, Qt::LeftButton, {}, at);
            QTest::mouseRelease(target, Qt::LeftButton, {}, at);
        }
        QVERIFY(f.Casilla->isHidden());
        QCOMPARE(f.Grid1->textMatrix(2, 3), QStringLiteral("70.00"));
        QVERIFY(win->statements.isEmpty());
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    void keyFilter_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("messages");
        QTest::newRow("digits and both separators anywhere") << "1.2,3.,4"
                                                             << "1.2,3.,4" << 0;
        QTest::newRow("a letter is dropped, the text before stays") << "12a3"
                                                                    << "123" << 1;
        QTest::newRow("minus sign") << "-5"
                                    << "5" << 1;
        QTest::newRow("plus sign and space") << "+ 5"
                                             << "5" << 2;
        QTest::newRow("digit of another script") << QString::fromUtf16(u"٣") << "70.00" << 1;
    }
    void keyFilter() {
        QFETCH(QString, typed);
        QFETCH(QString, text);
        QFETCH(int, messages);
        QVERIFY(win->open());
        QVERIFY(openEditor(2));
        typeInto(typed);
        Form& f = win->f();
        QCOMPARE(f.Casilla->text(), text);
        QCOMPARE(win->dialogs.shown.size(), messages);
        for (const ScriptedDialogs::Shown& s : win->dialogs.shown) {
            QCOMPARE(s.kind, ScriptedDialogs::Kind::Notice);
            QCOMPARE(s.text, QStringLiteral("Inserte solo números en esta casilla."));
        }
        QVERIFY(f.Casilla->isVisible());
        QVERIFY(win->statements.isEmpty());
    }

    void keysThatTypeNothingOrEditAreNotFiltered() {
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(2));
        typeInto(QStringLiteral("123"));
        QTest::keyClick(f.Casilla, Qt::Key_Backspace);
        QTest::keyClick(f.Casilla, Qt::Key_Left);
        QTest::keyClick(f.Casilla, Qt::Key_Delete);
        QTest::keyClick(f.Casilla, Qt::Key_Home);
        typeInto(QStringLiteral("9"));
        QCOMPARE(f.Casilla->text(), QStringLiteral("91"));
        QVERIFY(win->dialogs.shown.isEmpty());
        // Esc is a character like any other.
        QTest::keyClick(f.Casilla, Qt::Key_Escape);
        QCOMPARE(win->dialogs.notices(), QStringList{QStringLiteral("Inserte solo números en esta casilla.")});
        QCOMPARE(f.Casilla->text(), QStringLiteral("91"));
        QVERIFY(f.Casilla->isVisible());
    }

    void enterWithAModifierIsAnotherControlCharacter_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("stores");
        QTest::newRow("keypad Enter stores") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << true;
        QTest::newRow("Ctrl+Enter") << int(Qt::Key_Return) << int(Qt::ControlModifier) << false;
        QTest::newRow("Shift+Enter") << int(Qt::Key_Return) << int(Qt::ShiftModifier) << false;
        QTest::newRow("Alt+Enter") << int(Qt::Key_Return) << int(Qt::AltModifier) << false;
        QTest::newRow("Ctrl+keypad Enter")
            << int(Qt::Key_Enter) << int(Qt::ControlModifier | Qt::KeypadModifier) << false;
    }
    void enterWithAModifierIsAnotherControlCharacter() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, stores);
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(2));
        typeInto(QStringLiteral("5"));
        QTest::keyClick(f.Casilla, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(win->statements, stores ? QStringList{statementFor("5", 7)} : QStringList());
        QCOMPARE(win->dialogs.notices(),
                 stores ? QStringList() : QStringList{QStringLiteral("Inserte solo números en esta casilla.")});
        QCOMPARE(f.Casilla->isVisible(), !stores);
        QCOMPARE(f.Casilla->text(), QStringLiteral("5"));
    }

    void enterStoresTheTypedPrice_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("cell");
        QTest::addColumn<double>("stored");
        const QString was = QStringLiteral("70.00");
        QTest::newRow("decimal comma") << spanish << "234,5" << statementFor("234.50", 7) << "234,50" << 234.5;
        QTest::newRow("decimal comma, point grouping")
            << spanish << "1.234,5" << statementFor("1234.50", 7) << "1.234,50" << 1234.5;
        QTest::newRow("decimal point") << english << "234.5" << statementFor("234.50", 7) << "234.50" << 234.5;
        QTest::newRow("decimal point, comma grouping")
            << english << "1,234.5" << statementFor("1234.50", 7) << "1,234.50" << 1234.5;
        QTest::newRow("whole amount") << english << "1200" << statementFor("1200", 7) << "1,200.00" << 1200.0;
        QTest::newRow("65 digits") << english << "1" + QString(64, u'0')
                                   << "Update Productos set PrecioSugeridoAdic002=1" + QString(64, u'0') +
                                          " Where Código=7"
                                   << "10" + QString(",000").repeated(21) + ".00" << 1e64;
        QTest::newRow("half a cent up") << english << "1.005" << statementFor("1.01", 7) << "1.01" << 1.01;
        QTest::newRow("zero") << spanish << "0" << statementFor("0", 7) << "0,00" << 0.0;
        QTest::newRow("empty") << english << "" << QString() << was << 70.0;
        QTest::newRow("two decimal points") << english << "1.2.3" << QString() << was << 70.0;
        QTest::newRow("two decimal commas") << spanish << "1,2,3" << QString() << "70,00" << 70.0;
        QTest::newRow("separators alone") << english << ".," << QString() << was << 70.0;
        QTest::newRow("millions grouped")
            << spanish << "1.234.567,891" << statementFor("1234567.89", 7) << "1.234.567,89" << 1234567.89;
        QTest::newRow("grouping out of place") << spanish << "12.34" << QString() << "70,00" << 70.0;
        QTest::newRow("comma read as grouping") << english << "12,34" << QString() << was << 70.0;
        QTest::newRow("group sign after the decimal point") << english << "1.234,5" << QString() << was << 70.0;
    }
    void enterStoresTheTypedPrice() {
        QFETCH(QLocale, locale);
        QFETCH(QString, typed);
        QFETCH(QString, statement);
        QFETCH(QString, cell);
        QFETCH(double, stored);
        QLocale::setDefault(locale);
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(2));
        QTest::keyClick(f.Casilla, Qt::Key_Backspace);
        typeInto(typed);
        pressEnter();
        QCOMPARE(win->statements, statement.isEmpty() ? QStringList() : QStringList{statement});
        QCOMPARE(f.Grid1->textMatrix(2, 3), cell);
        QCOMPARE(win->f().Casilla->isHidden(), true);
        QVERIFY(win->dialogs.shown.isEmpty());
        QCOMPARE(win->field(7, QStringLiteral("PrecioSugeridoAdic002")).toDouble(), stored);
        // The other products keep their prices.
        QCOMPARE(win->field(5, QStringLiteral("PrecioSugeridoAdic002")).toDouble(), 1234.5);
    }

    void enterOnTheShownPriceStoresItAsShown_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("shown");
        QTest::newRow("English") << english << "1,234.50";
        QTest::newRow("Spanish, which would not group four digits") << spanish << "1.234,50";
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << "1.234,50";
    }
    void enterOnTheShownPriceStoresItAsShown() {
        QFETCH(QLocale, locale);
        QFETCH(QString, shown);
        QLocale::setDefault(locale);
        QVERIFY(win->open());
        QVERIFY(openEditor(1));
        QCOMPARE(win->f().Casilla->text(), shown);
        pressEnter();
        QCOMPARE(win->statements, QStringList{statementFor("1234.50", 5)});
        QCOMPARE(win->f().Grid1->textMatrix(1, 3), shown);
        QVERIFY(win->f().Casilla->isHidden());
    }

    void aNegativeAmountIsStoredAndShownWithoutItsSign_data() {
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("cell");
        QTest::addColumn<double>("stored");
        QTest::newRow("small") << "-12,3" << statementFor("12.30", 3) << "12,30" << 12.3;
        QTest::newRow("grouped") << "-1.234,5" << statementFor("1234.50", 3) << "1.234,50" << 1234.5;
    }
    void aNegativeAmountIsStoredAndShownWithoutItsSign() {
        QFETCH(QString, pasted);
        QFETCH(QString, statement);
        QFETCH(QString, cell);
        QFETCH(double, stored);
        QLocale::setDefault(spanish);
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(3));
        f.Casilla->setText(pasted);
        pressEnter();
        QCOMPARE(win->statements, QStringList{statement});
        QCOMPARE(f.Grid1->textMatrix(3, 3), cell);
        QCOMPARE(win->field(3, QStringLiteral("PrecioSugeridoAdic002")).toDouble(), stored);
    }

    void enterStoresIntoTheRowCurrentAtThatMoment() {
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(2));
        typeInto(QStringLiteral("9"));
        f.Grid1->setRow(1);
        pressEnter();
        QCOMPARE(win->statements, QStringList{statementFor("9", 5)});
        QCOMPARE(f.Grid1->textMatrix(1, 3), QStringLiteral("9.00"));
        QCOMPARE(f.Grid1->textMatrix(2, 3), QStringLiteral("70.00"));
    }

    void enterDoesNothingUnlessAPriceCellIsCurrent_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("code");
        QTest::newRow("another column") << 2 << 5 << "7";
        QTest::newRow("header row") << 0 << 3 << "7";
        QTest::newRow("a code that is not a whole number") << 2 << 3 << "7 or 1=1";
        QTest::newRow("no code") << 2 << 3 << "";
    }
    void enterDoesNothingUnlessAPriceCellIsCurrent() {
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QString, code);
        QVERIFY(win->open());
        Form& f = win->f();
        QVERIFY(openEditor(2));
        typeInto(QStringLiteral("9"));
        f.Grid1->setTextMatrix(2, 0, code);
        f.Grid1->setRow(row);
        f.Grid1->setCol(col);
        pressEnter();
        QVERIFY(win->statements.isEmpty());
        QVERIFY(f.Casilla->isVisible());
        QCOMPARE(f.Casilla->text(), QStringLiteral("9"));
        QCOMPARE(f.Grid1->textMatrix(2, 3), QStringLiteral("70.00"));
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    void aFailingStatementKeepsTheCellAndTheTypedText_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("statementRan");
        QTest::addColumn<QString>("message");
        QTest::newRow("read-only database: the folder and the file need the permission")
            << "read-only" << true
            << "La base de datos \"%1\" no pudo ejecutar la consulta.\rattempt to write a readonly database\rNo se "
               "puede escribir en la base de datos o en su carpeta, \"{CARPETA}\": Vantoria necesita permiso de "
               "escritura en las dos.";
        QTest::newRow("locked database") << "locked" << true
                                         << "La base de datos \"%1\" no pudo ejecutar la consulta.\rdatabase is locked";
        QTest::newRow("another program holds a write transaction")
            << "locked elsewhere" << true
            << "La base de datos \"%1\" no pudo ejecutar la consulta.\rdatabase is locked";
        QTest::newRow("deleted after the load")
            << "missing" << false << "No se pudo abrir la base de datos \"%1\".\rEl archivo no existe.";
    }
    void aFailingStatementKeepsTheCellAndTheTypedText() {
        QFETCH(QString, how);
        QFETCH(bool, statementRan);
        QFETCH(QString, message);
        QVERIFY(win->open());
        Form& f = win->f();
        QSqlDatabase locker;
        QProcess program;
        if (how == QLatin1String("read-only")) {
            QVERIFY(win->makeReadOnly());
        } else if (how == QLatin1String("missing")) {
            QVERIFY(QFile::remove(win->path()));
        } else if (how == QLatin1String("locked elsewhere")) {
            program.start(QStringLiteral("sqlite3"), {win->path()});
            QVERIFY2(program.waitForStarted(), "the sqlite3 program (Debian: sqlite3) is not installed");
            program.write("BEGIN EXCLUSIVE;\nSELECT 'held';\n");
            QVERIFY(program.waitForReadyRead(5000));
        } else {
            locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
            locker.setDatabaseName(win->path());
            QVERIFY(locker.open());
            QVERIFY(QSqlQuery(locker).exec(QStringLiteral("BEGIN EXCLUSIVE")));
        }
        QVERIFY(openEditor(2));
        typeInto(QStringLiteral("88.5"));
        pressEnter();
        if (program.state() != QProcess::NotRunning) {
            program.closeWriteChannel();
            QVERIFY(program.waitForFinished(5000));
        }
        if (locker.isValid()) {
            locker.close();
            locker = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
        }
        QCOMPARE(win->statements, statementRan ? QStringList{statementFor("88.50", 7)} : QStringList());
        QCOMPARE(
            win->dialogs.notices(),
            QStringList{
                message.arg(win->path()).replace(QStringLiteral("{CARPETA}"), QFileInfo(win->path()).absolutePath())});
        QCOMPARE(f.Grid1->textMatrix(2, 3), QStringLiteral("70.00"));
        QVERIFY(f.Casilla->isVisible());
        QCOMPARE(f.Casilla->text(), QStringLiteral("88.5"));
        if (how != QLatin1String("missing"))
            QCOMPARE(win->field(7, QStringLiteral("PrecioSugeridoAdic002")).toDouble(), 70.0);
    }

    void screenshotWithTheEditorOpen() {
        QVERIFY(win->open());
        win->addListing(QStringLiteral("MLV812345670"), QStringLiteral("Martillo de carpintero"));
        QVERIFY(openEditor(1));
        QTest::qWait(50);
        QDir().mkpath(QStringLiteral(VANTORIA_SCREENSHOT_DIR));
        QVERIFY(win->w->grab().save(QStringLiteral(VANTORIA_SCREENSHOT_DIR "/vantoria-price-editor.png")));
    }
};

QTEST_MAIN(PriceEntryTest)
#include "tst_priceentry.moc"
