// Random search records (as a device or a malformed reply may deliver them) through the
// device record's getters and every column of the four device tables, sorted by each
// column and filtered by the record's own texts. Input: up to 448 bytes of record; a
// byte after them selects the ONVIF flag and the edition.
#include <QApplication>
#include <QRegExp>
#include <QSortFilterProxyModel>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "KVAppSetting.h"
#include "Singleton.h"
#include "checkbox_table_model.h"
#include "checkbox_table_sortproxy.h"
#include "device_info.h"
#include "device_info_blocks.h"

namespace {

QApplication* g_app = nullptr;
CheckBoxTableModel* g_models[4];
DeviceInfo* g_fixed = nullptr;

SearchDevRsp fixedRecord()
{
    SearchDevRsp r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.szIP, "10.0.0.2");
    std::strcpy(r.szDevType, "IPC");
    r.nMediaPort = 80;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_app = new QApplication(*argc, *argv);
    for (int t = 0; t < 4; ++t)
        g_models[t] = new CheckBoxTableModel(nullptr, CheckBoxTableModel::_ModelType(t), t == 0 ? -1 : 0);
    g_fixed = new DeviceInfo;
    const SearchDevRsp r = fixedRecord();
    g_fixed->updateDeviceInfo(&r, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SearchDevRsp rsp;
    std::memset(&rsp, 0, sizeof rsp);
    std::memcpy(&rsp, data, size < sizeof rsp ? size : sizeof rsp);
    const uint8_t extra = size > sizeof rsp ? data[sizeof rsp] : 0;
    Singleton<KVAppSetting>::getInstance()->m_nCompany = (extra & 2) ? 7 : ((extra & 4) ? 16 : 0);

    DeviceInfo rec;
    rec.updateDeviceInfo(&rsp, extra & 1);
    rec.m_nStatus = int(int8_t(extra)) % 30;
    rec.m_nProgress = int(extra) * 3;
    volatile size_t sink = 0;
    sink += size_t(rec.getStatus().size() + rec.getNetworkModeString().size() + rec.getDevP2PID().size() +
                   rec.getChannelNum() + rec.startMatchVersionNum().size());
    rec.updateSearchIPInfo(QString(), 0, 0, QString(), QString(), extra);
    const KVNetSetNewDevInfoExParam req = kvdev::buildReaddressRequest(rec.m_searchRsp, kvdev::ReaddressInput());
    sink += req.nMediaPort;
    sink += kvdev::exportRecordValid(data, unsigned(size));
    uint8_t quad[4];
    sink += kvdev::parseDottedQuad(reinterpret_cast<const char*>(data), size, quad);

    QList<DeviceInfo*> list{&rec, g_fixed, &rec};
    for (CheckBoxTableModel* m : g_models) {
        m->updateDeviceInfo(list);
        QSortFilterProxyModel* proxy = m->getTableModel();
        for (int c = 0; c < m->columnCount(); ++c) {
            for (int r = 0; r < m->rowCount(); ++r) {
                const QModelIndex idx = m->index(r, c);
                sink += size_t(m->data(idx).toString().size());
                m->data(idx, Qt::BackgroundRole);
                m->flags(idx);
            }
            proxy->sort(c, (c & 1) ? Qt::DescendingOrder : Qt::AscendingOrder);
        }
        m->setFilterCol(1);
        m->setFilterString(rec.ipText());
        m->updateTableViewCheckState(Qt::Checked);
        m->setCheckState(proxy->index(0, 0), Qt::Unchecked);
        m->updateTableHeadCheckState();
        m->updateDeviceStatus(&rec, true);
        m->setFilterString(QString());
        m->clearDeviceInfo();
    }
    sink += compareIPAddress(rec.ipText(), rec.devTypeText());
    (void)sink;
    return 0;
}
