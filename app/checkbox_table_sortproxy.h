// Sorting and filtering of a device table: numbers as numbers, addresses in address order.
#pragma once

#include <QSortFilterProxyModel>

// a < b for address texts: valid dotted quads numerically and before every other text;
// other texts by the locale. A strict weak order, so any mix of device-supplied texts
// sorts the same way every time.
bool compareIPAddress(const QString& a, const QString& b);

class TableViewSortProxy : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit TableViewSortProxy(QObject* parent = nullptr) : QSortFilterProxyModel(parent) {}

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};
