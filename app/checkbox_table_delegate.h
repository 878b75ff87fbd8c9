// Draws and toggles the check boxes of a device table's rows; underlines the address.
#pragma once

#include <QStyledItemDelegate>

class CheckBoxTableDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    CheckBoxTableDelegate(int checkColumn, QObject* parent = nullptr)
        : QStyledItemDelegate(parent), m_nCheckColumn(checkColumn) {}

    int m_nCheckColumn;

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
