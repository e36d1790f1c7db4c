// The grid's paint delegate (see GridDelegate.h): a cell's back colour, the current row's tint and the current
// cell's frame, its picture, and its text, laid out once and kept in a bounded cache.

#include "GridDelegate.h"

#include "FlexGrid.h"

#include <QHash>
#include <QPainter>
#include <QStaticText>
#include <QStyledItemDelegate>

namespace {

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

// Paints the cells of one grid, as the grid's model and current cell give them.
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

QStyledItemDelegate* newGridDelegate(FlexGrid* grid) {
    return new GridDelegate(grid);
}
