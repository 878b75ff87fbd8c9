// The device record without a device: getters and status texts over synthetic search
// records (texts that fill their fields without a NUL among them), setters, and the
// bytes of the re-addressing request and the parameter blocks.
#include <QtTest>
#include <cstring>

#include "device_info.h"
#include "device_info_blocks.h"
#include "device_shell_access.h"
#include "device_test_env.h"

Q_DECLARE_METATYPE(SearchDevRsp)

namespace {

SearchDevRsp baseRecord()
{
    SearchDevRsp r;
    std::memset(&r, 0, sizeof r);
    std::strcpy(r.szIP, "198.51.100.64");
    std::strcpy(r.szMask, "255.255.255.0");
    std::strcpy(r.szGateway, "198.51.100.254");
    std::strcpy(r.szExtraAddr1, "203.0.113.7");
    std::strcpy(r.szExtraAddr2, "junk");
    r.nMediaPort = 6001;
    r.nWebPort = 80;
    r.nNetMode = 2;
    std::strcpy(r.szDevName, "cam-a");
    for (int i = 0; i < 8; ++i)
        r.carry[i] = uint8_t(0xA0 + i);
    std::strcpy(r.szVersion, "V1.2.3");
    std::strcpy(r.szDevType, "IPC-X1");
    std::strcpy(r.szMac, "00-4B-56-00-00-01");
    r.nChannelCount = 16;
    std::strcpy(r.szP2PID, "KV0123456789");
    std::strcpy(r.szDevType2, "IPC-ONE");
    r.nChannelCount8 = 0;
    return r;
}

// A record whose every text field is full: no NUL anywhere in it.
SearchDevRsp fullRecord()
{
    SearchDevRsp r;
    std::memset(&r, 'Z', sizeof r);
    return r;
}

} // namespace

class DeviceRecordTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { devtest::appFolder(); }
    void textsStayInTheirFields();
    void channelCount_data();
    void channelCount();
    void p2pId_data();
    void p2pId();
    void networkMode_data();
    void networkMode();
    void statusTexts_data();
    void statusTexts();
    void versionMatch_data();
    void versionMatch();
    void onvifRecordLosesDeviceOnlyBytes();
    void setterDefaults();
    void dottedQuad_data();
    void dottedQuad();
    void readdressRequestBytes();
    void readdressLongCredentialsCut();
    void keyBoardBlock_data();
    void keyBoardBlock();
    void restoreAndOnvifBlocks();
    void importNameAndExportChecks();
    void jobFunctionsIgnoreNull();
    void everyTextIdInEveryLanguage();
};

void DeviceRecordTest::textsStayInTheirFields()
{
    DeviceInfo rec;
    SearchDevRsp r = fullRecord();
    rec.updateDeviceInfo(&r, false);
    // Each text is exactly its field's width, never running into the next field.
    QCOMPARE(rec.ipText(), QString(52, 'Z'));
    QCOMPARE(rec.maskText(), QString(16, 'Z'));
    QCOMPARE(rec.gatewayText(), QString(16, 'Z'));
    QCOMPARE(rec.devNameText(), QString(28, 'Z'));
    QCOMPARE(rec.versionText(), QString(40, 'Z'));
    QCOMPARE(rec.devTypeText(), QString(36, 'Z'));
    QCOMPARE(rec.macText(), QString(36, 'Z'));
    QCOMPARE(rec.getDevP2PID(), QString(38, 'Z'));
    QCOMPARE(rec.devType2Text(), QString(34, 'Z'));
    // Latin-1: byte 0xE9 is U+00E9.
    r = baseRecord();
    r.szDevType[0] = char(0xE9);
    rec.updateDeviceInfo(&r, false);
    QCOMPARE(rec.devTypeText(), QString::fromUtf8("\xc3\xa9PC-X1"));
}

void DeviceRecordTest::channelCount_data()
{
    QTest::addColumn<int>("byteCount");
    QTest::addColumn<uint>("wordCount");
    QTest::addColumn<int>("expected");
    QTest::newRow("byte 0 -> word") << 0 << 16u << 16;
    QTest::newRow("byte -1 -> word") << -1 << 16u << 16;
    QTest::newRow("byte 4") << 4 << 16u << 4;
    QTest::newRow("byte 127") << 127 << 1u << 127;
    QTest::newRow("byte -128 -> word 0") << -128 << 0u << 0;
}

