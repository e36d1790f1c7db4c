// The grid control (FlexGrid in FlexGrid.h): rows, columns and their sizes in twips, the current cell kept with
// the view's, cell geometry, and the clicks it reports.

#include "FlexGrid.h"

#include "GridDelegate.h"
#include "VbError.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QStyledItemDelegate>

#include <algorithm>

FlexGrid::FlexGrid(QWidget* parent) : QTableView(parent) {
    setModel(&model_);
    setItemDelegate(newGridDelegate(this));
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
    return model_.text(row, col);
}

void FlexGrid::setTextMatrix(int row, int col, const QString& text) {
    checkRow(row);
    checkCol(col);
    model_.setText(row, col, text);
}

void FlexGrid::setTextMatrixUtf8(int row, int col, QByteArrayView utf8) {
    checkRow(row);
    checkCol(col);
    model_.setTextUtf8(row, col, utf8);
}

void FlexGrid::setCellBackColor(quint32 colour) {
    checkRow(row_);
    checkCol(col_);
    model_.setBack(row_, col_, qRgb(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF)));
}

QColor FlexGrid::cellBackColor(int row, int col) const {
    checkRow(row);
    checkCol(col);
    const FlexGridModel::Cell c = model_.cell(row, col);
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
