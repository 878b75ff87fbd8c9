#include "checkbox_table_headerview.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

CheckBoxHeaderView::CheckBoxHeaderView(Qt::Orientation orientation, QWidget* parent)
    : QHeaderView(orientation, parent)
{
}

QRect CheckBoxHeaderView::checkBoxRect() const
{
    int x = 3;
    for (int i = 0; i < m_nCheckColumn; ++i)
        x += sectionSize(i);
    return QRect(x - offset(), 6, 12, 12);
}

void CheckBoxHeaderView::mousePressEvent(QMouseEvent* event)
{
    if (m_nCheckColumn >= 0 && logicalIndexAt(event->pos()) == m_nCheckColumn &&
        checkBoxRect().contains(event->pos())) {
        m_nHeadCheckState = m_nHeadCheckState == 2 ? 0 : 2;
        updateSection(m_nCheckColumn);
        emit updateHeadCheckStateToModel(m_nHeadCheckState == 2 ? Qt::Checked : Qt::Unchecked);
        return; // no sort on a click of the box
    }
    QHeaderView::mousePressEvent(event);
}

void CheckBoxHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    if (logicalIndex != m_nCheckColumn || m_nCheckColumn < 0) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    painter->save();
    const QRect box(rect.x() + 3, 6, 12, 12);
    QHeaderView::paintSection(painter, QRect(box.x() + 11, rect.y(), rect.width() - 1, rect.height()),
                              logicalIndex);
    painter->restore();
    painter->save();
    QStyleOptionButton opt;
    opt.rect = box;
    opt.state = QStyle::State_Enabled;
    opt.state |= m_nHeadCheckState == 2 ? QStyle::State_On
               : m_nHeadCheckState == 1 ? QStyle::State_NoChange : QStyle::State_Off;
    style()->drawControl(QStyle::CE_CheckBox, &opt, painter);
    painter->restore();
}
