#include "ui/qt/QtListWindow.h"

#include <QHeaderView>
#include <QTableWidget>

#include "ui/qt/QtText.h"

namespace qor::qt {

struct QtListWindow::State {
  QPointer<QTableWidget> table;
};

QtListWindow::QtListWindow(QWidget* parent, int id, const Rect& rect, uint32_t style,
                           ui::ListEvents& events)
    : state_(std::make_unique<State>()) {
  auto* table = new QTableWidget(parent);
  state_->table = table;
  table->setObjectName(QStringLiteral("control%1").arg(id));
  table->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
  table->setColumnCount(0);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Ctrl and Shift pick several rows, as in a list view without the single-selection style.
  table->setSelectionMode((style & style::kListSingleSel) != 0
                              ? QAbstractItemView::SingleSelection
                              : QAbstractItemView::ExtendedSelection);
  table->setSelectionBehavior(QAbstractItemView::SelectItems);
  table->setShowGrid(false);
  table->setWordWrap(false);
  table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  table->verticalHeader()->hide();
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 4);
  table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  table->horizontalHeader()->setStretchLastSection(false);
  table->horizontalHeader()->setHighlightSections(false);
  table->setFrameShape((style & style::kBorder) != 0 ? QFrame::StyledPanel : QFrame::NoFrame);
  table->setFocusPolicy((style & style::kTabStop) != 0 ? Qt::StrongFocus : Qt::NoFocus);
  table->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(table, &QWidget::customContextMenuRequested, table,
                   [table, &events](const QPoint& at) {
                     const int row = table->rowAt(at.y());
                     // A row not yet selected becomes the only one; a selection the click
                     // falls within stays, as in a list view.
                     if (row >= 0 && !table->selectionModel()->isRowSelected(row)) {
                       table->selectionModel()->setCurrentIndex(
                           table->model()->index(row, 0),
                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
                     }
                     const QPoint screen = table->viewport()->mapToGlobal(at);
                     // Nothing follows a handled click here: a Qt widget has no default
                     // handling of it to suppress.
                     static_cast<void>(events.RightClickEvent(row, {screen.x(), screen.y()}));
                   });
  if ((style & style::kVisible) != 0) table->show();
}

QtListWindow::~QtListWindow() { delete state_->table.data(); }

QTableWidget* QtListWindow::Widget() const { return state_->table; }

void QtListWindow::SetExtendedStyle(uint32_t exStyle) {
  if (!state_->table) return;
  state_->table->setShowGrid((exStyle & style::kListExGridLines) != 0);
  state_->table->setSelectionBehavior((exStyle & style::kListExFullRowSelect) != 0
                                          ? QAbstractItemView::SelectRows
                                          : QAbstractItemView::SelectItems);
}

void QtListWindow::InsertColumn(int column, const std::string& heading, int format, int width) {
  QTableWidget* table = state_->table;
  if (!table) return;
  column = std::min(column, table->columnCount());
  table->insertColumn(column);
  auto* item = new QTableWidgetItem(ToQt(heading));
  const Qt::Alignment align = format == kLvcfmtLeft ? Qt::AlignLeft : Qt::AlignRight;
  item->setTextAlignment(align | Qt::AlignVCenter);
  table->setHorizontalHeaderItem(column, item);
  table->setColumnWidth(column, width);
}

void QtListWindow::InsertItem(int row, const std::string& text) {
  QTableWidget* table = state_->table;
  if (!table) return;
  table->insertRow(row);
  for (int column = 0; column < table->columnCount(); ++column) {
    table->setItem(row, column, new QTableWidgetItem(column == 0 ? ToQt(text) : QString()));
  }
}

void QtListWindow::SetItemText(int row, int column, const std::string& text) {
  QTableWidget* table = state_->table;
  if (!table || column < 0 || column >= table->columnCount()) return;
  if (QTableWidgetItem* item = table->item(row, column)) {
    const QString value = ToQt(text);
    if (item->text() != value) item->setText(value);
  }
}

std::string QtListWindow::ItemText(int row, int column) const {
  QTableWidget* table = state_->table;
  if (!table) return {};
  const QTableWidgetItem* item = table->item(row, column);
  return item != nullptr ? FromQt(item->text()) : std::string();
}

int QtListWindow::ItemCount() const { return state_->table ? state_->table->rowCount() : 0; }

void QtListWindow::DeleteAllItems() {
  if (state_->table) state_->table->setRowCount(0);
}

void QtListWindow::AppendRows(const std::vector<std::vector<std::string>>& rows) {
  QTableWidget* table = state_->table;
  if (!table || rows.empty()) return;
  // One layout and one redraw for the whole batch, not one per row.
  table->setUpdatesEnabled(false);
  const int first = table->rowCount();
  const int columns = table->columnCount();
  table->setRowCount(first + static_cast<int>(rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) {
    for (int column = 0; column < columns; ++column) {
      const auto at = static_cast<size_t>(column);
      table->setItem(first + static_cast<int>(i), column,
                     new QTableWidgetItem(at < rows[i].size() ? ToQt(rows[i][at]) : QString()));
    }
  }
  table->setUpdatesEnabled(true);
}

}  // namespace qor::qt
