#include "FlexGrid.h"

#include "VbError.h"

#include <QHash>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStaticText>
#include <QStyledItemDelegate>

#include <algorithm>

namespace {

// Rows appended to the grid reach the views at most this often, in milliseconds.
constexpr int FlushInterval = 40;

// Numbers line up on the right, everything else on the left.
bool looksNumeric(const QString& text) {
    if (text.isEmpty())
        return false;
    const QChar first = text.front();
    if (!first.isDigit() && first != u'-')
        return false;
    bool digit = false;
    for (QChar c : text) {
        if (c.isDigit())
            digit = true;
        else if (c != u'.' && c != u',' && c != u'-' && c != u'\'' && c != QChar(0xA0) && c != QChar(0x202F))
            return false;
    }
    return digit;
}

class GridDelegate : public QStyledItemDelegate {
  public:
    GridDelegate(FlexGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int row = index.row() + 1;
        const int col = index.column();
        const FlexGridModel::Cell& cell = grid_->cells().cell(row, col);
        const QRect r = option.rect;
        QColor back;
        if (cell.hasBack)
            back = QColor(cell.back);
        else if (col < grid_->fixedCols())
            back = option.palette.color(QPalette::Button);
        else
            back = option.palette.color(QPalette::Base);
        p->fillRect(r, back);
        const bool currentRow = row == grid_->row();
        if (currentRow)
            p->fillRect(r, QColor(38, 92, 160, 34));
        if (cell.picture >= 0) {
            const QPixmap pix = grid_->cells().picture(row, col);
            const QSize size = pix.deviceIndependentSize().toSize();
            const int x = cell.text.isEmpty() ? r.x() + (r.width() - size.width()) / 2 : r.x() + 1;
            p->drawPixmap(QPoint(x, r.y() + (r.height() - size.height()) / 2), pix);
        }
        if (!cell.text.isEmpty()) {
            p->setPen(option.palette.color(QPalette::Text));
            p->setFont(option.font);
            const QRect area = r.adjusted(3, 0, -3, 0);
            const QStaticText& text = laidOut(cell.text, option.font);
            const QSizeF size = text.size();
            const qreal x = looksNumeric(cell.text) ? area.right() + 1 - size.width() : area.left();
            const QPointF at(x, area.top() + (area.height() - size.height()) / 2);
            // A text wider than its cell is cut at the cell's edges.
            if (size.width() > area.width() || size.height() > area.height()) {
                p->save();
                p->setClipRect(area, Qt::IntersectClip);
                p->drawStaticText(at, text);
                p->restore();
            } else {
                p->drawStaticText(at, text);
            }
        }
        if (currentRow && col == grid_->col()) {
            p->setPen(QPen(QColor(20, 60, 120), 1));
            p->drawRect(r.adjusted(0, 0, -1, -1));
        }
    }

  private:
    // Cell texts laid out once and kept: a repaint of the grid then only draws glyphs. Bounded, as a grid may hold
    // a million different texts.
    const QStaticText& laidOut(const QString& text, const QFont& font) const {
        if (font != font_) {
            cache_.clear();
            font_ = font;
        }
        auto it = cache_.find(text);
        if (it == cache_.end()) {
            if (cache_.size() >= MaxCached)
                cache_.clear();
            QStaticText laid(text);
            laid.setTextFormat(Qt::PlainText);
            laid.prepare(QTransform(), font);
            it = cache_.insert(text, laid);
        }
        return *it;
    }

    static constexpr qsizetype MaxCached = 4096;
    FlexGrid* grid_;
    mutable QHash<QString, QStaticText> cache_;
    mutable QFont font_;
};

}  // namespace

FlexGridModel::FlexGridModel(QObject* parent) : QAbstractTableModel(parent) {
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &FlexGridModel::flush);
}

void FlexGridModel::setGridRows(int rows) {
    if (rows < 1)
        vb::raise(vb::InvalidCall);
    if (rows == gridRows_)
        return;
    const int data = rows - 1;
    if (data == 0) {
        beginResetModel();
        cells_.resize(std::size_t(cols_));
        cells_.shrink_to_fit();
        gridRows_ = 1;
        shownRows_ = 0;
        flushTimer_.stop();
        endResetModel();
    } else if (data < shownRows_) {
        beginRemoveRows({}, data, shownRows_ - 1);
        cells_.resize(std::size_t(rows) * std::size_t(cols_));
        gridRows_ = rows;
        shownRows_ = data;
        endRemoveRows();
    } else {
        cells_.resize(std::size_t(rows) * std::size_t(cols_));
        gridRows_ = rows;
        if (data > shownRows_)
            scheduleFlush();
    }
}

