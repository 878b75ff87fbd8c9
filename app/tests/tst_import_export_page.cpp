// The import and export page against the device simulator: what each click queues, its
// messages, the stem rule checked for every device before any is marked, files the
// device record would refuse, and the exported file compared with the device's data.
#include <QCryptographicHash>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "EventLoop.h"
#include "LineEdit.h"
#include "ToolBarFrame.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "dev_connection.h"
#include "device_info_blocks.h"
#include "device_info_mng.h"
#include "device_ops_fixture.h"
#include "device_test_env.h"
#include "import_export_frame.h"

using namespace devtest;
using kvreqtest::Received;

namespace {

// Records of the given device types at the simulator, in the manager and on the page.
QList<DeviceInfo*> loadRecords(ImportExportFrame& page, uint16_t port, const QStringList& types)
{
    QList<DeviceInfo*> list;
    for (const QString& type : types) {
        auto rec = makeRecord(port);
        const QByteArray t = type.toLatin1();
        std::memset(rec->m_searchRsp.szDevType, 0, sizeof rec->m_searchRsp.szDevType);
        std::memcpy(rec->m_searchRsp.szDevType, t.constData(), size_t(t.size()));
        list << rec.release();
    }
    DeviceInfoMng::getInstance()->addDeviceInfo(list);
    page.updateTableViewAll();
    return list;
}

void check(ImportExportFrame& page, const QList<int>& rows)
{
    QAbstractItemModel* proxy = page.model()->getTableModel();
    for (int r : rows)
        page.model()->setCheckState(proxy->index(r, 0), Qt::Checked);
    // What the check-box delegate does after a click.
    page.model()->updateTableHeadCheckState();
    QCoreApplication::processEvents();
}

bool allIdle(const QList<DeviceInfo*>& list)
{
    for (DeviceInfo* r : list)
        if (r->isBusy())
            return false;
    return true;
}

bool anyText(const apptest::ModalCatcher& c, int id)
{
    return c.texts.contains(QStringLiteral("T%1").arg(id));
}

} // namespace

class ImportExportPageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void nothingChecked();
    void exportOneDeviceWritesItsData();
    void exportTwoDevicesRefused();
    void hostileExportReplies_data();
    void hostileExportReplies();
    void importStems_data();
    void importStems();
    void importFilesTheRecordWouldRefuse_data();
    void importFilesTheRecordWouldRefuse();
    void cancelledOpenDialogDoesNothing();
    void busyRecordsAreLeftOut_data();
    void busyRecordsAreLeftOut();

private:
    QTemporaryDir m_dir;
    QList<DeviceInfo*> m_records;
};

void ImportExportPageTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    appFolder();
    KVNetInit();
    KVNetSetEncription(0);
    KVSessionTimings t;
    t.retryMs = 200;
    t.connectMs = 2000;
    kvnet_set_session_timings(t);
}

void ImportExportPageTest::init()
{
    DeviceInfo::setSaveFileDialog(nullptr);
    ImportExportFrame::setOpenFileDialog(nullptr);
}

void ImportExportPageTest::cleanup()
{
    QVERIFY(waitFor([this] { return allIdle(m_records); }));
    QList<DeviceInfo*> none;
    DeviceInfoMng::getInstance()->updateDeviceInfo(none);
    m_records.clear();
}

void ImportExportPageTest::nothingChecked()
{
    ImportExportFrame page;
    m_records = loadRecords(page, 1, {"IPC-X"});
    const QString file = m_dir.filePath("IPC-X.txt");
    QVERIFY(apptest::writeFile(file, "cfg"));
    ImportExportFrame::setOpenFileDialog([&](QWidget*, const QString&) { return file; });
    for (QPushButton* b : {page.exportButton(), page.importButton()}) {
        apptest::ModalCatcher c;
        b->click();
        QCOMPARE(c.seen, 1);
        QVERIFY(anyText(c, 51));
        QVERIFY(page.jobs().isEmpty());
    }
    QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StNone));
}

