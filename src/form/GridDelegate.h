#pragma once

// How the grid paints a cell: its colour, the current row's tint and the current cell's frame, its picture, and its
// text, laid out once and kept, on the right when it looks like a number.

class FlexGrid;
class QStyledItemDelegate;

// The delegate that paints the cells of `grid`, as its model and current cell give them; the grid owns it.
QStyledItemDelegate* newGridDelegate(FlexGrid* grid);
