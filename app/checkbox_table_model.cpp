#include "checkbox_table_model.h"

#include <QBrush>
#include <QColor>
#include <QEvent>
#include <QRegExp>

#include "checkbox_table_sortproxy.h"
#include "device_info.h"
#include "device_info_mng.h"
#include "device_shell_access.h"

namespace {

// Header text IDs by model type, in column order.
const QList<int>& headerIds(CheckBoxTableModel::_ModelType type)
{
    static const QList<int> search = {31, 32, 33, 42, 34, 60, 35, 36, 37, 38, 39, 43, 127, 44};
    static const QList<int> upgrade = {31, 32, 33, 34, 60, 36, 44, 142, 145};
    static const QList<int> devInfo = {31, 32, 33, 34, 39, 44};
    static const QList<int> importExport = {31, 32, 33, 34, 60, 36, 44};
    switch (type) {
    case CheckBoxTableModel::SearchModel: return search;
    case CheckBoxTableModel::UpgradeModel: return upgrade;
    case CheckBoxTableModel::DeviceInfoModel: return devInfo;
    default: return importExport;
    }
}

CheckBoxTableModel::TypeMismatchNotice g_typeNotice = nullptr;

} // namespace

CheckBoxTableModel::CheckBoxTableModel(QObject* parent, _ModelType type, int checkColumn)
    : QAbstractTableModel(parent), m_nCheckColumn(checkColumn), m_eType(type)
{
    InitText();
    DeviceInfoMng::getInstance()->registerModel(this);
}

CheckBoxTableModel::~CheckBoxTableModel()
{
    DeviceInfoMng::getInstance()->unregisterModel(this);
    kvshell::popWindowObject(this);
}

void CheckBoxTableModel::InitText()
{
    kvshell::pushWindowObject(this);
    m_listHeader.clear();
    for (int id : headerIds(m_eType))
        m_listHeader << kvshell::text(id);
}

void CheckBoxTableModel::customEvent(QEvent* event)
{
    if (event->type() != QEvent::Type(1005))
        return;
    beginResetModel();
    InitText();
    endResetModel();
}

QSortFilterProxyModel* CheckBoxTableModel::getTableModel()
{
    if (!m_pProxy) {
        m_pProxy = new TableViewSortProxy(QObject::parent());
        m_pProxy->setSourceModel(this);
        m_pProxy->setDynamicSortFilter(true);
        // A proxy without a parent follows the model.
        if (!QObject::parent())
            m_pProxy->setParent(this);
    }
    return m_pProxy;
}

CheckBoxTableModel* CheckBoxTableModel::getProxySourceModel(const QAbstractItemModel* proxy)
{
    auto* p = qobject_cast<const QSortFilterProxyModel*>(proxy);
    return p ? qobject_cast<CheckBoxTableModel*>(p->sourceModel()) : nullptr;
}

QModelIndex CheckBoxTableModel::getSourceIndex(const QModelIndex& proxyIndex)
{
    auto* p = qobject_cast<const QSortFilterProxyModel*>(proxyIndex.model());
    if (!p)
        return proxyIndex.model() ? proxyIndex : QModelIndex();
    return p->mapToSource(proxyIndex);
}

unsigned* CheckBoxTableModel::checkField(DeviceInfo* rec) const
{
    switch (m_eType) {
    case SearchModel: return &rec->m_nSearchCheck;
    case UpgradeModel: return &rec->m_nUpgradeCheck;
    case DeviceInfoModel: return &rec->m_nDevInfoCheck;
    default: return &rec->m_nImportCheck;
    }
}

QModelIndex* CheckBoxTableModel::rowIndexField(DeviceInfo* rec) const
{
    switch (m_eType) {
    case SearchModel: return &rec->m_searchIndex;
    case UpgradeModel: return &rec->m_upgradeIndex;
    case DeviceInfoModel: return &rec->m_devInfoIndex;
    default: return &rec->m_importIndex;
    }
}

void CheckBoxTableModel::updateDeviceInfo(QList<DeviceInfo*>& list)
{
    beginResetModel();
    m_listAll = list;
    m_listChecked.clear();
    endResetModel();
    // The filter typed before the search still hides rows: "check all" must not reach them.
    if (m_pProxy)
        updateFilterData();
    else
        m_listVisible = m_listAll;
}