void DeviceRecordTest::channelCount()
{
    QFETCH(int, byteCount);
    QFETCH(uint, wordCount);
    QFETCH(int, expected);
    SearchDevRsp r = baseRecord();
    r.nChannelCount8 = int8_t(byteCount);
    r.nChannelCount = wordCount;
    DeviceInfo rec;
    rec.updateDeviceInfo(&r, false);
    QCOMPARE(rec.getChannelNum(), expected);
}

void DeviceRecordTest::p2pId_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("expected");
    QTest::newRow("letter") << QByteArray("KV01") << "KV01";
    QTest::newRow("digit") << QByteArray("9abc") << "9abc";
    QTest::newRow("hyphen") << QByteArray("-abc") << "";
    QTest::newRow("space") << QByteArray(" abc") << "";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("high byte") << QByteArray("\xc4" "abc") << "";
}

void DeviceRecordTest::p2pId()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, expected);
    SearchDevRsp r = baseRecord();
    std::memset(r.szP2PID, 0, sizeof r.szP2PID);
    std::memcpy(r.szP2PID, field.constData(), size_t(field.size()));
    DeviceInfo rec;
    rec.updateDeviceInfo(&r, false);
    QCOMPARE(rec.getDevP2PID(), expected);
}

void DeviceRecordTest::networkMode_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<int>("textId");
    QTest::newRow("dhcp") << 0u << 56;
    QTest::newRow("1") << 1u << 57;
    QTest::newRow("fixed") << 2u << 58;
    QTest::newRow("3") << 3u << 55;
    QTest::newRow("huge") << 0xFFFFFFFFu << 55;
}

void DeviceRecordTest::networkMode()
{
    QFETCH(uint, mode);
    QFETCH(int, textId);
    SearchDevRsp r = baseRecord();
    r.nNetMode = mode;
    DeviceInfo rec;
    rec.updateDeviceInfo(&r, false);
    QCOMPARE(rec.getNetworkModeString(), QString("T%1").arg(textId));
}

void DeviceRecordTest::statusTexts_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("textId"); // -1: empty text
    const int ids[] = {15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30,
                       121, 122, 123, 124, 140, 141};
    QTest::newRow("-1") << -1 << -1;
    for (int s = 0; s <= 21; ++s)
        if (s != 12)
            QTest::newRow(qPrintable(QString::number(s))) << s << ids[s];
    QTest::newRow("22") << 22 << -1;
    QTest::newRow("-2") << -2 << -1;
    QTest::newRow("1000") << 1000 << -1;
}

void DeviceRecordTest::statusTexts()
{
    QFETCH(int, status);
    QFETCH(int, textId);
    DeviceInfo rec;
    rec.m_nStatus = status;
    QCOMPARE(rec.getStatus(), textId < 0 ? QString() : QString("T%1").arg(textId));
    // Status 12 shows the progress right after its text.
    rec.m_nStatus = 12;
    rec.m_nProgress = 37;
    QCOMPARE(rec.getStatus(), QString("T2737"));
}

void DeviceRecordTest::versionMatch_data()
{
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("queried");
    QTest::addColumn<int>("textId");
    QTest::newRow("equal") << "V1.2" << "V1.2" << 146;
    QTest::newRow("case differs") << "v1.2" << "V1.2" << 147;
    QTest::newRow("differs") << "V1.3" << "V1.2" << 147;
    QTest::newRow("no wanted") << "" << "V1.2" << -1;
    QTest::newRow("no queried") << "V1.2" << "" << -1;
}

void DeviceRecordTest::versionMatch()
{
    QFETCH(QString, wanted);
    QFETCH(QString, queried);
    QFETCH(int, textId);
    DeviceInfo rec;
    rec.m_strWantedVersion = wanted;
    rec.m_strQueriedVersion = queried;
    QCOMPARE(rec.startMatchVersionNum(), textId < 0 ? QString() : QString("T%1").arg(textId));
}

