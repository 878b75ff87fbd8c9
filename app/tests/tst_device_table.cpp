// The device tables: columns of the four kinds, sorting (addresses numerically, numbers
// as numbers, a total order over any texts), filtering, the row and header check boxes,
// row refresh without a reset, the model checker on every kind, and the list manager
// letting models go of records it replaces.
#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>
#include <algorithm>
#include <cstring>
#include <memory>

#include "checkbox_table_delegate.h"
#include "checkbox_table_headerview.h"
#include "checkbox_table_model.h"
#include "checkbox_table_sortproxy.h"
#include "checkbox_table_view.h"
#include "device_info.h"
#include "device_info_mng.h"
#include "device_shell_access.h"
#include "device_test_env.h"

namespace {

std::unique_ptr<DeviceInfo> record(const char* ip, uint32_t port, const char* type = "IPC-X1", int ch = 1)
{
    SearchDevRsp r;
    std::memset(&r, 0, sizeof r);
    std::strncpy(r.szIP, ip, sizeof r.szIP);
    std::strcpy(r.szMask, "255.255.255.0");
    std::strcpy(r.szDevType, type);
    std::strcpy(r.szMac, "00-4B-56-00-00-01");
    std::strcpy(r.szVersion, "V1");
    r.nMediaPort = port;
    r.nWebPort = 80;
    r.nChannelCount = uint32_t(ch);
    auto rec = std::make_unique<DeviceInfo>();
    rec->updateDeviceInfo(&r, false);
    return rec;
}

struct Table {
    std::vector<std::unique_ptr<DeviceInfo>> owned;
    QList<DeviceInfo*> list;
    std::unique_ptr<CheckBoxTableModel> model;
    QSortFilterProxyModel* proxy = nullptr;

    Table(CheckBoxTableModel::_ModelType type, const std::vector<std::pair<const char*, uint32_t>>& rows,
          int checkColumn = 0)
    {
        for (const auto& row : rows) {
            owned.push_back(record(row.first, row.second));
            list << owned.back().get();
        }
        model = std::make_unique<CheckBoxTableModel>(nullptr, type, checkColumn);
        proxy = model->getTableModel();
        model->updateDeviceInfo(list);
    }
    ~Table() { model.reset(); }
    QStringList column(int c) const
    {
        QStringList out;
        for (int r = 0; r < proxy->rowCount(); ++r)
            out << proxy->index(r, c).data().toString();
        return out;
    }
};

int g_typeNotices = 0;

} // namespace

class DeviceTableTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qRegisterMetaType<Qt::CheckState>();
        devtest::appFolder();
    }
    void columns_data();
    void columns();
    void addressSortAndReverse();
    void portsSortAsNumbers();
    void comparatorIsAStrictWeakOrder();
    void filterThenHeaderCheck();
    void filterHidingNothingKeepsModelOrder();
    void checkAllAfterANewListKeepsTheFilter_data();
    void checkAllAfterANewListKeepsTheFilter();
    void headerBoxCycles();
    void rowChecksReachAllChecked();
    void noCheckColumnIgnoresHeaderPress();
    void delegateTogglesOnTheIndicatorOnly();
    void rowRefreshKeepsSelectionAndSort();
    void modelTesterOnEveryKind_data();
    void modelTesterOnEveryKind();
    void invalidIndexes();
    void managerFreesIdleAndRetiresBusy();
    void editionTypeCheckNeedsShell();
    void languageChangeReloadsHeaders();
};

void DeviceTableTest::columns_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QList<int>>("headerIds");
    QTest::newRow("search") << 0 << QList<int>{31, 32, 33, 42, 34, 60, 35, 36, 37, 38, 39, 43, 127, 44};
    QTest::newRow("upgrade") << 1 << QList<int>{31, 32, 33, 34, 60, 36, 44, 142, 145};
    QTest::newRow("device information") << 2 << QList<int>{31, 32, 33, 34, 39, 44};
    QTest::newRow("import and export") << 3 << QList<int>{31, 32, 33, 34, 60, 36, 44};
}