void FlexGridModel::reserveRows(int rows) {
    if (rows > gridRows_)
        cells_.reserve(std::size_t(rows) * std::size_t(cols_));
}

void FlexGridModel::setGridCols(int cols) {
    if (cols < 1)
        vb::raise(vb::InvalidCall);
    if (cols == cols_)
        return;
    beginResetModel();
    std::vector<Cell> next(std::size_t(gridRows_) * std::size_t(cols));
    for (int r = 0; r < gridRows_; ++r)
        for (int c = 0; c < std::min(cols, cols_); ++c)
            next[std::size_t(r) * std::size_t(cols) + std::size_t(c)] = std::move(cells_[cellSlot(r, c)]);
    cells_ = std::move(next);
    cols_ = cols;
    shownRows_ = gridRows_ - 1;
    flushTimer_.stop();
    endResetModel();
}

void FlexGridModel::setText(int row, int col, const QString& text) {
    cells_[cellSlot(row, col)].text = text;
    changed(row, col);
}

void FlexGridModel::setBack(int row, int col, QRgb colour) {
    Cell& c = cells_[cellSlot(row, col)];
    c.back = colour;
    c.hasBack = true;
    changed(row, col);
}

void FlexGridModel::setPicture(int row, int col, const QPixmap& picture) {
    qint16 slot = -1;
    if (!picture.isNull()) {
        const auto found = std::find_if(pictures_.begin(), pictures_.end(),
                                        [&](const QPixmap& p) { return p.cacheKey() == picture.cacheKey(); });
        if (found != pictures_.end()) {
            slot = qint16(found - pictures_.begin());
        } else {
            pictures_.push_back(picture);
            slot = qint16(pictures_.size() - 1);
        }
    }
    cells_[cellSlot(row, col)].picture = slot;
    changed(row, col);
}

QPixmap FlexGridModel::picture(int row, int col) const {
    const qint16 slot = cells_[cellSlot(row, col)].picture;
    return slot < 0 ? QPixmap() : pictures_[std::size_t(slot)];
}

void FlexGridModel::changed(int row, int col) {
    if (row == 0) {
        emit headerDataChanged(Qt::Horizontal, col, col);
    } else if (row <= shownRows_) {
        const QModelIndex i = createIndex(row - 1, col);
        emit dataChanged(i, i);
    }
}

void FlexGridModel::scheduleFlush() {
    if (flushTimer_.isActive())
        return;
    const qint64 since = sinceFlush_.isValid() ? sinceFlush_.elapsed() : FlushInterval;
    flushTimer_.start(int(std::max<qint64>(0, FlushInterval - since)));
}

void FlexGridModel::flush() {
    flushTimer_.stop();
    const int data = gridRows_ - 1;
    if (data <= shownRows_)
        return;
    beginInsertRows({}, shownRows_, data - 1);
    shownRows_ = data;
    endInsertRows();
    sinceFlush_.restart();
    emit flushed();
}

int FlexGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int FlexGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : cols_;
}

QVariant FlexGridModel::data(const QModelIndex& i, int role) const {
    if (!i.isValid() || i.row() >= shownRows_ || i.column() >= cols_)
        return {};
    const Cell& c = cell(i.row() + 1, i.column());
    switch (role) {
        case Qt::DisplayRole:
            return c.text;
        case Qt::BackgroundRole:
            return c.hasBack ? QVariant(QColor(c.back)) : QVariant();
        case Qt::DecorationRole:
            return c.picture < 0 ? QVariant() : QVariant(pictures_[std::size_t(c.picture)]);
        default:
            return {};
    }
}