void DeviceRecordTest::onvifRecordLosesDeviceOnlyBytes()
{
    SearchDevRsp r = fullRecord();
    std::strcpy(r.szIP, "198.51.100.9");
    r.nNetMode = 0;
    r.nMediaPort = 9999;
    DeviceInfo rec;
    rec.updateDeviceInfo(&r, true);
    QVERIFY(rec.m_bOnvif);
    QCOMPARE(rec.getNetworkModeString(), QString("T58"));
    QCOMPARE(rec.m_searchRsp.nMediaPort, 0u);
    QCOMPARE(rec.getDevP2PID(), QString());
    QCOMPARE(rec.devType2Text(), QString());
    const auto* bytes = reinterpret_cast<const uint8_t*>(&rec.m_searchRsp);
    for (size_t i = 0x11A; i < sizeof(SearchDevRsp); ++i)
        QCOMPARE(int(bytes[i]), 0);
    // The rest is the device's.
    QCOMPARE(rec.devTypeText(), QString(36, 'Z'));
    QCOMPARE(rec.m_searchRsp.nChannelCount, 0x5A5A5A5Au);
}

void DeviceRecordTest::setterDefaults()
{
    DeviceInfo rec;
    QCOMPARE(rec.m_nStatus, -1);
    QCOMPARE(rec.m_nProgress, -1);
    QCOMPARE(rec.m_nNewNetMode, 2u);
    QCOMPARE(rec.m_strUser, QString("quoll"));
    QCOMPARE(rec.m_strPassword, QString("quoll"));
    rec.updateUserAndPassword("bob", "pw");
    QCOMPARE(rec.m_strUser, QString("bob"));
    rec.updateUserAndPassword("", "");
    QCOMPARE(rec.m_strUser, kvshell::defaultUser());
    QCOMPARE(rec.m_strPassword, kvshell::defaultPassword());

    SearchDevRsp r = baseRecord();
    rec.updateDeviceInfo(&r, false);
    rec.updateSearchIPInfo("", 0, 0, "", "", 0);
    QCOMPARE(rec.m_strNewIP, QString("198.51.100.64"));
    QCOMPARE(int(rec.m_nNewMediaPort), 6001);
    QCOMPARE(int(rec.m_nNewWebPort), 80);
    QCOMPARE(rec.m_strNewGateway, QString("198.51.100.254"));
    QCOMPARE(rec.m_strNewNetmask, QString("255.255.255.0"));
    QCOMPARE(rec.m_nNewNetMode, 0u);
    rec.updateSearchIPInfo("203.0.113.5", 7000, 8080, "203.0.113.1", "255.255.0.0", 2);
    QCOMPARE(rec.m_strNewIP, QString("203.0.113.5"));
    QCOMPARE(int(rec.m_nNewMediaPort), 7000);
    QCOMPARE(int(rec.m_nNewWebPort), 8080);
}

void DeviceRecordTest::dottedQuad_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("value");
    QTest::newRow("plain") << "10.0.0.2" << true << 0x0A000002u;
    QTest::newRow("max") << "255.255.255.255" << true << 0xFFFFFFFFu;
    QTest::newRow("zero") << "0.0.0.0" << true << 0u;
    QTest::newRow("256") << "192.168.1.300" << false << 0u;
    QTest::newRow("leading zero") << "10.0.0.02" << false << 0u;
    QTest::newRow("three parts") << "10.0.0" << false << 0u;
    QTest::newRow("five parts") << "10.0.0.1.2" << false << 0u;
    QTest::newRow("double dot") << "10..0.1" << false << 0u;
    QTest::newRow("space after") << "10.0.0.1 " << false << 0u;
    QTest::newRow("space before") << " 10.0.0.1" << false << 0u;
    QTest::newRow("sign") << "+10.0.0.1" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
    QTest::newRow("hex") << "0x1.0.0.1" << false << 0u;
    QTest::newRow("long digits") << "1000000000000.0.0.1" << false << 0u;
    QTest::newRow("non-latin") << QString::fromUtf8("1\xd9\xa1.0.0.1") << false << 0u;
}

void DeviceRecordTest::dottedQuad()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(uint, value);
    uint8_t b[4] = {9, 9, 9, 9};
    QCOMPARE(kvdev::parseDottedQuad(text, b), ok);
    const uint32_t got = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    QCOMPARE(got, value);
}

static QByteArray bytesOf(const void* p, size_t n)
{
    return QByteArray(static_cast<const char*>(p), int(n));
}

