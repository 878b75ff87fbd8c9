#include "checkbox_table_view.h"

#include <QHeaderView>

#include <QMouseEvent>
#include <QSortFilterProxyModel>
#include <QWheelEvent>

#include "checkbox_table_delegate.h"
#include "checkbox_table_headerview.h"
#include "checkbox_table_model.h"

CheckBoxTableView::CheckBoxTableView(QWidget* parent) : QTableView(parent)
{
    InitStyle();
}

void CheckBoxTableView::InitStyle()
{
    m_pHeader = new CheckBoxHeaderView(Qt::Horizontal, this);
    setHorizontalHeader(m_pHeader);
    connect(m_pHeader, &CheckBoxHeaderView::updateHeadCheckStateToModel, this,
            &CheckBoxTableView::updateHeadCheckStateToModel);
    connect(m_pHeader, &QHeaderView::sectionClicked, this, &CheckBoxTableView::sortByColumnRes);
    verticalHeader()->hide();
    m_pHeader->show();
    m_pHeader->setFixedHeight(30);
    m_pHeader->setDefaultAlignment(Qt::AlignCenter);
    m_pHeader->setStretchLastSection(true);
    m_pHeader->setSortIndicatorShown(true);
    m_pHeader->setSectionsClickable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setShowGrid(false);
    setFocusPolicy(Qt::NoFocus);
    setAlternatingRowColors(true);
    setMouseTracking(true);
}

void CheckBoxTableView::setModelAndDelegate(QAbstractItemModel* proxy, int checkColumn)
{
    m_pHeader->m_nCheckColumn = checkColumn;
    setModel(proxy);
    setItemDelegate(new CheckBoxTableDelegate(checkColumn, this));
    if (CheckBoxTableModel* source = CheckBoxTableModel::getProxySourceModel(proxy))
        connect(source, &CheckBoxTableModel::dataChangeToheader, this,
                &CheckBoxTableView::updateHeadCheckStateToDelgate);
}

int CheckBoxTableView::getHeadCheckState() const
{
    return m_pHeader ? m_pHeader->m_nHeadCheckState : 0;
}

void CheckBoxTableView::updateHeadCheckStateToModel(Qt::CheckState state)
{
    if (CheckBoxTableModel* source = CheckBoxTableModel::getProxySourceModel(model()))
        source->updateTableViewCheckState(state);
    emit headCheckChanged(state);
}

void CheckBoxTableView::updateHeadCheckStateToDelgate(Qt::CheckState state)
{
    if (!m_pHeader || m_pHeader->m_nHeadCheckState == int(state))
        return;
    m_pHeader->m_nHeadCheckState = int(state);
    m_pHeader->repaintCheckSection();
}

void CheckBoxTableView::sortByColumnRes(int column)
{
    sortByColumn(column, m_pHeader->sortIndicatorOrder());
}

void CheckBoxTableView::updateRow(int row)
{
    if (row == m_nHoverRow)
        return;
    const int old = m_nHoverRow;
    m_nHoverRow = row;
    if (CheckBoxTableModel* source = CheckBoxTableModel::getProxySourceModel(model()))
        source->setHoverRow(row);
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(model());
    for (int r : {old, row}) {
        if (r < 0 || !proxy)
            continue;
        const QModelIndex src = proxy->sourceModel()->index(r, 0);
        const int viewRow = proxy->mapFromSource(src).row();
        for (int c = 0; c < proxy->columnCount(); ++c)
            update(proxy->index(viewRow, c));
    }
}

static int sourceRowAt(const QTableView* view, const QPoint& pos, int* column)
{
    const QModelIndex idx = view->indexAt(pos);
    *column = idx.column();
    if (!idx.isValid())
        return -1;
    auto* proxy = qobject_cast<const QSortFilterProxyModel*>(idx.model());
    return proxy ? proxy->mapToSource(idx).row() : idx.row();
}

void CheckBoxTableView::mouseMoveEvent(QMouseEvent* event)
{
    int column = -1;
    const int row = sourceRowAt(this, event->pos(), &column);
    viewport()->setCursor(row >= 0 && column == 1 ? Qt::PointingHandCursor : Qt::ArrowCursor);
    updateRow(row);
    QTableView::mouseMoveEvent(event);
}

void CheckBoxTableView::wheelEvent(QWheelEvent* event)
{
    int column = -1;
    updateRow(sourceRowAt(this, event->position().toPoint(), &column));
    QTableView::wheelEvent(event);
}

void CheckBoxTableView::leaveEvent(QEvent* event)
{
    updateRow(-1);
    QTableView::leaveEvent(event);
}

void CheckBoxTableView::widenToHeaders()
{
    QHeaderView* h = horizontalHeader();
    if (!model())
        return;
    const int columns = model()->columnCount();
    for (int c = 0; c < columns; ++c) {
        if (isColumnHidden(c) || (c == columns - 1 && h->stretchLastSection()))
            continue;
        const int need = h->sectionSizeHint(c);
        if (columnWidth(c) < need)
            setColumnWidth(c, need);
    }
}