void DeviceTableTest::columns()
{
    QFETCH(int, type);
    QFETCH(QList<int>, headerIds);
    Table t(CheckBoxTableModel::_ModelType(type), {{"198.51.100.7", 6001}});
    QCOMPARE(t.model->columnCount(), headerIds.size());
    for (int c = 0; c < headerIds.size(); ++c)
        QCOMPARE(t.model->headerData(c, Qt::Horizontal).toString(), QString("T%1").arg(headerIds[c]));
    DeviceInfo* rec = t.list[0];
    rec->m_nStatus = DeviceInfo::StDone;
    const QModelIndex row0 = t.model->index(0, 0);
    QCOMPARE(row0.data().toInt(), 1);
    QCOMPARE(t.model->index(0, 1).data().toString(), QString("198.51.100.7"));
    QCOMPARE(t.model->index(0, 2).data().toInt(), 6001);
    // The status column is where the header says.
    const int statusCol = headerIds.indexOf(44);
    QCOMPARE(t.model->index(0, statusCol).data().toString(), QString("T20"));
    // The last column's index is remembered in the record for this table.
    const QModelIndex last = t.model->index(0, headerIds.size() - 1);
    QCOMPARE(*t.model->rowIndexField(rec), last);
    QCOMPARE(t.model->index(0, 1).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 82, 198));
    QCOMPARE(t.model->index(0, 1).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
}

void DeviceTableTest::addressSortAndReverse()
{
    Table t(CheckBoxTableModel::SearchModel,
            {{"192.168.0.1", 1}, {"10.0.0.10", 2}, {"camera", 3}, {"10.0.0.2", 4}, {"", 5}});
    t.proxy->sort(1, Qt::AscendingOrder);
    QCOMPARE(t.column(1), (QStringList{"10.0.0.2", "10.0.0.10", "192.168.0.1", "", "camera"}));
    t.proxy->sort(1, Qt::DescendingOrder);
    QCOMPARE(t.column(1), (QStringList{"camera", "", "192.168.0.1", "10.0.0.10", "10.0.0.2"}));
    // Row numbers travel with their rows.
    QCOMPARE(t.column(0), (QStringList{"3", "5", "1", "2", "4"}));
}

void DeviceTableTest::portsSortAsNumbers()
{
    Table t(CheckBoxTableModel::SearchModel, {{"10.0.0.1", 8000}, {"10.0.0.2", 80}, {"10.0.0.3", 554}});
    t.proxy->sort(2, Qt::AscendingOrder);
    QCOMPARE(t.column(2), (QStringList{"80", "554", "8000"}));
}

void DeviceTableTest::comparatorIsAStrictWeakOrder()
{
    // Random mixes of addresses, near-addresses and junk, as devices may send them.
    QRandomGenerator rng(20261211);
    const QStringList junk = {"", " ", "camera", "Camera", "10.0.0", "10.0.0.1 ", "1.2.3.4.5", "256.1.1.1",
                              "01.2.3.4", "0x10.0.0.1", QString::fromUtf8("\xc3\xa9t\xc3\xa9"), "zz", "-",
                              "10.0.0.1\n", QString::fromUtf8("\xe6\x91\x84\xe5\x83\x8f")};
    for (int round = 0; round < 200; ++round) {
        QStringList v;
        for (int i = 0; i < 24; ++i) {
            if (rng.bounded(2))
                v << QString("%1.%2.%3.%4").arg(rng.bounded(3) * 100).arg(rng.bounded(256)).arg(rng.bounded(3)).arg(rng.bounded(256));
            else
                v << junk[int(rng.bounded(junk.size()))];
        }
        for (const QString& a : v) {
            QVERIFY2(!compareIPAddress(a, a), qPrintable("irreflexive: " + a));
            for (const QString& b : v) {
                const bool ab = compareIPAddress(a, b);
                if (ab)
                    QVERIFY2(!compareIPAddress(b, a), qPrintable("asymmetric: " + a + " / " + b));
                const bool eqAB = !ab && !compareIPAddress(b, a);
                for (const QString& c : v) {
                    if (ab && compareIPAddress(b, c))
                        QVERIFY2(compareIPAddress(a, c), qPrintable("transitive: " + a + " " + b + " " + c));
                    // Equivalence is transitive too.
                    if (eqAB && !compareIPAddress(b, c) && !compareIPAddress(c, b))
                        QVERIFY(!compareIPAddress(a, c) && !compareIPAddress(c, a));
                }
            }
        }
        // std::sort with it leaves a sorted sequence (it would misbehave on a broken order).
        std::sort(v.begin(), v.end(), compareIPAddress);
        QVERIFY(std::is_sorted(v.begin(), v.end(), compareIPAddress));
    }
    // A valid address is never less than a non-address text, and comes first.
    QVERIFY(compareIPAddress("255.255.255.255", "0"));
    QVERIFY(!compareIPAddress("0", "255.255.255.255"));
}