QVariant FlexGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < cols_)
        return cell(0, section).text;
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags FlexGridModel::flags(const QModelIndex& i) const {
    return i.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

FlexGrid::FlexGrid(QWidget* parent) : QTableView(parent) {
    setModel(&model_);
    setItemDelegate(new GridDelegate(this));
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    QHeaderView* v = verticalHeader();
    v->hide();
    v->setSectionResizeMode(QHeaderView::Fixed);
    v->setMinimumSectionSize(1);
    QHeaderView* h = horizontalHeader();
    h->setSectionResizeMode(QHeaderView::Fixed);
    h->setMinimumSectionSize(1);
    h->setSectionsClickable(false);
    h->setHighlightSections(false);
    h->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    h->setStretchLastSection(false);
    const int px = defaultRowPixels();
    v->setDefaultSectionSize(px);
    h->setFixedHeight(px);
    // Tab leaves the grid for the next control, as it does from any other control of the window.
    setTabKeyNavigation(false);
    // Clicks on the header row reach the grid's handlers too.
    h->viewport()->installEventFilter(this);
    connect(&model_, &FlexGridModel::flushed, this, &FlexGrid::syncCurrent);
}

bool FlexGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched != horizontalHeader()->viewport())
        return QTableView::eventFilter(watched, event);
    const QEvent::Type t = event->type();
    if (t != QEvent::MouseButtonPress && t != QEvent::MouseButtonRelease && t != QEvent::MouseButtonDblClick)
        return QTableView::eventFilter(watched, event);
    // The header row is never current: its clicks reach the handlers with the current cell as it was.
    if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        clickOnCell_ = false;
        if (t == QEvent::MouseButtonPress)
            pressed_ = true;
        else if (t == QEvent::MouseButtonRelease)
            leftReleased();
        else
            leftDoubleClicked();
    }
    return true;
}

void FlexGrid::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        const int px = defaultRowPixels();
        verticalHeader()->setDefaultSectionSize(px);
        horizontalHeader()->setFixedHeight(px);
    }
}

int FlexGrid::defaultRowPixels() const {
    return fontMetrics().height() + 4;
}

void FlexGrid::checkRow(int row) const {
    if (row < 0 || row >= rows())
        vb::raise(vb::SubscriptOutOfRange);
}

void FlexGrid::checkCol(int col) const {
    if (col < 0 || col >= cols())
        vb::raise(vb::SubscriptOutOfRange);
}

void FlexGrid::setRows(int rows) {
    model_.setGridRows(rows);
    if (row_ >= rows) {
        row_ = rows - 1;
        syncCurrent();
    }
}

void FlexGrid::setCols(int cols) {
    model_.setGridCols(cols);
    colTwips_.resize(std::size_t(cols), -1);
    for (int c = 0; c < cols; ++c)
        if (colTwips_[std::size_t(c)] >= 0)
            setColWidth(c, colTwips_[std::size_t(c)]);
    col_ = std::min(col_, cols - 1);
    syncCurrent();
}

void FlexGrid::setRow(int row) {
    checkRow(row);
    if (row == row_)
        return;
    const int old = row_;
    row_ = row;
    syncCurrent();
    repaintRows(old, row);
}

void FlexGrid::repaintRows(int a, int b) {
    // The whole current row is tinted, so both the old and the new current row need painting.
    for (int r : {a, b})
        if (r >= 1 && r <= model_.shownRows())
            viewport()->update(QRect(0, rowViewportPosition(r - 1), viewport()->width(), QTableView::rowHeight(r - 1)));
}

void FlexGrid::setCol(int col) {
    checkCol(col);
    col_ = col;
    syncCurrent();
}

void FlexGrid::syncCurrent() {
    if (!selectionModel())
        return;
    if (row_ >= 1 && row_ > model_.shownRows())
        return;  // comes with the next batch of rows
    syncing_ = true;
    const QModelIndex target = row_ >= 1 ? model_.index(row_ - 1, col_) : QModelIndex();
    if (selectionModel()->currentIndex() != target)
        selectionModel()->setCurrentIndex(target, QItemSelectionModel::NoUpdate);
    syncing_ = false;
}

void FlexGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (!syncing_ && current.isValid()) {
        const int old = row_;
        row_ = current.row() + 1;
        col_ = current.column();
        if (old != row_)
            repaintRows(old, row_);
    }
}

void FlexGrid::scrollTo(const QModelIndex& index, ScrollHint hint) {
    // Making a cell current from code does not move the view, as the operator would lose their place.
    if (!syncing_)
        QTableView::scrollTo(index, hint);
}

int FlexGrid::colWidth(int col) const {
    checkCol(col);
    const int t = colTwips_[std::size_t(col)];
    return t >= 0 ? t : columnWidth(col) * TwipsPerPixel;
}

void FlexGrid::setColWidth(int col, int twips) {
    checkCol(col);
    colTwips_[std::size_t(col)] = twips;
    if (twips < 0) {
        setColumnHidden(col, false);
        setColumnWidth(col, horizontalHeader()->defaultSectionSize());
        return;
    }
    const int px = pixels(twips);
    setColumnHidden(col, px == 0);
    if (px > 0)
        setColumnWidth(col, px);
}

