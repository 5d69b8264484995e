// The report-style lists of the search view and the tabs.
//
// CreateReportList makes a list with grid lines and full-row selection, no editing, and the
// given column headers and widths (pixels), named by its control id. AddResultRow appends the
// row a tab reports an outcome with: column 0 the number of rows before it ("%d", the first row
// shows 0), column 1 the local time "%04d-%02d-%02d_%02d:%02d:%02d" (platform::LocalNow), then
// `cells`; the list then scrolls to its last row. UI thread only.
#pragma once

#include <QString>
#include <QTableWidget>
#include <utility>
#include <vector>

namespace tabs {

QTableWidget* CreateReportList(QWidget* parent, int id,
                               const std::vector<std::pair<QString, int>>& columns);

// A tab's result list: a report list as above whose texts are drawn in red 20, green 20, blue
// 255; with `hot_tracking` the row under the mouse is highlighted as it moves.
QTableWidget* CreateResultList(QWidget* parent, int id,
                               const std::vector<std::pair<QString, int>>& columns,
                               bool hot_tracking = false);

// Returns the new row's index.
int AddResultRow(QTableWidget* list, const std::vector<QString>& cells);

// Appends a row of plain cell texts (no number or time added); returns its index.
int AppendRow(QTableWidget* list, const std::vector<QString>& cells);

}  // namespace tabs