void DeviceTableTest::filterThenHeaderCheck()
{
    Table t(CheckBoxTableModel::SearchModel,
            {{"192.168.0.9", 1}, {"10.0.0.1", 2}, {"192.168.0.3", 3}, {"172.16.0.1", 4}});
    t.proxy->sort(1, Qt::AscendingOrder);
    t.model->setFilterCol(1);
    t.model->setFilterString("192.168");
    QCOMPARE(t.proxy->rowCount(), 2);
    QCOMPARE(t.model->visibleRecords(), (QList<DeviceInfo*>{t.list[2], t.list[0]}));
    QSignalSpy reset(t.model.get(), &QAbstractItemModel::modelReset);
    t.model->updateTableViewCheckState(Qt::Checked);
    QCOMPARE(t.model->checkedRecords(), (QList<DeviceInfo*>{t.list[2], t.list[0]}));
    QCOMPARE(t.list[1]->m_nSearchCheck, 0u);
    QCOMPARE(t.list[3]->m_nSearchCheck, 0u);
    QCOMPARE(t.list[0]->m_nSearchCheck, 2u);
    // Other tables' checks are separate fields.
    QCOMPARE(t.list[0]->m_nUpgradeCheck, 0u);
}

void DeviceTableTest::filterHidingNothingKeepsModelOrder()
{
    Table t(CheckBoxTableModel::SearchModel, {{"192.168.0.9", 1}, {"10.0.0.1", 2}, {"192.168.0.3", 3}});
    t.proxy->sort(1, Qt::AscendingOrder);
    t.model->setFilterCol(1);
    t.model->setFilterString(".");
    QCOMPARE(t.model->visibleRecords(), t.list);
}

void DeviceTableTest::checkAllAfterANewListKeepsTheFilter_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("clearedFirst"); // the pages clear the model before reloading it
    QTest::newRow("search table") << int(CheckBoxTableModel::SearchModel) << true;
    QTest::newRow("upgrade table") << int(CheckBoxTableModel::UpgradeModel) << true;
    QTest::newRow("device information table") << int(CheckBoxTableModel::DeviceInfoModel) << true;
    QTest::newRow("import and export table, reloaded without a clear")
        << int(CheckBoxTableModel::ImportExportModel) << false;
}

// A filter typed before a search still hides rows of the new list: "check all" reaches
// only the rows on screen.
void DeviceTableTest::checkAllAfterANewListKeepsTheFilter()
{
    QFETCH(int, type);
    QFETCH(bool, clearedFirst);
    Table t(CheckBoxTableModel::_ModelType(type), {{"192.168.0.9", 1}, {"10.0.0.1", 2}});
    t.model->setFilterCol(1);
    t.model->setFilterString("192.168");
    std::vector<std::unique_ptr<DeviceInfo>> fresh;
    QList<DeviceInfo*> next;
    for (const char* ip : {"10.0.0.7", "192.168.0.4", "172.16.0.1", "192.168.0.5"}) {
        fresh.push_back(record(ip, 9));
        next << fresh.back().get();
    }
    if (clearedFirst)
        t.model->clearDeviceInfo();
    t.model->updateDeviceInfo(next);
    QCOMPARE(t.proxy->rowCount(), 2);
    QCOMPARE(t.model->visibleRecords().size(), 2);
    QSignalSpy head(t.model.get(), &CheckBoxTableModel::dataChangeToheader);
    t.model->updateTableViewCheckState(Qt::Checked);
    t.model->updateTableHeadCheckState();
    QCOMPARE(t.model->checkedRecords(), (QList<DeviceInfo*>{next[1], next[3]}));
    for (DeviceInfo* hidden : {next[0], next[2]})
        QCOMPARE(*t.model->checkField(hidden), 0u);
    QCOMPARE(head.last().at(0).value<Qt::CheckState>(), Qt::Checked);
    t.model->clearDeviceInfo();
}