int FlexGrid::rowHeight(int row) const {
    checkRow(row);
    if (row == 0)
        return horizontalHeader()->maximumHeight() * TwipsPerPixel;
    if (row > model_.shownRows())
        return verticalHeader()->defaultSectionSize() * TwipsPerPixel;
    return isRowHidden(row - 1) ? 0 : QTableView::rowHeight(row - 1) * TwipsPerPixel;
}

void FlexGrid::setRowHeight(int row, int twips) {
    checkRow(row);
    if (twips < 0)
        vb::raise(vb::InvalidCall);
    const int px = pixels(twips);
    if (row == 0) {
        horizontalHeader()->setFixedHeight(px);
        return;
    }
    model_.flush();
    if (px == 0) {
        setRowHidden(row - 1, true);
        return;
    }
    setRowHidden(row - 1, false);
    if (QTableView::rowHeight(row - 1) != px)
        QTableView::setRowHeight(row - 1, px);
}

QString FlexGrid::textMatrix(int row, int col) const {
    checkRow(row);
    checkCol(col);
    return model_.cell(row, col).text;
}

void FlexGrid::setTextMatrix(int row, int col, const QString& text) {
    checkRow(row);
    checkCol(col);
    model_.setText(row, col, text);
}

void FlexGrid::setCellBackColor(quint32 colour) {
    checkRow(row_);
    checkCol(col_);
    model_.setBack(row_, col_, qRgb(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF)));
}

QColor FlexGrid::cellBackColor(int row, int col) const {
    checkRow(row);
    checkCol(col);
    const FlexGridModel::Cell& c = model_.cell(row, col);
    return c.hasBack ? QColor(c.back) : QColor();
}

void FlexGrid::setCellPicture(const QPixmap& picture) {
    checkRow(row_);
    checkCol(col_);
    model_.setPicture(row_, col_, picture);
}

QPixmap FlexGrid::cellPicture(int row, int col) const {
    checkRow(row);
    checkCol(col);
    return model_.picture(row, col);
}

QRect FlexGrid::cellRect(int row, int col) {
    checkRow(row);
    checkCol(col);
    model_.flush();
    updateGeometries();
    const int x = viewport()->x() + columnViewportPosition(col);
    const int w = isColumnHidden(col) ? 0 : columnWidth(col);
    if (row == 0)
        return QRect(x, horizontalHeader()->y(), w, horizontalHeader()->height());
    const int y = viewport()->y() + rowViewportPosition(row - 1);
    const int h = isRowHidden(row - 1) ? 0 : QTableView::rowHeight(row - 1);
    return QRect(x, y, w, h);
}

int FlexGrid::cellLeft() {
    return cellRect(row_, col_).x() * TwipsPerPixel;
}
int FlexGrid::cellTop() {
    return cellRect(row_, col_).y() * TwipsPerPixel;
}
int FlexGrid::cellWidth() {
    return cellRect(row_, col_).width() * TwipsPerPixel;
}
int FlexGrid::cellHeight() {
    return cellRect(row_, col_).height() * TwipsPerPixel;
}

void FlexGrid::mousePressEvent(QMouseEvent* event) {
    model_.flush();
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    pressed_ = true;
    // The blank area below the last row leaves the current cell as it is.
    const QModelIndex i = indexAt(event->position().toPoint());
    clickOnCell_ = i.isValid();
    if (!i.isValid())
        return;
    QTableView::mousePressEvent(event);
    if (i.row() + 1 != row_ || i.column() != col_) {
        const int old = row_;
        row_ = i.row() + 1;
        col_ = i.column();
        syncCurrent();
        repaintRows(old, row_);
    }
}

void FlexGrid::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    QTableView::mouseReleaseEvent(event);
    leftReleased();
}

void FlexGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    clickOnCell_ = indexAt(event->position().toPoint()).isValid();
    if (clickOnCell_)
        QTableView::mouseDoubleClickEvent(event);
    leftDoubleClicked();
}

void FlexGrid::leftReleased() {
    // The release that ends a double-click is no second click.
    const bool click = pressed_ && !afterDoubleClick_;
    pressed_ = false;
    afterDoubleClick_ = false;
    if (click)
        emit Click();
}

void FlexGrid::leftDoubleClicked() {
    afterDoubleClick_ = true;
    emit DblClick();
}