void ImportExportPageTest::exportOneDeviceWritesItsData()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {"export-size=5000"}));
    ImportExportFrame page;
    m_records = loadRecords(page, sim.tcp_port(), {"IPC-X1", "IPC-X1"});
    check(page, {1});
    page.userEdit()->setText("admin");
    page.passwordEdit()->setText("admin123");
    const QString path = m_dir.filePath("exported.txt");
    QString caption, suggested;
    DeviceInfo::setSaveFileDialog([&](const QString& c, const QString& name, const QString&) {
        caption = c;
        suggested = name;
        return path;
    });
    ToolBarFrame bar;
    page.setToolBar(&bar);
    apptest::ModalCatcher c;
    page.exportButton()->click();
    // Controls and tool bar stay away while the job runs: no other page may start a job
    // on the record, no search may free it.
    QVERIFY(!page.exportButton()->isEnabled());
    QVERIFY(!page.importButton()->isEnabled());
    QVERIFY(!bar.m_pBtnSearch->isEnabled());
    QCOMPARE(page.jobs(), QList<DeviceInfo*>{m_records[1]});
    QVERIFY(waitFor([&] { return page.exportButton()->isEnabled(); }));
    QCOMPARE(m_records[1]->m_nStatus, int(DeviceInfo::StExported));
    QVERIFY(page.importButton()->isEnabled());
    QVERIFY(bar.m_pBtnSearch->isEnabled());
    QVERIFY(page.jobs().isEmpty());
    QCOMPARE(c.seen, 0);
    QCOMPARE(caption, QString("T115"));
    QCOMPARE(suggested, QString("IPC-X1.txt"));
    QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StNone));
    const QByteArray data = apptest::readFile(path);
    QCOMPARE(data.size(), 5000);
    QCOMPARE(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(), pythonExportSha(5000));
}

void ImportExportPageTest::exportTwoDevicesRefused()
{
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    ImportExportFrame page;
    m_records = loadRecords(page, sim.tcp_port(), {"A", "B", "C"});
    check(page, {0, 2});
    bool dialog = false;
    DeviceInfo::setSaveFileDialog([&](const QString&, const QString&, const QString&) {
        dialog = true;
        return QString();
    });
    apptest::ModalCatcher c;
    page.exportButton()->click();
    QCOMPARE(c.seen, 1);
    QVERIFY(anyText(c, 120));
    QVERIFY(page.jobs().isEmpty());
    QVERIFY(page.exportButton()->isEnabled());
    QTest::qWait(300);
    QVERIFY(!dialog);
    QCOMPARE(int(sim.LogLines().size()), 0); // nobody logged in
    for (DeviceInfo* r : m_records)
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StNone));
}

void ImportExportPageTest::hostileExportReplies_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("record claims more data than it has") << "export-lie=len";
    QTest::newRow("record claims a bigger size") << "export-lie=size";
    QTest::newRow("empty reply") << "export-empty";
    QTest::newRow("no right") << "export-ack=50";
}

void ImportExportPageTest::hostileExportReplies()
{
    QFETCH(QString, scenario);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {scenario.toStdString()}));
    ImportExportFrame page;
    m_records = loadRecords(page, sim.tcp_port(), {"IPC-X1"});
    check(page, {0});
    page.userEdit()->setText("admin");
    page.passwordEdit()->setText("admin123");
    const QString path = m_dir.filePath("hostile-" + QString::number(QTest::currentDataTag()[0]) + ".txt");
    DeviceInfo::setSaveFileDialog([&](const QString&, const QString&, const QString&) { return path; });
    apptest::ModalCatcher c;
    page.exportButton()->click();
    QCOMPARE(c.seen, 0);
    QVERIFY(waitFor([&] { return m_records[0]->m_nStatus == DeviceInfo::StFailed && !m_records[0]->isBusy(); }));
    QVERIFY(!QFile::exists(path));
}