void DeviceTableTest::headerBoxCycles()
{
    Table t(CheckBoxTableModel::SearchModel, {{"10.0.0.1", 1}, {"10.0.0.2", 2}, {"10.0.0.3", 3}});
    CheckBoxTableView view;
    view.resize(900, 300);
    view.setModelAndDelegate(t.proxy, 0);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QSignalSpy spy(&view, &CheckBoxTableView::headCheckChanged);
    // Some rows checked: the header shows state 1.
    t.model->setCheckState(t.proxy->index(0, 0), Qt::Checked);
    t.model->updateTableHeadCheckState();
    QCOMPARE(view.getHeadCheckState(), 1);
    CheckBoxHeaderView* header = view.headerView();
    const QPoint box = header->checkBoxRect().center();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, box);
    QCOMPARE(view.getHeadCheckState(), 2);
    QCOMPARE(t.model->checkedRecords().size(), 3);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, box);
    QCOMPARE(view.getHeadCheckState(), 0);
    QCOMPARE(t.model->checkedRecords().size(), 0);
    for (DeviceInfo* r : t.list)
        QCOMPARE(r->m_nSearchCheck, 0u);
    QCOMPARE(spy.count(), 2);
    // A click beside the box sorts instead.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionSize(0) + 20, 10));
    QCOMPARE(view.getHeadCheckState(), 0);
    QCOMPARE(spy.count(), 2);
}

void DeviceTableTest::rowChecksReachAllChecked()
{
    Table t(CheckBoxTableModel::UpgradeModel, {{"10.0.0.1", 1}, {"10.0.0.2", 2}});
    QSignalSpy head(t.model.get(), &CheckBoxTableModel::dataChangeToheader);
    for (int r = 0; r < 2; ++r) {
        t.model->setCheckState(t.proxy->index(r, 0), Qt::Checked);
        t.model->updateTableHeadCheckState();
    }
    QCOMPARE(head.count(), 2);
    QCOMPARE(head.at(0).at(0).value<Qt::CheckState>(), Qt::PartiallyChecked);
    QCOMPARE(head.at(1).at(0).value<Qt::CheckState>(), Qt::Checked);
    QCOMPARE(t.list[0]->m_nUpgradeCheck, 2u);
}

void DeviceTableTest::noCheckColumnIgnoresHeaderPress()
{
    Table t(CheckBoxTableModel::SearchModel, {{"10.0.0.1", 1}}, -1);
    CheckBoxTableView view;
    view.resize(600, 200);
    view.setModelAndDelegate(t.proxy, -1);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QSignalSpy spy(&view, &CheckBoxTableView::headCheckChanged);
    QTest::mouseClick(view.headerView()->viewport(), Qt::LeftButton, {}, QPoint(8, 12));
    QCOMPARE(spy.count(), 0);
    QVERIFY(!(t.model->flags(t.model->index(0, 0)) & Qt::ItemIsUserCheckable));
}

void DeviceTableTest::delegateTogglesOnTheIndicatorOnly()
{
    Table t(CheckBoxTableModel::DeviceInfoModel, {{"10.0.0.1", 1}, {"10.0.0.2", 2}});
    CheckBoxTableView view;
    view.resize(900, 300);
    view.setModelAndDelegate(t.proxy, 0);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QModelIndex idx = t.proxy->index(1, 0);
    QStyleOptionViewItem opt;
    opt.initFrom(&view);
    opt.rect = view.visualRect(idx);
    opt.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = view.style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, &view);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(opt.rect.right() - 2, opt.rect.center().y()));
    QCOMPARE(t.list[1]->m_nDevInfoCheck, 0u);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, box.center());
    QCOMPARE(t.list[1]->m_nDevInfoCheck, 2u);
    QCOMPARE(view.getHeadCheckState(), 1);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, box.center());
    QCOMPARE(t.list[1]->m_nDevInfoCheck, 0u);
    QCOMPARE(view.getHeadCheckState(), 0);
}

