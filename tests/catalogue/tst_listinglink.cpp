#include "CatalogueWindow.h"

#include <QHeaderView>
#include <QLineEdit>

namespace {

QString linkStatement(const QString& id, qint64 code) {
    return QStringLiteral("Update Productos set Serial='") + id + QStringLiteral("' Where Código=") +
           QString::number(code);
}

QString unlinkStatement(qint64 code) {
    return QStringLiteral("Update Productos set Serial='-' Where Código=") + QString::number(code);
}

QString unlinkQuestion(const QString& serial, const QString& name) {
    return QStringLiteral("¿Esta seguro de querer quitar el serial ") + serial + QStringLiteral(" del Producto ") +
           name + QStringLiteral(" ?");
}

}  // namespace

class ListingLinkTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CatalogueWindow> win;

    bool openWithListings() {
        if (!win->open())
            return false;
        win->addListing(QStringLiteral("MLV200"), QStringLiteral("Alicate universal"));
        win->addListing(QStringLiteral("MLV300"), QStringLiteral("Lentes polarizados"));
        return true;
    }
    QString serialHeld(qint64 code) const { return win->field(code, QStringLiteral("Serial")).toString(); }

  private slots:
    void init() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        win = std::make_unique<CatalogueWindow>();
    }
    void cleanup() { win.reset(); }

    void gesturesOnTheListingGrid_data() {
        QTest::addColumn<int>("col");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<bool>("links");
        QTest::newRow("click on the icon links") << 1 << false << true;
        QTest::newRow("double-click on the id links") << 0 << true << true;
        QTest::newRow("double-click on the icon links once") << 1 << true << true;
        QTest::newRow("click on the id does nothing") << 0 << false << false;
        QTest::newRow("click on the title does nothing") << 2 << false << false;
        QTest::newRow("double-click on the title does nothing") << 2 << true << false;
    }
    void gesturesOnTheListingGrid() {
        QFETCH(int, col);
        QFETCH(bool, doubleClick);
        QFETCH(bool, links);
        QVERIFY(openWithListings());
        Form& f = win->f();
        CatalogueWindow::click(f.Grid1, 1, 2);
        if (doubleClick)
            CatalogueWindow::doubleClick(f.Grid2, 2, col);
        else
            CatalogueWindow::click(f.Grid2, 2, col);
        QCOMPARE(win->statements, links ? QStringList{linkStatement(QStringLiteral("MLV300"), 5)} : QStringList());
        QCOMPARE(f.Grid1->textMatrix(1, 4), links ? QStringLiteral("MLV300") : QString());
        QCOMPARE(serialHeld(5), links ? QStringLiteral("MLV300") : QString());
        QVERIFY(win->dialogs.shown.isEmpty());
        // Only the one cell changes.
        QCOMPARE(f.Grid1->textMatrix(2, 4), QStringLiteral("MLV100"));
        QCOMPARE(f.Grid1->textMatrix(1, 6), QStringLiteral("1"));
        QCOMPARE(f.Grid2->rows(), 3);
    }

    // After a download the current cell of the listing grid is the link icon of its last row; a click beside the
    // listings (the header row, the blank area below them) must not link that listing.
    void clicksBesideTheListingsLinkNothing_data() {
        QTest::addColumn<bool>("header");
        QTest::addColumn<bool>("doubleClick");
        QTest::newRow("click on the header row") << true << false;
        QTest::newRow("double-click on the header row") << true << true;
        QTest::newRow("click below the last listing") << false << false;
        QTest::newRow("double-click below the last listing") << false << true;
    }
    void clicksBesideTheListingsLinkNothing() {
        QFETCH(bool, header);
        QFETCH(bool, doubleClick);
        QVERIFY(openWithListings());
        Form& f = win->f();
        CatalogueWindow::click(f.Grid1, 1, 2);
        QCOMPARE(f.Grid2->col(), 1);
        FlexGrid* g = f.Grid2;
        QWidget* target = header ? g->horizontalHeader()->viewport() : g->viewport();
        const QPoint at(g->columnViewportPosition(1) + 5, header ? 5 : g->viewport()->height() - 5);
        QTest::mouseClick(target, Qt::LeftButton, {}, at);
        if (doubleClick) {
            QTest::mouseDClick(target, Qt::LeftButton, {}, at);
            QTest::mouseRelease(target, Qt::LeftButton, {}, at);
        }
        QVERIFY(win->statements.isEmpty());
        QCOMPARE(f.Grid1->textMatrix(1, 4), QString());
    }

    void linkingReplacesAnyOldIdAndMayRepeatAListing() {
        QVERIFY(openWithListings());
        Form& f = win->f();
        // Right after the load the last product is current.
        CatalogueWindow::click(f.Grid2, 1, 1);
        CatalogueWindow::click(f.Grid1, 2, 2);
        CatalogueWindow::click(f.Grid2, 1, 1);
        CatalogueWindow::click(f.Grid1, 1, 4);
        CatalogueWindow::click(f.Grid2, 2, 1);
        CatalogueWindow::doubleClick(f.Grid2, 1, 0);
        QCOMPARE(win->statements, (QStringList{linkStatement("MLV200", 3), linkStatement("MLV200", 7),
                                               linkStatement("MLV300", 5), linkStatement("MLV200", 5)}));
        QCOMPARE(f.Grid1->textMatrix(3, 4), QStringLiteral("MLV200"));
        QCOMPARE(f.Grid1->textMatrix(2, 4), QStringLiteral("MLV200"));
        QCOMPARE(f.Grid1->textMatrix(1, 4), QStringLiteral("MLV200"));
        for (qint64 code : {3, 7, 5})
            QCOMPARE(serialHeld(code), QStringLiteral("MLV200"));
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    // Whatever a listing id holds, it is stored as the id and nothing more, and the cell shows what was stored.
    void hostileIdsAreStoredAsTheyStand_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("quoted");  // as it stands between the quotes of the statement
        QTest::addColumn<QString>("held");
        QTest::newRow("a quote") << "MLV1'2"
                                 << "MLV1''2"
                                 << "MLV1'2";
        QTest::newRow("a statement of its own") << "x'; DELETE FROM Productos; --"
                                                << "x''; DELETE FROM Productos; --"
                                                << "x'; DELETE FROM Productos; --";
        QTest::newRow("wildcards") << "MLV%_*?"
                                   << "MLV%_*?"
                                   << "MLV%_*?";
        QTest::newRow("a NUL is left out") << QString::fromUtf16(u"MLV\u00001", 5) << "MLV1"
                                           << "MLV1";
        QTest::newRow("ten thousand characters")
            << QString(10000, u'9') << QString(10000, u'9') << QString(10000, u'9');
    }
    void hostileIdsAreStoredAsTheyStand() {
        QFETCH(QString, id);
        QFETCH(QString, quoted);
        QFETCH(QString, held);
        QVERIFY(win->open());
        Form& f = win->f();
        win->addListing(id, QStringLiteral("Raro"));
        CatalogueWindow::click(f.Grid1, 2, 2);
        CatalogueWindow::click(f.Grid2, 1, 1);
        QCOMPARE(win->statements, QStringList{linkStatement(quoted, 7)});
        QCOMPARE(f.Grid1->textMatrix(2, 4), held);
        QCOMPARE(serialHeld(7), held);
        // The other products keep their serials.
        QCOMPARE(serialHeld(5), QString());
        QVERIFY(win->dialogs.shown.isEmpty());
    }

    void nothingHappensWithoutRowsOrAWholeNumberCode_data() {
        QTest::addColumn<QString>("case_");
        QTest::newRow("no listings") << "no listings";
        QTest::newRow("no products") << "no products";
        QTest::newRow("header row of the products current") << "header";
        QTest::newRow("a code that is not a whole number") << "code";
    }
    void nothingHappensWithoutRowsOrAWholeNumberCode() {
        QFETCH(QString, case_);
        QVERIFY(win->open());
        Form& f = win->f();
        if (case_ != QLatin1String("no listings"))
            win->addListing(QStringLiteral("MLV200"), QStringLiteral("Alicate universal"));
        if (case_ == QLatin1String("no products"))
            f.Grid1->setRows(1);
        else if (case_ == QLatin1String("header"))
            f.Grid1->setRow(0);
        else if (case_ == QLatin1String("code"))
            f.Grid1->setTextMatrix(3, 0, QStringLiteral("3 or 1=1"));
        if (f.Grid2->rows() > 1) {
            CatalogueWindow::click(f.Grid2, 1, 1);
            CatalogueWindow::doubleClick(f.Grid2, 1, 0);
        } else {
            f.Grid2->setCol(1);
            QTest::mouseClick(f.Grid2->viewport(), Qt::LeftButton, {}, QPoint(20, 40));
        }
        QVERIFY(win->statements.isEmpty());
        QVERIFY(win->dialogs.shown.isEmpty());
        if (f.Grid1->rows() > 1)
            QCOMPARE(f.Grid1->textMatrix(3, 4), QString());
        QCOMPARE(serialHeld(3), QString());
    }

    void unlinkAsksFirst_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("serialBefore");
        QTest::addColumn<QString>("serialAfter");
        QTest::newRow("yes unlinks") << 2 << true << "MLV100"
                                     << "-";
        QTest::newRow("no keeps the link") << 2 << false << "MLV100"
                                           << "MLV100";
        QTest::newRow("yes on a never linked product") << 3 << true << ""
                                                       << "-";
    }
    void unlinkAsksFirst() {
        QFETCH(int, row);
        QFETCH(bool, yes);
        QFETCH(QString, serialBefore);
        QFETCH(QString, serialAfter);
        QVERIFY(win->open());
        Form& f = win->f();
        const qint64 code = f.Grid1->textMatrix(row, 0).toLongLong();
        win->dialogs.answers = {yes};
        CatalogueWindow::doubleClick(f.Grid1, row, 4);
        QCOMPARE(win->dialogs.shown.size(), 1);
        QCOMPARE(win->dialogs.shown[0].kind, ScriptedDialogs::Kind::Question);
        QCOMPARE(win->dialogs.shown[0].caption, QStringLiteral("Atención..."));
        QCOMPARE(win->dialogs.shown[0].text, unlinkQuestion(serialBefore, f.Grid1->textMatrix(row, 2)));
        QCOMPARE(win->statements, yes ? QStringList{unlinkStatement(code)} : QStringList());
        QCOMPARE(f.Grid1->textMatrix(row, 4), serialAfter);
        QCOMPARE(serialHeld(code), serialAfter);
    }

    void doubleClickElsewhereOnlyHidesThePriceEditor_data() {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("questions");  // the push icon's click asks whether to send the price
        QTest::newRow("price") << 3 << 0;
        QTest::newRow("name") << 2 << 0;
        QTest::newRow("push icon") << 5 << 1;
    }
    void doubleClickElsewhereOnlyHidesThePriceEditor() {
        QFETCH(int, col);
        QFETCH(int, questions);
        QVERIFY(win->open());
        Form& f = win->f();
        CatalogueWindow::click(f.Grid1, 2, 3);
        QVERIFY(f.Casilla->isVisible());
        win->dialogs.answers = {false};
        CatalogueWindow::doubleClick(f.Grid1, 2, col);
        QVERIFY(f.Casilla->isHidden());
        QCOMPARE(win->dialogs.shown.size(), questions);
        QVERIFY(win->statements.isEmpty());
        QCOMPARE(f.Grid1->textMatrix(2, 4), QStringLiteral("MLV100"));
    }

    void aReadOnlyDatabaseLeavesTheSerialCellAsTheDatabaseHoldsIt() {
        QVERIFY(openWithListings());
        Form& f = win->f();
        QVERIFY(win->makeReadOnly());
        const QString notice =
            QStringLiteral(
                "La base de datos \"%1\" no pudo ejecutar la consulta.\rattempt to write a readonly "
                "database\rNo se puede escribir en la base de datos o en su carpeta, \"%2\": Vantoria "
                "necesita permiso de escritura en las dos.")
                .arg(win->path(), QFileInfo(win->path()).absolutePath());
        CatalogueWindow::click(f.Grid1, 2, 2);
        CatalogueWindow::click(f.Grid2, 2, 1);
        QCOMPARE(win->dialogs.notices(), QStringList{notice});
        QCOMPARE(f.Grid1->textMatrix(2, 4), QStringLiteral("MLV100"));
        win->dialogs.shown.clear();
        win->dialogs.answers = {true};
        CatalogueWindow::doubleClick(f.Grid1, 2, 4);
        QCOMPARE(win->dialogs.notices(), QStringList{notice});
        QCOMPARE(f.Grid1->textMatrix(2, 4), QStringLiteral("MLV100"));
        QCOMPARE(win->statements, (QStringList{linkStatement("MLV300", 7), unlinkStatement(7)}));
        QCOMPARE(serialHeld(7), QStringLiteral("MLV100"));
    }

    void aMissingDatabaseIsNamedAndNothingIsWritten() {
        QVERIFY(openWithListings());
        Form& f = win->f();
        QVERIFY(QFile::remove(win->path()));
        CatalogueWindow::click(f.Grid2, 1, 1);
        QCOMPARE(
            win->dialogs.notices(),
            QStringList{
                QStringLiteral("No se pudo abrir la base de datos \"%1\".\rEl archivo no existe.").arg(win->path())});
        QCOMPARE(f.Grid1->textMatrix(3, 4), QString());
        QVERIFY(win->statements.isEmpty());
    }
};

QTEST_MAIN(ListingLinkTest)
#include "tst_listinglink.moc"
