#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QHash>
#include <QPixmap>
#include <QTableView>
#include <QTimer>

#include <memory>
#include <vector>

// The texts of a grid's cells, eight bytes a cell: a text of up to seven bytes of UTF-8 inside them, a longer one in
// blocks of bytes that never move (UTF-8, or UTF-16 when the text holds a lone surrogate UTF-8 cannot carry). A text
// equal to the one last kept for its column is kept once for both, so a column that repeats a text (a category,
// a flag) costs no bytes for it. Replaced texts are left where they are until they outweigh the live ones.
class CellTexts {
  public:
    using Ref = quint64;  // 0 is the null text

    CellTexts();
    ~CellTexts();
    CellTexts(const CellTexts&) = delete;
    CellTexts& operator=(const CellTexts&) = delete;

    // The reference of a text to keep for column `col`.
    Ref keep(QStringView text, bool null, int col);
    // The same for a text in UTF-8, as QString::fromUtf8() reads it.
    Ref keepUtf8(QByteArrayView utf8, int col);
    QString text(Ref ref) const;
    bool isEmpty(Ref ref) const { return ref == 0 || ref == InlineTag; }
    // A reference no cell holds any more.
    void dropped(Ref ref);
    // Whether the replaced texts outweigh the live ones enough to keep the live ones anew.
    bool wantsCompaction() const;
    // Keeps only the texts of `refs` (the references are rewritten); forgets the texts last kept per column.
    void compact(std::vector<Ref>& refs);
    std::size_t bytes() const;

  private:
    static constexpr Ref InlineTag = Ref(0x80) << 56, Utf8Tag = Ref(0x40) << 56, Utf16Tag = Ref(0x41) << 56;
    Ref store(const void* data, std::size_t bytes, Ref tag, int col);
    const char* at(Ref ref, quint32* length) const;

    std::vector<std::unique_ptr<char[]>> chunks_;
    std::vector<std::size_t> chunkSizes_;
    std::size_t used_ = 0;  // in the last regular chunk
    int current_ = -1;      // the regular chunk being filled
    std::size_t kept_ = 0, garbage_ = 0;
    std::vector<Ref> last_;  // per column
};

// The cells of a flex grid. Row 0 is the header row; the model shows the data rows (grid row r is model row r - 1)
// and row 0 as the horizontal header. Rows appended to the grid reach attached views in batches, a few times a
// second, so that a load of many rows does not pay a view update per row. A cell is its text (see CellTexts) and
// a style shared by every cell with the same colour and picture.
class FlexGridModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    // A cell as read.
    struct Cell {
        QString text;
        QRgb back = 0;
        qint16 picture = -1;
        bool hasBack = false;
    };

    explicit FlexGridModel(QObject* parent = nullptr);

    int gridRows() const { return gridRows_; }
    int gridCols() const { return cols_; }
    void setGridRows(int rows);
    void setGridCols(int cols);
    // Room for `rows` rows, so that appending them one at a time never moves the cells already held.
    void reserveRows(int rows);

    Cell cell(int row, int col) const;
    QString text(int row, int col) const { return texts_.text(textRefs_[cellSlot(row, col)]); }
    void setText(int row, int col, const QString& text);
    // A text given in UTF-8, as QString::fromUtf8() reads it; spares the QString.
    void setTextUtf8(int row, int col, QByteArrayView utf8);
    void setBack(int row, int col, QRgb colour);
    void setPicture(int row, int col, const QPixmap& picture);
    QPixmap picture(int row, int col) const;
    // The memory the cells take.
    std::size_t storageBytes() const;

    // Makes every appended row known to the views now.
    void flush();
    int shownRows() const { return shownRows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  signals:
    void flushed();

  private:
    struct Style {
        QRgb back = 0;
        qint16 picture = -1;
        bool hasBack = false;
        quint64 key() const { return quint64(back) | quint64(quint16(picture)) << 32 | quint64(hasBack) << 48; }
    };

    std::size_t cellSlot(int row, int col) const { return std::size_t(row) * std::size_t(cols_) + std::size_t(col); }
    void changed(int row, int col);
    void scheduleFlush();
    void replaceText(std::size_t slot, CellTexts::Ref ref);
    void dropCells(std::size_t from, std::size_t to);
    quint32 styleIndex(const Style& style);
    const Style& styleAt(int row, int col) const { return styles_[styleRefs_[cellSlot(row, col)]]; }

    int gridRows_ = 1;
    int cols_ = 0;
    int shownRows_ = 0;  // data rows the views know about
    CellTexts texts_;
    std::vector<CellTexts::Ref> textRefs_;
    std::vector<quint32> styleRefs_;
    std::vector<Style> styles_{Style()};
    QHash<quint64, quint32> styleIndex_;
    std::vector<QPixmap> pictures_;
    QTimer flushTimer_;
    QElapsedTimer sinceFlush_;
};