void DeviceTableTest::rowRefreshKeepsSelectionAndSort()
{
    Table t(CheckBoxTableModel::SearchModel, {{"10.0.0.3", 1}, {"10.0.0.1", 2}, {"10.0.0.2", 3}});
    CheckBoxTableView view;
    view.setModelAndDelegate(t.proxy, 0);
    view.sortByColumn(1, Qt::AscendingOrder);
    view.resize(1400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view)); // painting creates the rows' indexes
    view.selectRow(1); // 10.0.0.2
    QSignalSpy reset(t.model.get(), &QAbstractItemModel::modelReset);
    QSignalSpy changed(t.model.get(), &QAbstractItemModel::dataChanged);
    DeviceInfo* rec = t.list[2];
    rec->m_nStatus = DeviceInfo::StDone;
    t.model->updateDeviceStatus(rec->m_searchIndex, true);
    QCOMPARE(reset.count(), 0);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), t.model->index(2, 0));
    QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), t.model->index(2, 13));
    QCOMPARE(view.selectionModel()->selectedRows().value(0).data(Qt::DisplayRole).toInt(), 3);
    QCOMPARE(t.proxy->index(1, 13).data().toString(), QString("T20"));
    // An address change re-sorts the row at once (dynamic sort) and the selection follows.
    std::strcpy(rec->m_searchRsp.szIP, "10.0.0.9");
    t.model->updateDeviceStatus(rec, true);
    QCOMPARE(t.column(1), (QStringList{"10.0.0.1", "10.0.0.3", "10.0.0.9"}));
    QCOMPARE(view.selectionModel()->selectedRows().value(0).row(), 2);
    // A stale row index (older list) refreshes nothing wrong.
    QList<DeviceInfo*> fewer{t.list[0]};
    t.model->updateDeviceInfo(fewer);
    changed.clear();
    t.model->updateDeviceStatus(rec->m_searchIndex, true);
    QCOMPARE(changed.count(), 0);
}

void DeviceTableTest::modelTesterOnEveryKind_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("checkColumn");
    QTest::newRow("search") << 0 << 0;
    QTest::newRow("search, no checks") << 0 << -1;
    QTest::newRow("upgrade") << 1 << 0;
    QTest::newRow("device information") << 2 << 0;
    QTest::newRow("import and export") << 3 << 0;
}

