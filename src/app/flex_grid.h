// FlexGrid: the members of a flex grid the source list uses, over a
// QTableWidget. The table shows no headers and cannot be edited; each cell
// keeps its text as the exact bytes it was given (a file name need not be
// valid UTF-8) and shows them decoded.
//
// Errors are the grid's run-time errors: a current cell outside the grid
// raises 30009 (row) or 30010 (column); an impossible shape raises 380.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTableWidget;

namespace qm::app {

inline constexpr int kErrInvalidRow = 30009;
inline constexpr int kErrInvalidCol = 30010;

class FlexGrid {
  public:
    // REQUIRES: table outlives the adapter. Sets the table to one empty cell.
    explicit FlexGrid(QTableWidget* table);
    ~FlexGrid();
    FlexGrid(const FlexGrid&) = delete;
    FlexGrid& operator=(const FlexGrid&) = delete;

    int32_t Rows() const;
    void SetRows(int32_t rows);  // REQUIRES: rows >= 1 and rows > FixedRows
    int32_t Cols() const;
    void SetCols(int32_t cols);  // REQUIRES: cols >= 1
    int32_t FixedRows() const { return fixedRows_; }
    void SetFixedRows(int32_t fixedRows);  // REQUIRES: 0 <= fixedRows < Rows

    // The current cell; moving it selects the cell, as a user's click does.
    int32_t Row() const;
    void SetRow(int32_t row);
    int32_t Col() const;
    void SetCol(int32_t col);

    // Moves the current cell as SetRow then SetCol do (the same checks, the
    // same Row, Col and Text after), but the table shows it selected and
    // scrolled into view only at ShowCurrentCell, or else at the next event
    // processing: a run that moves the cell thousands of times a second pays
    // for the table once a frame, not once a move.
    void MoveCurrentCell(int32_t row, int32_t col);
    void ShowCurrentCell();

    // The current cell's text.
    std::string Text() const;
    void SetText(const std::string& text);
    // Any cell's text, without moving the current cell.
    std::string TextMatrix(int32_t row, int32_t col) const;

    // Column width in twips, as last set (the table shows it in pixels).
    int32_t ColWidth(int32_t col) const;
    void SetColWidth(int32_t col, int32_t twips);

    // Erases the text of every cell; the numbers of rows and columns stay.
    void Clear();

    QTableWidget* widget() const { return table_; }

  private:
    // Gives every cell at or after row `fromRow`, and every cell at or after
    // column `fromCol` in earlier rows, its item.
    void fillNewCells(int32_t fromRow, int32_t fromCol);
    void checkCol(int32_t col) const;

    QTableWidget* table_;
    int32_t fixedRows_ = 0;
    int32_t row_ = 0;
    int32_t col_ = 0;
    std::vector<int32_t> colTwips_;
    QMetaObject::Connection followClicks_;
    bool tableBehind_ = false;  // the table's current cell is not (row_, col_) yet
    // Receives the queued ShowCurrentCell; gone with the adapter, so is the call.
    std::unique_ptr<QObject> showLater_;
};

}  // namespace qm::app