void DeviceRecordTest::readdressRequestBytes()
{
    const SearchDevRsp r = baseRecord();
    kvdev::ReaddressInput in;
    in.user = "admin";
    in.password = "pw";
    in.newIP = "192.168.1.300"; // does not parse: 0.0.0.0
    in.newMask = "255.255.0.0";
    in.newGateway = "203.0.113.1";
    in.mediaPort = 7000;
    in.webPort = 8080;
    in.netMode = 0x102; // only the low byte goes out
    const KVNetSetNewDevInfoExParam p = kvdev::buildReaddressRequest(r, in);
    QByteArray want(744, '\0');
    want.replace(0, 2, "12");
    want.replace(16, 5, "admin");
    want.replace(80, 2, "pw");
    const char cur[] = {char(198), 51, 100, 64, 0, 0, 0, 0, char(255), char(255), 0, 0,
                        char(203), 0, 113, 1, char(203), 0, 113, 7, 0, 0, 0, 0};
    want.replace(144, 24, QByteArray(cur, 24));
    want.replace(168, 36, bytesOf(r.szMac, 36));
    want.replace(208, 8, bytesOf(r.carry, 8));
    const char ports[] = {char(0x58), char(0x1B), 0, 0, char(0x90), char(0x1F), 0, 0, 2, 1, 0, 0};
    want.replace(216, 12, QByteArray(ports, 12));
    QCOMPARE(bytesOf(&p, sizeof p).toHex(), want.toHex());
}

void DeviceRecordTest::readdressLongCredentialsCut()
{
    const SearchDevRsp r = baseRecord();
    kvdev::ReaddressInput in;
    in.user = QString(70, 'u');
    in.password = QString(64, 'p');
    const KVNetSetNewDevInfoExParam p = kvdev::buildReaddressRequest(r, in);
    QCOMPARE(bytesOf(p.szUser, 64), QByteArray(63, 'u') + '\0');
    QCOMPARE(bytesOf(p.szPwd, 64), QByteArray(63, 'p') + '\0');
}

void DeviceRecordTest::keyBoardBlock_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("board");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("keyValue");
    QTest::addColumn<QByteArray>("boardBytes");
    QTest::newRow("0x1A2B, empty board") << "0x1A2B" << "" << true << 0x1A2Bu << QByteArray(16, '\0');
    QTest::newRow("trimmed, no prefix") << "  ff  " << " B1 " << true << 0xFFu
                                        << QByteArray("B1").leftJustified(16, '\0');
    QTest::newRow("board of 16 fills") << "" << "0123456789ABCDEF" << true << 0u
                                       << QByteArray("0123456789ABCDEF");
    QTest::newRow("not hex") << "0xZZ" << "b" << true << 0u << QByteArray("b").leftJustified(16, '\0');
    QTest::newRow("above 32 bits") << "0x100000000" << "b" << true << 0u
                                   << QByteArray("b").leftJustified(16, '\0');
    QTest::newRow("max") << "0XFFFFFFFF" << "b" << true << 0xFFFFFFFFu << QByteArray("b").leftJustified(16, '\0');
    QTest::newRow("signed") << "-1" << "b" << true << 0u << QByteArray("b").leftJustified(16, '\0');
    QTest::newRow("board over 16 bytes refused") << "1" << QString::fromUtf8("\xc3\xa9" "123456789ABCDEF")
                                                 << false << 0u << QByteArray();
}

void DeviceRecordTest::keyBoardBlock()
{
    QFETCH(QString, key);
    QFETCH(QString, board);
    QFETCH(bool, ok);
    QFETCH(uint, keyValue);
    QFETCH(QByteArray, boardBytes);
    KVNet_KeyBoardID_t b;
    QCOMPARE(kvdev::buildKeyBoardId(key, board, &b), ok);
    if (!ok)
        return;
    QCOMPARE(b.StructSize, 32u);
    QCOMPARE(b.KeyID, keyValue);
    QCOMPARE(bytesOf(b.BoardID, 16), boardBytes);
    QCOMPARE(int(b.Marker), 0xFF);
    QCOMPARE(bytesOf(b.reserved, 7), QByteArray(7, '\0'));
}