void DeviceTableTest::modelTesterOnEveryKind()
{
    QFETCH(int, type);
    QFETCH(int, checkColumn);
    Table t(CheckBoxTableModel::_ModelType(type), {{"10.0.0.3", 1}, {"x", 2}, {"10.0.0.2", 3}}, checkColumn);
    QAbstractItemModelTester modelTester(t.model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    QAbstractItemModelTester proxyTester(t.proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    t.proxy->sort(1);
    t.model->setFilterCol(1);
    t.model->setFilterString("10");
    t.model->updateTableViewCheckState(Qt::Checked);
    t.model->setCheckState(t.proxy->index(0, 0), Qt::Unchecked);
    t.model->updateTableHeadCheckState();
    t.list[0]->m_nStatus = 12;
    t.list[0]->m_nProgress = 37;
    t.model->updateDeviceStatus(t.list[0], true);
    t.model->updateDeviceStatus(t.list[0], false);
    t.model->setFilterString("");
    QList<DeviceInfo*> one{t.list[1]};
    t.model->updateDeviceInfo(one);
    t.model->clearDeviceInfo();
    t.model->updateDeviceInfo(t.list);
    QCoreApplication::postEvent(t.model.get(), new QEvent(QEvent::Type(1005)));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(t.model->rowCount(), 3);
}

void DeviceTableTest::invalidIndexes()
{
    Table t(CheckBoxTableModel::SearchModel, {{"10.0.0.1", 1}});
    QCOMPARE(t.model->objectPointFromIndex(QModelIndex()), nullptr);
    QCOMPARE(t.model->getCheckState(QModelIndex()), 0);
    QCOMPARE(t.model->flags(QModelIndex()), Qt::NoItemFlags);
    QVERIFY(!t.model->data(QModelIndex()).isValid());
    QVERIFY(!t.model->index(1, 0).isValid());
    QVERIFY(!t.model->index(0, 14).isValid());
    QVERIFY(!t.model->index(0, 0, t.model->index(0, 0)).isValid());
    QCOMPARE(t.model->headerData(-1, Qt::Horizontal).toString(), QString());
    QVERIFY(!t.model->headerData(14, Qt::Horizontal).isValid());
    QCOMPARE(CheckBoxTableModel::getSourceIndex(QModelIndex()), QModelIndex());
    QCOMPARE(CheckBoxTableModel::getProxySourceModel(nullptr), nullptr);
    t.model->setCheckState(QModelIndex(), Qt::Checked); // nothing to check, no crash
}

void DeviceTableTest::managerFreesIdleAndRetiresBusy()
{
    DeviceInfoMng* mng = DeviceInfoMng::getInstance();
    QList<DeviceInfo*> empty;
    mng->updateDeviceInfo(empty);
    auto* idle = record("10.0.0.1", 1).release();
    auto* busy = record("10.0.0.2", 2).release();
    busy->m_nStatus = DeviceInfo::StWorking; // a queued job
    QList<DeviceInfo*> list{idle, busy};
    mng->addDeviceInfo(list);
    CheckBoxTableModel model(nullptr, CheckBoxTableModel::UpgradeModel, 0);
    model.updateDeviceInfo(list);
    QSignalSpy idleGone(idle, &QObject::destroyed);
    QSignalSpy busyGone(busy, &QObject::destroyed);
    mng->updateDeviceInfo(empty);
    // The model let go in the same step; the idle record is gone, the busy one kept.
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(idleGone.count(), 1);
    QCOMPARE(busyGone.count(), 0);
    QVERIFY(busy->m_bRetired);
    QCOMPARE(mng->retired(), (QList<DeviceInfo*>{busy}));
    // clearDevStatus touches only the current list.
    mng->clearDevStatus();
    QCOMPARE(busy->m_nStatus, int(DeviceInfo::StWorking));
    // Its job ends: the record reports and is then freed.
    QCoreApplication::postEvent(busy, new QConnectEvent(101)); // stale: no job started
    busy->m_nStatus = DeviceInfo::StDone;
    QCoreApplication::postEvent(busy, new QConnectEvent(2));
    QTRY_COMPARE(busyGone.count(), 1);
    QVERIFY(mng->retired().isEmpty());
}

void DeviceTableTest::editionTypeCheckNeedsShell()
{
    CheckBoxTableModel::setTypeMismatchNotice([] { ++g_typeNotices; });
    KVAppSetting* settings = Singleton<KVAppSetting>::getInstance();
    struct Case {
        int edition;
        int model;
        bool refused;
    } cases[] = {{0, 3, false}, {16, 0, false}, {16, 3, true}};
    for (const Case& c : cases) {
        settings->m_nCompany = c.edition;
        g_typeNotices = 0;
        Table t(CheckBoxTableModel::_ModelType(c.model), {{"10.0.0.1", 1}, {"10.0.0.2", 2}, {"10.0.0.3", 3}});
        std::strcpy(t.list[1]->m_searchRsp.szDevType, "NVR-Y");
        t.model->setCheckState(t.proxy->index(0, 0), Qt::Checked);  // type A: the reference
        t.model->setCheckState(t.proxy->index(1, 0), Qt::Checked);  // type B
        t.model->setCheckState(t.proxy->index(2, 0), Qt::Checked);  // type A again
        unsigned* b = t.model->checkField(t.list[1]);
        QCOMPARE(*b, c.refused ? 0u : 2u);
        QCOMPARE(g_typeNotices, c.refused ? 1 : 0);
        QCOMPARE(*t.model->checkField(t.list[2]), 2u);
        if (c.refused) {
            // Once the reference is unchecked, another type may become the reference.
            t.model->setCheckState(t.proxy->index(0, 0), Qt::Unchecked);
            t.model->setCheckState(t.proxy->index(2, 0), Qt::Unchecked);
            t.model->setCheckState(t.proxy->index(1, 0), Qt::Checked);
            QCOMPARE(*b, 2u);
        }
    }
    settings->m_nCompany = 0;
    CheckBoxTableModel::setTypeMismatchNotice(nullptr);
}

void DeviceTableTest::languageChangeReloadsHeaders()
{
    Table t(CheckBoxTableModel::DeviceInfoModel, {{"10.0.0.1", 1}});
    QSignalSpy reset(t.model.get(), &QAbstractItemModel::modelReset);
    QCoreApplication::postEvent(t.model.get(), new QEvent(QEvent::Type(1005)));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(reset.count(), 1);
    QCOMPARE(t.model->headerData(5, Qt::Horizontal).toString(), QString("T44"));
}

QTEST_MAIN(DeviceTableTest)
#include "tst_device_table.moc"