// The grid control of the window: a table of text cells with one header row, a current cell, per-cell colour and
// picture. Rows and columns are numbered as the program knows them (row 0 is the header row); sizes are in twips.
class FlexGrid : public QTableView {
    Q_OBJECT
  public:
    static constexpr int TwipsPerPixel = 15;
    // A size in twips as whole pixels, rounded to the nearest.
    static int pixels(int twips) { return qRound(double(twips) / TwipsPerPixel); }

    explicit FlexGrid(QWidget* parent = nullptr);

    int rows() const { return model_.gridRows(); }
    void setRows(int rows);
    // A load that knows how many rows it will append says so first; the rows themselves are unchanged.
    void reserveRows(int rows) { model_.reserveRows(rows); }
    int cols() const { return model_.gridCols(); }
    void setCols(int cols);
    void setFixedCols(int cols) { fixedCols_ = cols; }
    int fixedCols() const { return fixedCols_; }

    int row() const { return row_; }
    void setRow(int row);
    int col() const { return col_; }
    void setCol(int col);

    int colWidth(int col) const;
    void setColWidth(int col, int twips);
    int rowHeight(int row) const;
    void setRowHeight(int row, int twips);

    QString textMatrix(int row, int col) const;
    void setTextMatrix(int row, int col, const QString& text);
    // The same for a text in UTF-8, as QString::fromUtf8() reads it, without making a QString of it.
    void setTextMatrixUtf8(int row, int col, QByteArrayView utf8);

    // Colour as red + 256 * green + 65536 * blue, for the current cell.
    void setCellBackColor(quint32 colour);
    QColor cellBackColor(int row, int col) const;
    void setCellPicture(const QPixmap& picture);
    QPixmap cellPicture(int row, int col) const;

    // Geometry of the current cell in twips, relative to the grid's own top-left corner.
    int cellLeft();
    int cellTop();
    int cellWidth();
    int cellHeight();
    // The grid's position on its parent, in twips.
    int left() const { return x() * TwipsPerPixel; }
    int top() const { return y() * TwipsPerPixel; }

    FlexGridModel& cells() { return model_; }

    // Whether the last Click or DblClick landed on a data cell (and not on the header row or below the last row).
    bool clickOnCell() const { return clickOnCell_; }

  signals:
    // A left click or double-click: on a cell, delivered after it became current; on the header row or the blank
    // area below the last row, with the current cell as it was. A double-click delivers a click first. Other
    // buttons do nothing.
    void Click();
    void DblClick();

  protected:
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    // Typing in the grid moves nothing: the link gestures act on the current row.
    void keyboardSearch(const QString&) override {}
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

  private:
    void leftReleased();
    void leftDoubleClicked();
    void checkRow(int row) const;
    void checkCol(int col) const;
    void syncCurrent();
    void repaintRows(int a, int b);
    QRect cellRect(int row, int col);
    int defaultRowPixels() const;

    FlexGridModel model_;
    std::vector<int> colTwips_;
    int row_ = 0;
    int col_ = 0;
    int fixedCols_ = 0;
    bool syncing_ = false;
    bool pressed_ = false;
    bool afterDoubleClick_ = false;
    bool clickOnCell_ = false;
};
