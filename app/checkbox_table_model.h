// The device table model: one row per record, columns by table kind, check boxes kept in
// the records (one check field per table), and the proxy that sorts and filters it.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QSortFilterProxyModel>
#include <QStringList>

class DeviceInfo;
class TableViewSortProxy;

class CheckBoxTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum _ModelType { SearchModel = 0, UpgradeModel = 1, DeviceInfoModel = 2, ImportExportModel = 3 };

    CheckBoxTableModel(QObject* parent, _ModelType type, int checkColumn);
    ~CheckBoxTableModel() override;

    void InitText();

    QSortFilterProxyModel* getTableModel();
    static CheckBoxTableModel* getProxySourceModel(const QAbstractItemModel* proxy);
    static QModelIndex getSourceIndex(const QModelIndex& proxyIndex);

    void updateDeviceInfo(QList<DeviceInfo*>& list);
    void clearDeviceInfo();
    // Drops every record of the list that the model shows (the manager is replacing them).
    void releaseRecords(const QList<DeviceInfo*>& records);

    int getCheckState(const QModelIndex& proxyIndex) const;
    DeviceInfo* objectPointFromIndex(const QModelIndex& proxyIndex) const;
    void setCheckState(const QModelIndex& proxyIndex, Qt::CheckState state);
    void updateTableViewCheckState(Qt::CheckState state);
    void updateTableHeadCheckState();
    // Refreshes the record's row: dataChanged for the row (or the stored cell), never a
    // reset, so selection, current row and sort order survive.
    void updateDeviceStatus(const QModelIndex& rowIndex, bool wholeRow);
    void updateDeviceStatus(DeviceInfo* record, bool wholeRow);
    void updateFilterData();

    void setFilterCol(int column);
    void setFilterString(const QString& text);

    void setHoverRow(int row) { m_nHoverRow = row; }
    int hoverRow() const { return m_nHoverRow; }
    int checkColumn() const { return m_nCheckColumn; }
    _ModelType modelType() const { return m_eType; }
    const QList<DeviceInfo*>& allRecords() const { return m_listAll; }
    const QList<DeviceInfo*>& checkedRecords() const { return m_listChecked; }
    const QList<DeviceInfo*>& visibleRecords() const { return m_listVisible; }

    // The check field and row index of this table in a record.
    unsigned* checkField(DeviceInfo* rec) const;
    QModelIndex* rowIndexField(DeviceInfo* rec) const;

    // Edition 16 refusal of a device of another type: the tool's message box unless
    // replaced (tests).
    using TypeMismatchNotice = void (*)();
    static void setTypeMismatchNotice(TypeMismatchNotice notice);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void dataChangeToheader(Qt::CheckState state);

protected:
    void customEvent(QEvent* event) override;

private:
    QVariant displayData(DeviceInfo* rec, int row, int column) const;

    int m_nCheckColumn;
    int m_nHoverRow = -1;
    _ModelType m_eType;
    QStringList m_listHeader;
    QList<DeviceInfo*> m_listAll;
    QList<DeviceInfo*> m_listChecked;
    QList<DeviceInfo*> m_listVisible;
    TableViewSortProxy* m_pProxy = nullptr;
    QString m_strRefDevType;
    int m_nCheckedCount = 0;
    DeviceInfo* m_pRefRecord = nullptr;
    int m_nFilterCol = 0;
    QString m_strFilter;
};
