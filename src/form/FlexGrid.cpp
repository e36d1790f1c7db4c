#include "FlexGrid.h"

#include "VbError.h"

#include <QHash>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStaticText>
#include <QStyledItemDelegate>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

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
        const FlexGridModel::Cell cell = grid_->cells().cell(row, col);
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

CellTexts::CellTexts() = default;
CellTexts::~CellTexts() = default;

namespace {

constexpr std::size_t ChunkBytes = 1 << 20;

// The UTF-8 of a text into `out` (room for three bytes a unit); false when it holds a lone surrogate.
bool toUtf8(QStringView text, char* out, std::size_t* length) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    const char16_t* p = text.utf16();
    const char16_t* end = p + text.size();
    while (p != end) {
        char32_t u = *p++;
        if (u < 0x80) {
            *o++ = (unsigned char)u;
        } else if (u < 0x800) {
            *o++ = (unsigned char)(0xC0 | (u >> 6));
            *o++ = (unsigned char)(0x80 | (u & 0x3F));
        } else if (u < 0xD800 || u > 0xDFFF) {
            *o++ = (unsigned char)(0xE0 | (u >> 12));
            *o++ = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
            *o++ = (unsigned char)(0x80 | (u & 0x3F));
        } else {
            if (u > 0xDBFF || p == end || *p < 0xDC00 || *p > 0xDFFF)
                return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (*p++ - 0xDC00);
            *o++ = (unsigned char)(0xF0 | (u >> 18));
            *o++ = (unsigned char)(0x80 | ((u >> 12) & 0x3F));
            *o++ = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
            *o++ = (unsigned char)(0x80 | (u & 0x3F));
        }
    }
    *length = std::size_t(o - reinterpret_cast<unsigned char*>(out));
    return true;
}

}  // namespace

CellTexts::Ref CellTexts::keep(QStringView text, bool null, int col) {
    if (null)
        return 0;
    // Up to three bytes of UTF-8 a unit; a short text is made on the stack.
    char small[3 * 16];
    std::unique_ptr<char[]> large;
    char* out = small;
    if (std::size_t(text.size()) > sizeof small / 3) {
        large = std::make_unique<char[]>(std::size_t(text.size()) * 3);
        out = large.get();
    }
    std::size_t length = 0;
    if (!toUtf8(text, out, &length))
        return store(text.utf16(), std::size_t(text.size()) * 2, Utf16Tag, col);
    return keepUtf8(QByteArrayView(out, qsizetype(length)), col);
}

CellTexts::Ref CellTexts::keepUtf8(QByteArrayView utf8, int col) {
    if (utf8.isNull())
        return 0;
    if (utf8.size() <= 7) {
        Ref ref = InlineTag | Ref(utf8.size()) << 56;
        for (qsizetype i = 0; i < utf8.size(); ++i)
            ref |= Ref(static_cast<unsigned char>(utf8[i])) << (8 * i);
        return ref;
    }
    return store(utf8.data(), std::size_t(utf8.size()), Utf8Tag, col);
}

CellTexts::Ref CellTexts::store(const void* data, std::size_t bytes, Ref tag, int col) {
    if (last_.size() <= std::size_t(col))
        last_.resize(std::size_t(col) + 1, 0);
    // The text last kept for the column, when it is the same, is kept once for both.
    if (const Ref last = last_[std::size_t(col)]; last != 0 && (last & (Ref(0xFF) << 56)) == tag) {
        quint32 length = 0;
        const char* kept = at(last, &length);
        if (length == bytes && std::memcmp(kept, data, bytes) == 0)
            return last;
    }
    if (bytes > std::numeric_limits<quint32>::max())
        throw std::bad_alloc();
    const std::size_t need = sizeof(quint32) + bytes;
    std::size_t chunk = 0, offset = 0;
    if (need > ChunkBytes / 4) {
        // A long text gets a chunk of its own.
        chunks_.push_back(std::make_unique<char[]>(need));
        chunkSizes_.push_back(need);
        chunk = chunks_.size() - 1;
    } else {
        if (current_ < 0 || used_ + need > ChunkBytes) {
            chunks_.push_back(std::make_unique<char[]>(ChunkBytes));
            chunkSizes_.push_back(ChunkBytes);
            current_ = int(chunks_.size() - 1);
            used_ = 0;
        }
        chunk = std::size_t(current_);
        offset = used_;
        // The next text starts two-byte aligned, for UTF-16.
        used_ += (need + 1) & ~std::size_t(1);
    }
    if (chunk >= (std::size_t(1) << 24))
        throw std::bad_alloc();
    char* p = chunks_[chunk].get() + offset;
    const auto length = quint32(bytes);
    std::memcpy(p, &length, sizeof length);
    std::memcpy(p + sizeof length, data, bytes);
    kept_ += need;
    const Ref ref = tag | Ref(chunk) << 32 | Ref(offset);
    last_[std::size_t(col)] = ref;
    return ref;
}

const char* CellTexts::at(Ref ref, quint32* length) const {
    const char* p = chunks_[std::size_t((ref >> 32) & 0xFFFFFF)].get() + std::size_t(ref & 0xFFFFFFFF);
    std::memcpy(length, p, sizeof *length);
    return p + sizeof *length;
}

QString CellTexts::text(Ref ref) const {
    if (ref == 0)
        return QString();
    const Ref tag = ref & (Ref(0xFF) << 56);
    if (tag == Utf8Tag || tag == Utf16Tag) {
        quint32 length = 0;
        const char* p = at(ref, &length);
        if (tag == Utf8Tag)
            return QString::fromUtf8(p, qsizetype(length));
        QString out(qsizetype(length / 2), Qt::Uninitialized);
        std::memcpy(out.data(), p, length);
        return out;
    }
    char bytes[8];
    const auto n = qsizetype((ref >> 56) & 0x7);
    for (qsizetype i = 0; i < n; ++i)
        bytes[i] = char((ref >> (8 * i)) & 0xFF);
    return n == 0 ? QStringLiteral("") : QString::fromUtf8(bytes, n);
}

void CellTexts::dropped(Ref ref) {
    const Ref tag = ref & (Ref(0xFF) << 56);
    if (tag != Utf8Tag && tag != Utf16Tag)
        return;
    quint32 length = 0;
    at(ref, &length);
    garbage_ += sizeof length + length;
}

bool CellTexts::wantsCompaction() const {
    return garbage_ > (std::size_t(8) << 20) && garbage_ > kept_ / 2;
}

void CellTexts::compact(std::vector<Ref>& refs) {
    CellTexts fresh;
    QHash<Ref, Ref> moved;
    for (Ref& ref : refs) {
        const Ref tag = ref & (Ref(0xFF) << 56);
        if (tag != Utf8Tag && tag != Utf16Tag)
            continue;
        auto it = moved.find(ref);
        if (it == moved.end()) {
            quint32 length = 0;
            const char* p = at(ref, &length);
            it = moved.insert(ref, fresh.store(p, length, tag, 0));
        }
        ref = *it;
    }
    chunks_ = std::move(fresh.chunks_);
    chunkSizes_ = std::move(fresh.chunkSizes_);
    used_ = fresh.used_;
    current_ = fresh.current_;
    kept_ = fresh.kept_;
    garbage_ = 0;
    last_.clear();
}

std::size_t CellTexts::bytes() const {
    std::size_t n = last_.capacity() * sizeof(Ref) + chunks_.capacity() * sizeof(void*);
    for (std::size_t s : chunkSizes_)
        n += s;
    return n;
}

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