void ImportExportPageTest::importStems_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("types"); // of the checked devices
    QTest::addColumn<bool>("matches");
    QTest::newRow("IPC-X.txt into IPC-X devices") << "IPC-X.txt" << QStringList{"IPC-X", "IPC-X"} << true;
    QTest::newRow("second device of another type") << "IPC-X.txt" << QStringList{"IPC-X", "NVR-9"} << false;
    QTest::newRow("case matters") << "ipc-x.txt" << QStringList{"IPC-X"} << false;
    QTest::newRow("any extension of four characters") << "IPC-X.cfg" << QStringList{"IPC-X"} << true;
    QTest::newRow("four characters: empty stem") << "abcd" << QStringList{"abcd"} << false;
    QTest::newRow("shorter name is its own stem") << "abc" << QStringList{"abc"} << true;
}

void ImportExportPageTest::importStems()
{
    QFETCH(QString, fileName);
    QFETCH(QStringList, types);
    QFETCH(bool, matches);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    QTemporaryDir dir(m_dir.filePath("stemXXXXXX"));
    const QString file = dir.filePath(fileName);
    QVERIFY(apptest::writeFile(file, QByteArray(700, 'c')));
    ImportExportFrame page;
    QStringList all = types;
    all << "unchecked";
    m_records = loadRecords(page, sim.tcp_port(), all);
    QList<int> rows;
    for (int i = 0; i < types.size(); ++i)
        rows << i;
    check(page, rows);
    page.userEdit()->setText("admin");
    page.passwordEdit()->setText("admin123");
    QString caption;
    ImportExportFrame::setOpenFileDialog([&](QWidget*, const QString& c) {
        caption = c;
        return file;
    });
    apptest::ModalCatcher c;
    page.importButton()->click();
    QCOMPARE(caption, QString("T117"));
    QCOMPARE(anyText(c, 119), !matches);
    if (!matches) {
        // Checked before any record was marked: nothing set up, nobody logged in.
        QVERIFY(page.jobs().isEmpty());
        for (DeviceInfo* r : m_records) {
            QCOMPARE(r->m_nStatus, int(DeviceInfo::StNone));
            QVERIFY(r->m_strImportPath.isEmpty());
        }
        QTest::qWait(300);
        QCOMPARE(int(sim.LogLines().size()), 0);
        return;
    }
    QCOMPARE(page.jobs().size(), types.size());
    QVERIFY(!page.importButton()->isEnabled());
    for (int i = 0; i < types.size(); ++i)
        QVERIFY(waitFor([&] { return m_records[i]->m_nStatus == DeviceInfo::StImported; }));
    // Controls back once the last device has ended.
    QVERIFY(waitFor([&] { return page.importButton()->isEnabled(); }));
    QCOMPARE(m_records.last()->m_nStatus, int(DeviceInfo::StNone));
    // Each device received the file whole.
    int records = 0;
    for (const auto& m : Received(sim, 414))
        if (bodyOf(m).size() == 40 + 700 && bodyOf(m).mid(40) == QByteArray(700, 'c'))
            ++records;
    QCOMPARE(records, types.size());
}

void ImportExportPageTest::importFilesTheRecordWouldRefuse_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("size");
    QTest::newRow("one byte over the import buffer") << "IPC-X.txt" << int(kvdev::kImportMaxData) + 1;
    QTest::newRow("stem over 32 bytes") << QString(33, 'n') + ".txt" << 10;
}

