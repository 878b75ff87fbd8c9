#include "checkbox_table_sortproxy.h"

#include "device_info_blocks.h"

bool compareIPAddress(const QString& a, const QString& b)
{
    uint32_t va = 0, vb = 0;
    const bool aValid = kvdev::dottedQuadValue(a, &va);
    const bool bValid = kvdev::dottedQuadValue(b, &vb);
    if (aValid && bValid)
        return va < vb;
    if (aValid != bValid)
        return aValid; // an address before any other text
    return QString::localeAwareCompare(a, b) < 0;
}

bool TableViewSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QVariant l = sourceModel()->data(left, Qt::DisplayRole);
    const QVariant r = sourceModel()->data(right, Qt::DisplayRole);
    if (!l.isValid() || !r.isValid())
        return false;
    switch (l.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return l.toLongLong() < r.toLongLong();
    case QMetaType::QString:
        return compareIPAddress(l.toString(), r.toString());
    default:
        return false;
    }
}