void CheckBoxTableModel::clearDeviceInfo()
{
    m_nCheckedCount = 0;
    m_pRefRecord = nullptr;
    m_strRefDevType.clear();
    beginResetModel();
    m_listAll.clear();
    endResetModel();
    m_listVisible.clear();
    m_listChecked.clear();
    emit dataChangeToheader(Qt::Unchecked);
}

void CheckBoxTableModel::releaseRecords(const QList<DeviceInfo*>& records)
{
    bool any = false;
    for (DeviceInfo* rec : records)
        if (m_listAll.contains(rec) || m_pRefRecord == rec)
            any = true;
    if (any)
        clearDeviceInfo();
}

int CheckBoxTableModel::getCheckState(const QModelIndex& proxyIndex) const
{
    DeviceInfo* rec = objectPointFromIndex(proxyIndex);
    return rec ? int(*checkField(rec)) : 0;
}

DeviceInfo* CheckBoxTableModel::objectPointFromIndex(const QModelIndex& proxyIndex) const
{
    if (!proxyIndex.isValid())
        return nullptr;
    const QModelIndex src = getSourceIndex(proxyIndex);
    if (!src.isValid() || src.model() != this)
        return nullptr;
    return static_cast<DeviceInfo*>(src.internalPointer());
}

void CheckBoxTableModel::setTypeMismatchNotice(TypeMismatchNotice notice)
{
    g_typeNotice = notice;
}

void CheckBoxTableModel::setCheckState(const QModelIndex& proxyIndex, Qt::CheckState state)
{
    DeviceInfo* rec = objectPointFromIndex(proxyIndex);
    if (rec && m_eType == ImportExportModel && kvshell::editionCode() == 16) {
        if (m_nCheckedCount == 0 || !m_pRefRecord || *checkField(m_pRefRecord) != Qt::Checked) {
            m_nCheckedCount = 1;
            m_pRefRecord = rec;
            m_strRefDevType = rec->devTypeText();
        } else if (state == Qt::Unchecked) {
            --m_nCheckedCount;
        } else if (state == Qt::Checked && m_nCheckedCount > 0 && rec->devTypeText() != m_strRefDevType) {
            if (g_typeNotice)
                g_typeNotice();
            else
                kvshell::showTypeMismatchMessage();
            return;
        }
    }
    if (!rec)
        return;
    *checkField(rec) = unsigned(state);
    const int row = m_listAll.indexOf(rec);
    if (row >= 0 && m_nCheckColumn >= 0) {
        const QModelIndex cell = index(row, m_nCheckColumn);
        emit dataChanged(cell, cell, {Qt::CheckStateRole});
    }
}

void CheckBoxTableModel::updateTableViewCheckState(Qt::CheckState state)
{
    m_listChecked.clear();
    for (DeviceInfo* rec : m_listVisible)
        *checkField(rec) = unsigned(state);
    if (state == Qt::Checked)
        m_listChecked = m_listVisible;
    beginResetModel();
    endResetModel();
}

void CheckBoxTableModel::updateTableHeadCheckState()
{
    m_listChecked.clear();
    for (DeviceInfo* rec : m_listVisible)
        if (*checkField(rec) == Qt::Checked)
            m_listChecked.append(rec);
    Qt::CheckState head = Qt::PartiallyChecked;
    if (m_listChecked.isEmpty() || m_listVisible.isEmpty())
        head = Qt::Unchecked;
    else if (m_listChecked.size() == m_listVisible.size())
        head = Qt::Checked;
    emit dataChangeToheader(head);
}

void CheckBoxTableModel::updateDeviceStatus(const QModelIndex& rowIndex, bool wholeRow)
{
    if (!rowIndex.isValid())
        return;
    // The stored index may be older than the list; trust the record it carries.
    auto* rec = static_cast<DeviceInfo*>(rowIndex.internalPointer());
    const int row = m_listAll.indexOf(rec);
    if (row < 0)
        return;
    const int last = columnCount() - 1;
    const int column = qBound(0, rowIndex.column(), last);
    emit dataChanged(index(row, wholeRow ? 0 : column), index(row, wholeRow ? last : column));
}

void CheckBoxTableModel::updateDeviceStatus(DeviceInfo* record, bool wholeRow)
{
    const int row = m_listAll.indexOf(record);
    if (row < 0)
        return;
    const int last = columnCount() - 1;
    emit dataChanged(index(row, wholeRow ? 0 : last), index(row, last));
}

