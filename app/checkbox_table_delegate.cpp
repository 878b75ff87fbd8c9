#include "checkbox_table_delegate.h"

#include <QApplication>
#include <QMouseEvent>

#include "checkbox_table_model.h"

bool CheckBoxTableDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                        const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event->type() != QEvent::MouseButtonPress || index.column() != m_nCheckColumn ||
        !(index.flags() & Qt::ItemIsUserCheckable))
        return false;
    auto* me = static_cast<QMouseEvent*>(event);
    if (me->button() != Qt::LeftButton)
        return false;
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    const QRect box = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, widget);
    if (!box.contains(me->pos()))
        return false;
    CheckBoxTableModel* source = CheckBoxTableModel::getProxySourceModel(model);
    if (!source)
        source = qobject_cast<CheckBoxTableModel*>(model);
    if (!source)
        return false;
    const Qt::CheckState next = source->getCheckState(index) == Qt::Checked ? Qt::Unchecked : Qt::Checked;
    source->setCheckState(index, next);
    source->updateTableHeadCheckState();
    return true;
}

void CheckBoxTableDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    if (m_nCheckColumn != -1 && index.column() == m_nCheckColumn) {
        const CheckBoxTableModel* source = CheckBoxTableModel::getProxySourceModel(index.model());
        if (!source)
            source = qobject_cast<const CheckBoxTableModel*>(index.model());
        option->features |= QStyleOptionViewItem::HasCheckIndicator;
        option->checkState = source ? Qt::CheckState(source->getCheckState(index)) : Qt::Unchecked;
    } else if (index.column() == 1) {
        option->font.setUnderline(true);
    }
    QStyledItemDelegate::initStyleOption(option, index);
}
