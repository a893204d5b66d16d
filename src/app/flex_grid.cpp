#include "app/flex_grid.h"

#include <QBrush>
#include <QByteArray>
#include <QFile>
#include <QHeaderView>
#include <QTableWidget>

#include "app/layout.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

// The cell's exact bytes; the display role holds them decoded for the eye.
constexpr int kBytesRole = Qt::UserRole + 1;

QColor Rgb(int rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

}  // namespace

FlexGrid::FlexGrid(QTableWidget* table) : table_(table) {
    table_->horizontalHeader()->hide();
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setWordWrap(false);
    // Tab leaves the grid for the next control instead of walking its cells.
    table_->setTabKeyNavigation(false);
    // The column is wider than the grid: a long path is reached by scrolling.
    table_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    table_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->horizontalHeader()->setMinimumSectionSize(0);
    table_->setRowCount(1);
    table_->setColumnCount(1);
    colTwips_.assign(1, table_->columnWidth(0) * layout::kTwipsPerPixel);
    fillNewCells(0, 0);
    // The current cell starts at (0, 0) without being selected: an empty list
    // shows its yellow cell, and the first move of the current cell selects.
    table_->setCurrentCell(0, 0, QItemSelectionModel::NoUpdate);
    // A click moves the current cell, as it does in a flex grid.
    followClicks_ = QObject::connect(table_, &QTableWidget::currentCellChanged, table_,
                                     [this](int row, int col, int, int) {
                                         if (row >= 0) row_ = row;
                                         if (col >= 0) col_ = col;
                                     });
}

FlexGrid::~FlexGrid() {
    QObject::disconnect(followClicks_);
}

int32_t FlexGrid::Rows() const {
    return table_->rowCount();
}

void FlexGrid::SetRows(int32_t rows) {
    if (rows < 1 || rows <= fixedRows_) {
        throw NumberedError(kErrInvalidValue,
                            "Invalid property value: Rows = " + std::to_string(rows));
    }
    const int32_t old = Rows();
    table_->setRowCount(rows);
    if (row_ >= rows) row_ = rows - 1;
    fillNewCells(old, Cols());
}

int32_t FlexGrid::Cols() const {
    return table_->columnCount();
}

void FlexGrid::SetCols(int32_t cols) {
    if (cols < 1) {
        throw NumberedError(kErrInvalidValue,
                            "Invalid property value: Cols = " + std::to_string(cols));
    }
    const int32_t defaultTwips =
        table_->horizontalHeader()->defaultSectionSize() * layout::kTwipsPerPixel;
    colTwips_.resize(static_cast<size_t>(cols), defaultTwips);
    const int32_t old = Cols();
    table_->setColumnCount(cols);
    if (col_ >= cols) col_ = cols - 1;
    fillNewCells(Rows(), old);
}

void FlexGrid::SetFixedRows(int32_t fixedRows) {
    if (fixedRows < 0 || fixedRows >= Rows()) {
        throw NumberedError(kErrInvalidValue,
                            "Invalid property value: FixedRows = " + std::to_string(fixedRows));
    }
    fixedRows_ = fixedRows;
}

int32_t FlexGrid::Row() const {
    return row_;
}

void FlexGrid::SetRow(int32_t row) {
    if (row < 0 || row >= Rows()) {
        throw NumberedError(kErrInvalidRow, "Invalid Row value: " + std::to_string(row));
    }
    row_ = row;
    table_->setCurrentCell(row_, col_);
}

int32_t FlexGrid::Col() const {
    return col_;
}

void FlexGrid::SetCol(int32_t col) {
    checkCol(col);
    col_ = col;
    table_->setCurrentCell(row_, col_);
}

std::string FlexGrid::Text() const {
    return TextMatrix(row_, col_);
}

std::string FlexGrid::TextMatrix(int32_t row, int32_t col) const {
    if (row < 0 || row >= Rows()) {
        throw NumberedError(kErrInvalidRow, "Invalid Row value: " + std::to_string(row));
    }
    checkCol(col);
    const QTableWidgetItem* item = table_->item(row, col);
    if (!item) return {};
    const QByteArray bytes = item->data(kBytesRole).toByteArray();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void FlexGrid::SetText(const std::string& text) {
    QTableWidgetItem* item = table_->item(row_, col_);
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    item->setData(kBytesRole, bytes);
    item->setText(QFile::decodeName(bytes));
    // A path wider than the grid can be read whole here as well as by scrolling.
    item->setToolTip(item->text());
}

int32_t FlexGrid::ColWidth(int32_t col) const {
    checkCol(col);
    return colTwips_[static_cast<size_t>(col)];
}

void FlexGrid::SetColWidth(int32_t col, int32_t twips) {
    checkCol(col);
    if (twips < 0) {
        throw NumberedError(kErrInvalidValue,
                            "Invalid property value: ColWidth = " + std::to_string(twips));
    }
    colTwips_[static_cast<size_t>(col)] = twips;
    table_->setColumnWidth(col, layout::Px(twips));
}

void FlexGrid::Clear() {
    for (int r = 0; r < Rows(); ++r) {
        for (int c = 0; c < Cols(); ++c) {
            QTableWidgetItem* item = table_->item(r, c);
            item->setData(kBytesRole, QByteArray());
            item->setText(QString());
            item->setToolTip(QString());
        }
    }
}

void FlexGrid::fillNewCells(int32_t fromRow, int32_t fromCol) {
    const QBrush cell(Rgb(layout::kGridCell));
    // The text is fixed to go with the fixed yellow, so no theme can make it
    // light on light.
    const QBrush text(Rgb(layout::kGridCellText));
    auto fill = [&](int r, int c) {
        if (table_->item(r, c)) return;
        auto* item = new QTableWidgetItem();
        item->setBackground(cell);
        item->setForeground(text);
        item->setData(kBytesRole, QByteArray());
        table_->setItem(r, c, item);
    };
    for (int r = 0; r < fromRow && r < Rows(); ++r) {
        for (int c = fromCol; c < Cols(); ++c) fill(r, c);
    }
    for (int r = fromRow; r < Rows(); ++r) {
        for (int c = 0; c < Cols(); ++c) fill(r, c);
    }
}

void FlexGrid::checkCol(int32_t col) const {
    if (col < 0 || col >= Cols()) {
        throw NumberedError(kErrInvalidCol, "Invalid Col value: " + std::to_string(col));
    }
}

}  // namespace qm::app