void CheckBoxTableModel::updateFilterData()
{
    m_listVisible.clear();
    if (!m_pProxy)
        return;
    if (m_pProxy->rowCount() == rowCount()) {
        m_listVisible = m_listAll;
        return;
    }
    for (int r = 0; r < m_pProxy->rowCount(); ++r)
        if (DeviceInfo* rec = objectPointFromIndex(m_pProxy->index(r, 0)))
            m_listVisible.append(rec);
}

void CheckBoxTableModel::setFilterCol(int column)
{
    if (column == m_nFilterCol)
        return;
    m_nFilterCol = column;
    getTableModel()->setFilterKeyColumn(column);
    updateFilterData();
}

void CheckBoxTableModel::setFilterString(const QString& text)
{
    if (text == m_strFilter || !m_pProxy)
        return;
    m_strFilter = text;
    m_pProxy->setFilterRegExp(QRegExp(text, Qt::CaseInsensitive, QRegExp::RegExp));
    updateFilterData();
}

QModelIndex CheckBoxTableModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || row >= m_listAll.size() || column >= columnCount())
        return QModelIndex();
    DeviceInfo* rec = m_listAll.at(row);
    const QModelIndex idx = createIndex(row, column, rec);
    if (column == columnCount() - 1)
        *rowIndexField(rec) = idx;
    return idx;
}

int CheckBoxTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_listAll.size();
}

int CheckBoxTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_listHeader.size();
}

QVariant CheckBoxTableModel::displayData(DeviceInfo* rec, int row, int column) const
{
    switch (column) {
    case 0: return row + 1;
    case 1: return rec->ipText();
    case 2: return int(rec->m_searchRsp.nMediaPort);
    default: break;
    }
    if (m_eType == SearchModel) {
        switch (column) {
        case 3: return int(rec->m_searchRsp.nWebPort);
        case 4: return rec->getChannelNum();
        case 5:
            if (kvshell::editionCode() == 7 && rec->getChannelNum() == 1)
                return rec->devType2Text();
            return rec->devTypeText();
        case 6: return rec->devNameText();
        case 7: return rec->versionText();
        case 8: return rec->maskText();
        case 9: return rec->gatewayText();
        case 10: return rec->macText();
        case 11: return rec->getNetworkModeString();
        case 12: return rec->getDevP2PID();
        case 13: return rec->getStatus();
        default: return QVariant();
        }
    }
    if (m_eType == DeviceInfoModel) {
        switch (column) {
        case 3: return rec->getChannelNum();
        case 4: return rec->macText();
        case 5: return rec->getStatus();
        default: return QVariant();
        }
    }
    // Upgrade and import-export tables share their first columns.
    switch (column) {
    case 3: return rec->getChannelNum();
    case 4: return rec->devTypeText();
    case 5: return rec->versionText();
    case 6: return rec->getStatus();
    case 7: return m_eType == UpgradeModel ? QVariant(rec->m_strQueriedVersion) : QVariant();
    case 8: return m_eType == UpgradeModel ? QVariant(rec->startMatchVersionNum()) : QVariant();
    default: return QVariant();
    }
}

QVariant CheckBoxTableModel::data(const QModelIndex& idx, int role) const
{
    if (!idx.isValid() || idx.model() != this || idx.row() >= m_listAll.size())
        return QVariant();
    DeviceInfo* rec = m_listAll.at(idx.row());
    switch (role) {
    case Qt::DisplayRole: return displayData(rec, idx.row(), idx.column());
    case Qt::TextAlignmentRole: return int(Qt::AlignCenter);
    case Qt::BackgroundRole:
        return idx.row() == m_nHoverRow ? QVariant(QBrush(QColor(181, 196, 211))) : QVariant();
    case Qt::ForegroundRole: return idx.column() == 1 ? QVariant(QColor(0, 82, 198)) : QVariant();
    default: return QVariant();
    }
}

QVariant CheckBoxTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    Q_UNUSED(orientation);
    if (role != Qt::DisplayRole || section >= m_listHeader.size())
        return QVariant();
    return section < 0 ? QString() : m_listHeader.at(section);
}

Qt::ItemFlags CheckBoxTableModel::flags(const QModelIndex& idx) const
{
    if (!idx.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsEnabled;
    if (idx.column() == m_nCheckColumn)
        f |= Qt::ItemIsUserCheckable;
    return f;
}
