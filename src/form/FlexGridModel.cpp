// The grid's cells as a table model (FlexGridModel in FlexGrid.h): the cell texts and shared styles, the grid's
// size, and the appended rows made known to the views in batches.

#include "FlexGrid.h"

#include "VbError.h"

#include <QHash>

#include <algorithm>

namespace {

// Rows appended to the grid reach the views at most this often, in milliseconds.
constexpr int FlushInterval = 40;

}  // namespace

FlexGridModel::FlexGridModel(QObject* parent) : QAbstractTableModel(parent) {
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &FlexGridModel::flush);
    styleIndex_.insert(Style().key(), 0);
}

void FlexGridModel::dropCells(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i < textRefs_.size(); ++i)
        texts_.dropped(textRefs_[i]);
}

void FlexGridModel::setGridRows(int rows) {
    if (rows < 1)
        vb::raise(vb::InvalidCall);
    if (rows == gridRows_)
        return;
    const int data = rows - 1;
    const std::size_t cells = std::size_t(rows) * std::size_t(cols_);
    if (data == 0) {
        beginResetModel();
        textRefs_.resize(std::size_t(cols_));
        textRefs_.shrink_to_fit();
        styleRefs_.resize(std::size_t(cols_));
        styleRefs_.shrink_to_fit();
        texts_.compact(textRefs_);
        gridRows_ = 1;
        shownRows_ = 0;
        flushTimer_.stop();
        endResetModel();
    } else if (data < shownRows_) {
        beginRemoveRows({}, data, shownRows_ - 1);
        dropCells(cells, textRefs_.size());
        textRefs_.resize(cells);
        styleRefs_.resize(cells);
        gridRows_ = rows;
        shownRows_ = data;
        endRemoveRows();
    } else {
        dropCells(cells, textRefs_.size());
        textRefs_.resize(cells);
        styleRefs_.resize(cells);
        gridRows_ = rows;
        if (data > shownRows_)
            scheduleFlush();
    }
    if (texts_.wantsCompaction())
        texts_.compact(textRefs_);
}

void FlexGridModel::reserveRows(int rows) {
    if (rows > gridRows_) {
        textRefs_.reserve(std::size_t(rows) * std::size_t(cols_));
        styleRefs_.reserve(std::size_t(rows) * std::size_t(cols_));
    }
}

void FlexGridModel::setGridCols(int cols) {
    if (cols < 1)
        vb::raise(vb::InvalidCall);
    if (cols == cols_)
        return;
    beginResetModel();
    std::vector<CellTexts::Ref> texts(std::size_t(gridRows_) * std::size_t(cols));
    std::vector<quint32> styles(texts.size());
    for (int r = 0; r < gridRows_; ++r) {
        for (int c = 0; c < cols_; ++c) {
            if (c < cols) {
                texts[std::size_t(r) * std::size_t(cols) + std::size_t(c)] = textRefs_[cellSlot(r, c)];
                styles[std::size_t(r) * std::size_t(cols) + std::size_t(c)] = styleRefs_[cellSlot(r, c)];
            } else {
                texts_.dropped(textRefs_[cellSlot(r, c)]);
            }
        }
    }
    textRefs_ = std::move(texts);
    styleRefs_ = std::move(styles);
    cols_ = cols;
    shownRows_ = gridRows_ - 1;
    flushTimer_.stop();
    texts_.compact(textRefs_);
    endResetModel();
}

FlexGridModel::Cell FlexGridModel::cell(int row, int col) const {
    const Style& s = styleAt(row, col);
    return Cell{text(row, col), s.back, s.picture, s.hasBack};
}

void FlexGridModel::replaceText(std::size_t slot, CellTexts::Ref ref) {
    CellTexts::Ref& held = textRefs_[slot];
    if (held != ref)
        texts_.dropped(held);
    held = ref;
}

void FlexGridModel::setText(int row, int col, const QString& text) {
    replaceText(cellSlot(row, col), texts_.keep(text, text.isNull(), col));
    changed(row, col);
}

void FlexGridModel::setTextUtf8(int row, int col, QByteArrayView utf8) {
    replaceText(cellSlot(row, col), texts_.keepUtf8(utf8, col));
    changed(row, col);
}

quint32 FlexGridModel::styleIndex(const Style& style) {
    const quint64 key = style.key();
    auto it = styleIndex_.constFind(key);
    if (it != styleIndex_.constEnd())
        return *it;
    styles_.push_back(style);
    const auto index = quint32(styles_.size() - 1);
    styleIndex_.insert(key, index);
    return index;
}

void FlexGridModel::setBack(int row, int col, QRgb colour) {
    quint32& ref = styleRefs_[cellSlot(row, col)];
    Style s = styles_[ref];
    s.back = colour;
    s.hasBack = true;
    ref = styleIndex(s);
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
    quint32& ref = styleRefs_[cellSlot(row, col)];
    Style s = styles_[ref];
    s.picture = slot;
    ref = styleIndex(s);
    changed(row, col);
}

QPixmap FlexGridModel::picture(int row, int col) const {
    const qint16 slot = styleAt(row, col).picture;
    return slot < 0 ? QPixmap() : pictures_[std::size_t(slot)];
}

std::size_t FlexGridModel::storageBytes() const {
    return textRefs_.capacity() * sizeof(CellTexts::Ref) + styleRefs_.capacity() * sizeof(quint32) + texts_.bytes() +
           styles_.capacity() * sizeof(Style);
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
    const int row = i.row() + 1, col = i.column();
    const Style& c = styleAt(row, col);
    switch (role) {
        case Qt::DisplayRole:
            return text(row, col);
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
        return text(0, section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags FlexGridModel::flags(const QModelIndex& i) const {
    return i.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