void DeviceRecordTest::restoreAndOnvifBlocks()
{
    const KVNet_RestoreDefault_t d = kvdev::buildRestoreDefaults();
    QCOMPARE(bytesOf(&d, sizeof d).toHex(), QByteArray("0c0000000101010101010101"));
    const KVNet_NetworkBaseSet_t n = kvdev::buildOnvifNetwork("10.0.0.5", "", "bad", 0, 0x100);
    QByteArray want(280, '\0');
    want[0] = char(0x18);
    want[1] = char(0x01);
    want.replace(4, 4, QByteArray("\x0a\x00\x00\x05", 4));
    QCOMPARE(bytesOf(&n, sizeof n).toHex(), want.toHex());
    const KVNet_NetworkBaseSet_t m = kvdev::buildOnvifNetwork("", "255.255.255.0", "10.0.0.1", 8080, 2);
    QCOMPARE(m.HttpPort, 8080u);
    QCOMPARE(int(m.AddrMode), 2);
    QCOMPARE(bytesOf(m.NetMask, 4), QByteArray("\xff\xff\xff\x00", 4));
}

void DeviceRecordTest::importNameAndExportChecks()
{
    QByteArray name;
    QVERIFY(kvdev::importRecordName("/tmp/x/IPC-X1.txt", &name));
    QCOMPARE(name, QByteArray("IPC-X1"));
    QVERIFY(kvdev::importRecordName("/tmp/" + QString(32, 'n') + ".txt", &name));
    QCOMPARE(name.size(), 32);
    QVERIFY(!kvdev::importRecordName("/tmp/" + QString(33, 'n') + ".txt", &name));
    QVERIFY(kvdev::importRecordName("/tmp/ab", &name));
    QCOMPARE(name, QByteArray());

    QByteArray rec(40 + 5, '\0');
    const uint32_t head[2] = {45, 5};
    std::memcpy(rec.data(), head, 8);
    QVERIFY(kvdev::exportRecordValid(rec.constData(), 45));
    QVERIFY(!kvdev::exportRecordValid(rec.constData(), 44)); // data cut
    QVERIFY(!kvdev::exportRecordValid(rec.constData(), 39)); // head cut
    QVERIFY(!kvdev::exportRecordValid(nullptr, 45));
    const uint32_t huge[2] = {45, 0xFFFFFFFFu}; // 40 + length must not wrap
    std::memcpy(rec.data(), huge, 8);
    QVERIFY(!kvdev::exportRecordValid(rec.constData(), 45));
}

void DeviceRecordTest::jobFunctionsIgnoreNull()
{
    for (auto fn : {DeviceInfo::doModifyIPWork, DeviceInfo::doUpgradeWork, DeviceInfo::doModifyDeviceInfoWork,
                    DeviceInfo::doLoadDefaultWork, DeviceInfo::doPtzRestoreWork, DeviceInfo::doExportWork,
                    DeviceInfo::doImportWork, DeviceInfo::doEnableNTPWork, DeviceInfo::doOnvifModifyIPWork,
                    DeviceInfo::doOnvifQueryIPWork, DeviceInfo::doQueryVersionNumWork,
                    DeviceInfo::doMatchVersionNumWork})
        fn(nullptr);
    DeviceInfo::connectionCallbackFun(101, nullptr);
    DeviceInfo::upgradeCallback(394, nullptr, nullptr);
    DeviceInfo::exportBackupCallback(nullptr, 0, nullptr);
}

void DeviceRecordTest::everyTextIdInEveryLanguage()
{
    // Status, mode, match and header texts, the export caption and the edition-16 message.
    QList<int> ids = {6, 115, 125, 55, 56, 57, 58, 146, 147, 31, 32, 33, 34, 35, 36, 37, 38, 39,
                      42, 43, 44, 60, 127, 142, 145};
    for (int id = 15; id <= 30; ++id)
        ids << id;
    ids << 121 << 122 << 123 << 124 << 140 << 141;
    const QDir dir(QStringLiteral(KV_SOURCE_DIR "/app/dist/Language"));
    const QStringList files = dir.entryList({"*.xml"}, QDir::Files);
    QVERIFY(files.size() >= 1);
    for (const QString& f : files) {
        CXmlLanguage cat;
        QVERIFY2(cat.ReadXml(dir.filePath(f)), qPrintable(f));
        for (int id : ids)
            QVERIFY2(!cat.LoadStringFromID(id).trimmed().isEmpty(), qPrintable(QString("%1: ID %2").arg(f).arg(id)));
    }
}

QTEST_MAIN(DeviceRecordTest)
#include "tst_device_record.moc"
