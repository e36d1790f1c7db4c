#include "FlexGrid.h"
#include "VbError.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLineEdit>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

class FlexGridTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FlexGrid> grid;
    std::unique_ptr<QAbstractItemModelTester> tester;

    void fill(int rows) {
        for (int r = 0; r < rows; ++r) {
            grid->setRows(grid->rows() + 1);
            const int last = grid->rows() - 1;
            for (int c = 0; c < grid->cols(); ++c)
                grid->setTextMatrix(last, c, QStringLiteral("%1:%2").arg(last).arg(c));
        }
    }

  private slots:
    void init() {
        grid = std::make_unique<FlexGrid>();
        tester = std::make_unique<QAbstractItemModelTester>(grid->model(),
                                                            QAbstractItemModelTester::FailureReportingMode::QtTest);
        grid->setCols(5);
        grid->setColWidth(0, 1100);
        grid->setColWidth(1, 300);
        grid->setColWidth(2, 5000);
        grid->setColWidth(3, 0);
        grid->setColWidth(4, 550);
        grid->resize(400, 300);
    }
    void cleanup() {
        tester.reset();
        grid.reset();
    }

    void headerRowIsTheViewsHeader() {
        grid->setTextMatrix(0, 2, QStringLiteral("Producto"));
        QCOMPARE(grid->rows(), 1);
        QCOMPARE(grid->model()->rowCount(), 0);
        QCOMPARE(grid->model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Producto"));
        QCOMPARE(grid->textMatrix(0, 2), QStringLiteral("Producto"));
    }

    void appendedRowsReachTheViewInBatches() {
        fill(1000);
        QCOMPARE(grid->rows(), 1001);
        QCOMPARE(grid->textMatrix(1000, 4), QStringLiteral("1000:4"));
        QVERIFY(grid->model()->rowCount() < 1000);
        QTRY_COMPARE(grid->model()->rowCount(), 1000);
        QCOMPARE(grid->model()->index(999, 4).data().toString(), QStringLiteral("1000:4"));
    }

    void settingOneRowDropsTextsColoursAndPictures() {
        fill(3);
        grid->setRow(2);
        grid->setCol(1);
        grid->setCellBackColor(208 + 256 * 255 + 65536 * 255);
        QPixmap pix(20, 18);
        pix.fill(Qt::red);
        grid->setCellPicture(pix);
        QCOMPARE(grid->cellBackColor(2, 1), QColor(208, 255, 255));
        QVERIFY(!grid->cellPicture(2, 1).isNull());
        grid->setRows(1);
        QCOMPARE(grid->row(), 0);
        grid->setRows(3);
        QCOMPARE(grid->textMatrix(2, 0), QString());
        QVERIFY(!grid->cellBackColor(2, 1).isValid());
        QVERIFY(grid->cellPicture(2, 1).isNull());
    }

    void growingKeepsExistingRows() {
        fill(2);
        grid->setRows(4);
        QCOMPARE(grid->textMatrix(2, 2), QStringLiteral("2:2"));
        QCOMPARE(grid->textMatrix(3, 2), QString());
        grid->setRows(2);
        QCOMPARE(grid->rows(), 2);
        QCOMPARE(grid->textMatrix(1, 2), QStringLiteral("1:2"));
    }

    // Every row of a column holds the same text, kept once, and one cell is written again afterwards: each cell
    // reads back as written, through the grid and through the view's model, null texts as null.
    void textsReadBackAsWritten_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("null") << QString();
        QTest::newRow("empty") << QStringLiteral("");
        QTest::newRow("seven bytes") << QStringLiteral("1234567");
        QTest::newRow("eight bytes") << QStringLiteral("12345678");
        QTest::newRow("seven bytes with accents") << QString::fromUtf16(u"Ñandú");
        QTest::newRow("category") << QString::fromUtf16(u"Herramientas eléctricas");
        QTest::newRow("beyond the basic plane") << QString::fromUtf16(u"caf\u00e9 \U0001F600");
        QTest::newRow("lone surrogate") << QStringLiteral("ab") + QChar(0xD800) + QStringLiteral("cd");
        QTest::newRow("a NUL inside") << QString::fromUtf16(u"a\0b", 3);
        QTest::newRow("longer than a block") << QString(400000, QChar(u'é'));
    }
    void textsReadBackAsWritten() {
        QFETCH(QString, text);
        fill(40);
        grid->cells().flush();
        for (int r = 1; r < grid->rows(); ++r)
            grid->setTextMatrix(r, 1, text);
        grid->setTextMatrix(20, 1, QStringLiteral("otro texto largo"));
        grid->setTextMatrix(21, 1, text.left(3));
        for (int r = 1; r < grid->rows(); ++r) {
            const QString expected = r == 20 ? QStringLiteral("otro texto largo") : r == 21 ? text.left(3) : text;
            QCOMPARE(grid->textMatrix(r, 1), expected);
            QCOMPARE(grid->textMatrix(r, 1).isNull(), expected.isNull());
            QCOMPARE(grid->model()->index(r - 1, 1).data().toString(), expected);
            QCOMPARE(grid->textMatrix(r, 2), QStringLiteral("%1:2").arg(r));
        }
        // The same text given in UTF-8 reads back as QString::fromUtf8() reads it.
        const QByteArray utf8 = text.toUtf8();
        grid->setTextMatrixUtf8(5, 3, utf8);
        QCOMPARE(grid->textMatrix(5, 3), QString::fromUtf8(utf8));
        QCOMPARE(grid->textMatrix(5, 3).isNull(), utf8.isNull());
    }

    // Texts written over and over are let go, and those still shown stay as they were.
    void rewrittenTextsLeaveTheOthersAlone() {
        fill(30);
        const QString big(300000, QChar(u'x'));
        for (int i = 0; i < 40; ++i)
            grid->setTextMatrix(1 + i % 30, 4, big + QString::number(i));
        grid->setRows(10);
        grid->setRows(31);
        for (int r = 1; r < 31; ++r) {
            QCOMPARE(grid->textMatrix(r, 2), r < 10 ? QStringLiteral("%1:2").arg(r) : QString());
            const int last = r - 1 + 30 < 40 ? r - 1 + 30 : r - 1;
            QCOMPARE(grid->textMatrix(r, 4), r < 10 ? big + QString::number(last) : QString());
        }
    }

    void outOfRangeCellsRaiseSubscriptOutOfRange_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::newRow("row past the end") << 3 << 0;
        QTest::newRow("negative row") << -1 << 0;
        QTest::newRow("column past the end") << 1 << 5;
        QTest::newRow("negative column") << 1 << -1;
    }
    void outOfRangeCellsRaiseSubscriptOutOfRange() {
        QFETCH(int, row);
        QFETCH(int, col);
        fill(2);
        try {
            grid->textMatrix(row, col);
            QFAIL("no error");
        } catch (const vb::Error& e) {
            QCOMPARE(e.number(), 9);
        }
        QVERIFY_THROWS_EXCEPTION(vb::Error, grid->setTextMatrix(row, col, QStringLiteral("x")));
    }

    void zeroWidthHidesAColumnAndKeepsItsText() {
        fill(1);
        QVERIFY(grid->isColumnHidden(3));
        QCOMPARE(grid->colWidth(3), 0);
        QCOMPARE(grid->textMatrix(1, 3), QStringLiteral("1:3"));
        QCOMPARE(grid->colWidth(2), 5000);
        QCOMPARE(grid->columnWidth(2), 333);
    }

    void rowHeightZeroHidesAndTheHeaderHeightShows() {
        fill(3);
        const int header = grid->rowHeight(0);
        QVERIFY(header > 0);
        QCOMPARE(grid->rowHeight(2), header);
        grid->setRowHeight(2, 0);
        QCOMPARE(grid->rowHeight(2), 0);
        QVERIFY(grid->isRowHidden(1));
        grid->setRowHeight(2, header);
        QCOMPARE(grid->rowHeight(2), header);
        QVERIFY(!grid->isRowHidden(1));
    }

    void cellGeometryIsInTwipsRelativeToTheGrid() {
        fill(5);
        grid->show();
        QVERIFY(QTest::qWaitForWindowExposed(grid.get()));
        grid->setRow(3);
        grid->setCol(2);
        const QRect r = grid->visualRect(grid->model()->index(2, 2)).translated(grid->viewport()->pos());
        QCOMPARE(grid->cellLeft(), r.x() * 15);
        QCOMPARE(grid->cellTop(), r.y() * 15);
        QCOMPARE(grid->cellWidth(), 333 * 15);
        QCOMPARE(grid->cellHeight(), grid->rowHeight(3));
        // Row 1 lies right below the header row.
        grid->setRow(1);
        QCOMPARE(grid->cellTop(), grid->horizontalHeader()->geometry().bottom() * 15 + 15);
    }

    // Where a gesture lands: a cell (row, col), the header row (row 0) or the blank area below the last row (row -1).
    void gesturesAndTheEventsTheyRaise_data() {
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("currentAfter");
        QTest::newRow("left click on a cell") << "left" << 2 << 2 << QStringList{"click 2,2"} << "2,2";
        QTest::newRow("left click on an icon") << "left" << 3 << 1 << QStringList{"click 3,1"} << "3,1";
        QTest::newRow("double-click on a cell")
            << "double" << 2 << 0 << QStringList{"click 2,0", "dblclick 2,0"} << "2,0";
        QTest::newRow("right click changes nothing") << "right" << 2 << 2 << QStringList{} << "1,4";
        QTest::newRow("middle click changes nothing") << "middle" << 3 << 0 << QStringList{} << "1,4";
        QTest::newRow("click on the header row") << "left" << 0 << 2 << QStringList{"click 1,4"} << "1,4";
        QTest::newRow("double-click on the header row")
            << "double" << 0 << 2 << QStringList{"click 1,4", "dblclick 1,4"} << "1,4";
        QTest::newRow("click below the last row") << "left" << -1 << 2 << QStringList{"click 1,4"} << "1,4";
        QTest::newRow("double-click below the last row")
            << "double" << -1 << 0 << QStringList{"click 1,4", "dblclick 1,4"} << "1,4";
    }
    void gesturesAndTheEventsTheyRaise() {
        QFETCH(QString, gesture);
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QStringList, events);
        QFETCH(QString, currentAfter);
        fill(4);
        grid->show();
        QVERIFY(QTest::qWaitForWindowExposed(grid.get()));
        grid->cells().flush();
        grid->setRow(1);
        grid->setCol(4);
        QStringList seen;
        const auto cell = [&] { return QStringLiteral("%1,%2").arg(grid->row()).arg(grid->col()); };
        connect(grid.get(), &FlexGrid::Click, this, [&] { seen << QStringLiteral("click ") + cell(); });
        connect(grid.get(), &FlexGrid::DblClick, this, [&] { seen << QStringLiteral("dblclick ") + cell(); });
        QWidget* target = row == 0 ? grid->horizontalHeader()->viewport() : grid->viewport();
        const int x = grid->columnViewportPosition(col) + grid->columnWidth(col) / 2;
        QPoint at(x, 5);
        if (row > 0)
            at = grid->visualRect(grid->model()->index(row - 1, col)).center();
        else if (row < 0)
            at = QPoint(x, grid->viewport()->height() - 5);
        if (gesture == QLatin1String("double")) {
            // As a window system delivers it: press, release, double-click, release.
            QTest::mouseClick(target, Qt::LeftButton, {}, at);
            QTest::mouseDClick(target, Qt::LeftButton, {}, at);
            QTest::mouseRelease(target, Qt::LeftButton, {}, at);
        } else {
            const Qt::MouseButton button = gesture == QLatin1String("left")    ? Qt::LeftButton
                                           : gesture == QLatin1String("right") ? Qt::RightButton
                                                                               : Qt::MiddleButton;
            QTest::mouseClick(target, button, {}, at);
        }
        QCOMPARE(seen, events);
        QCOMPARE(cell(), currentAfter);
    }

    void keysLeaveTheCurrentCellAlone_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("focusLeaves");
        QTest::newRow("a letter that begins a row's text") << int(Qt::Key_3) << false;
        QTest::newRow("Tab leaves the grid") << int(Qt::Key_Tab) << true;
        QTest::newRow("Shift+Tab leaves the grid") << int(Qt::Key_Backtab) << true;
    }
    void keysLeaveTheCurrentCellAlone() {
        QFETCH(int, key);
        QFETCH(bool, focusLeaves);
        QWidget window;
        auto* before = new QLineEdit(&window);
        grid->setParent(&window);
        const auto giveBack = qScopeGuard([&] { grid->setParent(nullptr); });
        auto* after = new QLineEdit(&window);
        QWidget::setTabOrder(before, grid.get());
        QWidget::setTabOrder(grid.get(), after);
        fill(4);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        grid->cells().flush();
        grid->setRow(1);
        grid->setCol(0);
        grid->setFocus();
        QVERIFY(grid->hasFocus());
        QTest::keyClick(grid.get(), Qt::Key(key));
        QCOMPARE(grid->row(), 1);
        QCOMPARE(grid->col(), 0);
        QCOMPARE(!grid->hasFocus(), focusLeaves);
    }

    void currentCellSetInCodeDoesNotScroll() {
        fill(300);
        grid->show();
        QVERIFY(QTest::qWaitForWindowExposed(grid.get()));
        QTRY_COMPARE(grid->model()->rowCount(), 300);
        grid->setRow(300);
        grid->setCol(1);
        QCOMPARE(grid->verticalScrollBar()->value(), 0);
        QCOMPARE(grid->currentIndex(), grid->model()->index(299, 1));
    }

    void backColourIsRedPlus256GreenPlus65536Blue_data() {
        QTest::addColumn<quint32>("colour");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("pale cyan") << quint32(208 + 256 * 255 + 65536 * 255) << QColor(208, 255, 255);
        QTest::newRow("orange") << quint32(255 + 256 * 127 + 65536 * 10) << QColor(255, 127, 10);
        QTest::newRow("pure blue") << quint32(65536 * 255) << QColor(0, 0, 255);
    }
    void backColourIsRedPlus256GreenPlus65536Blue() {
        QFETCH(quint32, colour);
        QFETCH(QColor, expected);
        fill(1);
        grid->setRow(1);
        grid->setCol(4);
        grid->setCellBackColor(colour);
        QCOMPARE(grid->cellBackColor(1, 4), expected);
        QCOMPARE(grid->cellBackColor(1, 3), QColor());
        grid->cells().flush();
        QCOMPARE(grid->model()->index(0, 4).data(Qt::BackgroundRole).value<QColor>(), expected);
    }
};

QTEST_MAIN(FlexGridTest)
#include "tst_flexgrid.moc"
