#include "tabs/result_list.h"

#include <QColor>
#include <QHeaderView>
#include <QPalette>

#include "platform/clock.h"

namespace tabs {

QTableWidget* CreateReportList(QWidget* parent, int id,
                               const std::vector<std::pair<QString, int>>& columns) {
    auto* list = new QTableWidget(parent);
    list->setObjectName(QString::number(id));
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList headers;
    for (const auto& c : columns) {
        headers << c.first;
    }
    list->setHorizontalHeaderLabels(headers);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        list->setColumnWidth(i, columns[static_cast<size_t>(i)].second);
    }
    list->verticalHeader()->setVisible(false);
    list->verticalHeader()->setDefaultSectionSize(20);
    list->horizontalHeader()->setHighlightSections(false);
    list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setWordWrap(false);
    return list;
}

QTableWidget* CreateResultList(QWidget* parent, int id,
                               const std::vector<std::pair<QString, int>>& columns,
                               bool hot_tracking) {
    QTableWidget* list = CreateReportList(parent, id, columns);
    QPalette palette = list->palette();
    palette.setColor(QPalette::Text, QColor(20, 20, 255));
    list->setPalette(palette);
    if (hot_tracking) {
        list->setMouseTracking(true);
        list->setStyleSheet(
            QStringLiteral("QTableWidget::item:hover { background: palette(midlight); }"));
    }
    return list;
}

int AppendRow(QTableWidget* list, const std::vector<QString>& cells) {
    const int row = list->rowCount();
    list->insertRow(row);
    for (int col = 0; col < static_cast<int>(cells.size()) && col < list->columnCount(); ++col) {
        list->setItem(row, col, new QTableWidgetItem(cells[static_cast<size_t>(col)]));
    }
    return row;
}

int AddResultRow(QTableWidget* list, const std::vector<QString>& cells) {
    std::vector<QString> all;
    all.reserve(cells.size() + 2);
    all.push_back(QString::number(list->rowCount()));
    all.push_back(QString::fromStdString(platform::TimeStampText()));
    all.insert(all.end(), cells.begin(), cells.end());
    const int row = AppendRow(list, all);
    list->scrollToBottom();
    return row;
}

}  // namespace tabs