void ImportExportPageTest::importFilesTheRecordWouldRefuse()
{
    QFETCH(QString, fileName);
    QFETCH(int, size);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    const QString file = m_dir.filePath(fileName);
    QVERIFY(apptest::writeFile(file, QByteArray(size, 'z')));
    const QString stem = fileName.left(fileName.size() - 4);
    ImportExportFrame page;
    m_records = loadRecords(page, sim.tcp_port(), {stem, stem});
    check(page, {0, 1});
    ImportExportFrame::setOpenFileDialog([&](QWidget*, const QString&) { return file; });
    apptest::ModalCatcher c;
    page.importButton()->click();
    QCOMPARE(c.seen, 0);
    for (DeviceInfo* r : m_records)
        QCOMPARE(r->m_nStatus, int(DeviceInfo::StImportFailed));
    QVERIFY(page.jobs().isEmpty());
    QTest::qWait(300);
    QCOMPARE(int(sim.LogLines().size()), 0);
}

void ImportExportPageTest::cancelledOpenDialogDoesNothing()
{
    ImportExportFrame page;
    m_records = loadRecords(page, 1, {"IPC-X"});
    check(page, {0});
    for (const QString& answer : {QString(), m_dir.filePath("no-such-file.txt"), m_dir.path()}) {
        ImportExportFrame::setOpenFileDialog([&](QWidget*, const QString&) { return answer; });
        apptest::ModalCatcher c;
        page.importButton()->click();
        QCOMPARE(c.seen, 0);
        QCOMPARE(m_records[0]->m_nStatus, int(DeviceInfo::StNone));
    }
}

void ImportExportPageTest::busyRecordsAreLeftOut_data()
{
    QTest::addColumn<bool>("exporting");
    QTest::addColumn<int>("busyRows"); // of two checked for import, of one for export
    QTest::newRow("import, one of two busy") << false << 1;
    QTest::newRow("import, both busy") << false << 2;
    QTest::newRow("export of a busy device") << true << 1;
}

// A record still busy with another page's job (an upgrade keeps its record after the
// upgrade page has given its controls back) gets no second job from this page.
void ImportExportPageTest::busyRecordsAreLeftOut()
{
    QFETCH(bool, exporting);
    QFETCH(int, busyRows);
    kvtest::SimProcess sim;
    QVERIFY(startSim(sim, {}));
    const QString file = m_dir.filePath("IPC-B.txt");
    QVERIFY(apptest::writeFile(file, QByteArray(64, 'b')));
    ImportExportFrame page;
    m_records = loadRecords(page, sim.tcp_port(), {"IPC-B", "IPC-B"});
    check(page, exporting ? QList<int>{0} : QList<int>{0, 1});
    page.userEdit()->setText("admin");
    page.passwordEdit()->setText("admin123");
    // Busy as a page marks a record whose job is queued.
    for (int i = 0; i < busyRows; ++i)
        m_records[i]->m_nStatus = DeviceInfo::StWorking;
    ImportExportFrame::setOpenFileDialog([&](QWidget*, const QString&) { return file; });
    bool saved = false;
    DeviceInfo::setSaveFileDialog([&](const QString&, const QString&, const QString&) {
        saved = true;
        return QString();
    });
    apptest::ModalCatcher c;
    (exporting ? page.exportButton() : page.importButton())->click();
    QCOMPARE(c.seen, 1);
    QVERIFY(anyText(c, 151));
    const int started = (exporting ? 1 : 2) - busyRows;
    QCOMPARE(page.jobs().size(), started);
    if (started) {
        QVERIFY(page.jobs().contains(m_records[1]));
        QVERIFY(waitFor([&] { return m_records[1]->m_nStatus == DeviceInfo::StImported; }));
        QVERIFY(waitFor([&] { return page.importButton()->isEnabled(); }));
    } else {
        QVERIFY(page.importButton()->isEnabled());
        QTest::qWait(300);
        QCOMPARE(int(sim.LogLines().size()), 0);
    }
    QVERIFY(!saved);
    for (int i = 0; i < busyRows; ++i) {
        QVERIFY(m_records[i]->m_strImportPath.isEmpty());
        m_records[i]->m_nStatus = DeviceInfo::StNone;
    }
}

QTEST_MAIN(ImportExportPageTest)
#include "tst_import_export_page.moc"
