// The address texts of the network settings editor: form, chaining and the batch rule.
#include <QtTest>

#include "address_rules.h"

Q_DECLARE_METATYPE(AddressBatchCheck)

class TestAddressRules : public QObject {
    Q_OBJECT
private slots:
    void dottedQuad_data();
    void dottedQuad();
    void nextAddress_data();
    void nextAddress();
    void batch_data();
    void batch();
    void plannedAddressesAreTheChain();
};

void TestAddressRules::dottedQuad_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint32>("value");
    QTest::newRow("plain") << "192.168.1.254" << true << 0xC0A801FEu;
    QTest::newRow("zero") << "0.0.0.0" << true << 0u;
    QTest::newRow("all ones") << "255.255.255.255" << true << 0xFFFFFFFFu;
    QTest::newRow("part above 255") << "192.168.1.300" << false << 0u;
    QTest::newRow("leading zero") << "192.168.01.1" << false << 0u;
    QTest::newRow("three parts") << "192.168.1" << false << 0u;
    QTest::newRow("five parts") << "192.168.1.1.1" << false << 0u;
    QTest::newRow("empty part") << "192.168..1" << false << 0u;
    QTest::newRow("text before") << " 192.168.1.1" << false << 0u;
    QTest::newRow("text after") << "192.168.1.1 " << false << 0u;
    QTest::newRow("trailing dot") << "192.168.1.1." << false << 0u;
    QTest::newRow("sign") << "192.168.1.-1" << false << 0u;
    QTest::newRow("hex") << "192.168.1.0x1" << false << 0u;
    QTest::newRow("long part") << "1234.1.1.1" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
    QTest::newRow("word") << "abc" << false << 0u;
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("\xd9\xa1.1.1.1") << false << 0u;
}

void TestAddressRules::dottedQuad()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(quint32, value);
    quint32 v = 0xDEADBEEF;
    QCOMPARE(ParseDottedQuad(text, &v), ok);
    if (ok) {
        QCOMPARE(v, value);
        QCOMPARE(FormatDottedQuad(v), text);
    }
}

void TestAddressRules::nextAddress_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("next");
    QTest::newRow("step") << "192.168.1.1" << "192.168.1.2";
    QTest::newRow("to 255") << "192.168.1.254" << "192.168.1.255";
    QTest::newRow("wraps, no carry") << "192.168.1.255" << "192.168.1.0";
    QTest::newRow("no carry at all") << "10.0.255.255" << "10.0.255.0";
    QTest::newRow("not a quad") << "192.168.1.300" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("host name") << "host.example" << "";
}

void TestAddressRules::nextAddress()
{
    QFETCH(QString, ip);
    QFETCH(QString, next);
    QCOMPARE(getNextIP(ip), next);
}

void TestAddressRules::batch_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<int>("count");
    QTest::addColumn<AddressBatchCheck>("check");
    QTest::addColumn<int>("failedIndex");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("last");
    using C = AddressBatchCheck;
    const QString m24 = "255.255.255.0";
    QTest::newRow("fits a /24") << "198.51.100.10" << m24 << "198.51.100.1" << 20 << C::Ok << -1 << "198.51.100.10"
                                << "198.51.100.29";
    QTest::newRow("ends on .254") << "198.51.100.235" << m24 << "198.51.100.1" << 20 << C::Ok << -1
                                  << "198.51.100.235" << "198.51.100.254";
    QTest::newRow("one device") << "198.51.100.7" << m24 << "198.51.100.1" << 1 << C::Ok << -1 << "198.51.100.7"
                                << "198.51.100.7";
    QTest::newRow("reaches the broadcast") << "192.168.1.254" << m24 << "192.168.1.1" << 3 << C::OutsideHostRange
                                           << 1 << "" << "";
    QTest::newRow("starts on the network") << "198.51.100.0" << m24 << "198.51.100.1" << 1 << C::OutsideHostRange
                                           << 0 << "" << "";
    QTest::newRow("starts on the broadcast") << "198.51.100.255" << m24 << "198.51.100.1" << 2
                                             << C::OutsideHostRange << 0 << "" << "";
    QTest::newRow("a /16 passes .255 and .0") << "10.1.2.254" << "255.255.0.0" << "10.1.0.1" << 4 << C::Ok << -1
                                              << "10.1.2.254" << "10.1.2.1";
    // The chain steps the last byte only, so a wide mask brings it round to its start.
    QTest::newRow("a /16 comes round") << "10.1.2.10" << "255.255.0.0" << "10.1.0.1" << 257
                                       << C::OutsideHostRange << 256 << "" << "";
    QTest::newRow("a /16 network") << "10.1.0.254" << "255.255.0.0" << "10.1.0.1" << 3 << C::OutsideHostRange << 2
                                   << "" << "";
    QTest::newRow("a /25 reaches its broadcast") << "198.51.100.120" << "255.255.255.128" << "198.51.100.1" << 10
                                                 << C::OutsideHostRange << 7 << "" << "";
    QTest::newRow("a /26 upper part") << "198.51.100.60" << "255.255.255.192" << "198.51.100.1" << 5
                                      << C::OutsideHostRange << 3 << "" << "";
    QTest::newRow("a /30 two hosts") << "203.0.113.5" << "255.255.255.252" << "203.0.113.6" << 2 << C::Ok << -1
                                     << "203.0.113.5" << "203.0.113.6";
    QTest::newRow("a /30 third host") << "203.0.113.5" << "255.255.255.252" << "203.0.113.6" << 3
                                      << C::OutsideHostRange << 2 << "" << "";
    QTest::newRow("a /32 holds no host") << "203.0.113.5" << "255.255.255.255" << "203.0.113.6" << 1
                                         << C::OutsideHostRange << 0 << "" << "";
    QTest::newRow("start not a quad") << "198.51.100.300" << m24 << "198.51.100.1" << 1 << C::BadStart << -1 << ""
                                      << "";
    QTest::newRow("start empty") << "" << m24 << "198.51.100.1" << 1 << C::BadStart << -1 << "" << "";
    QTest::newRow("start loopback") << "127.0.0.5" << "255.0.0.0" << "127.0.0.1" << 1 << C::BadStart << -1 << ""
                                    << "";
    QTest::newRow("start multicast") << "239.255.255.250" << m24 << "239.255.255.1" << 1 << C::BadStart << -1 << ""
                                     << "";
    QTest::newRow("start in 0/8") << "0.0.0.5" << m24 << "0.0.0.1" << 1 << C::BadStart << -1 << "" << "";
    QTest::newRow("mask with a hole") << "198.51.100.10" << "255.0.255.0" << "198.51.100.1" << 1 << C::BadMask << -1
                                      << "" << "";
    QTest::newRow("mask zero") << "198.51.100.10" << "0.0.0.0" << "198.51.100.1" << 1 << C::BadMask << -1 << ""
                               << "";
    QTest::newRow("mask empty") << "198.51.100.10" << "" << "198.51.100.1" << 1 << C::BadMask << -1 << "" << "";
    QTest::newRow("mask with a letter") << "198.51.100.10" << "255.255.255.O" << "198.51.100.1" << 1 << C::BadMask
                                        << -1 << "" << "";
    QTest::newRow("gateway empty") << "198.51.100.10" << m24 << "" << 1 << C::BadGateway << -1 << "" << "";
    QTest::newRow("gateway not a quad") << "198.51.100.10" << m24 << "198.51.100.01" << 1 << C::BadGateway << -1
                                        << "" << "";
}

void TestAddressRules::batch()
{
    QFETCH(QString, start);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(int, count);
    QFETCH(AddressBatchCheck, check);
    QFETCH(int, failedIndex);
    QFETCH(QString, first);
    QFETCH(QString, last);
    const AddressBatch plan = PlanAddressBatch(start, mask, gateway, count);
    QCOMPARE(plan.check, check);
    QCOMPARE(plan.failedIndex, failedIndex);
    if (check == AddressBatchCheck::Ok) {
        QCOMPARE(plan.addresses.size(), count);
        QCOMPARE(plan.addresses.first(), first);
        QCOMPARE(plan.addresses.last(), last);
    } else {
        QVERIFY(plan.addresses.isEmpty());
    }
}

void TestAddressRules::plannedAddressesAreTheChain()
{
    const AddressBatch plan = PlanAddressBatch("10.1.2.250", "255.255.0.0", "10.1.0.1", 8);
    QCOMPARE(plan.check, AddressBatchCheck::Ok);
    const QStringList want = {"10.1.2.250", "10.1.2.251", "10.1.2.252", "10.1.2.253",
                              "10.1.2.254", "10.1.2.255", "10.1.2.0",   "10.1.2.1"};
    QCOMPARE(plan.addresses, want);
}

QTEST_GUILESS_MAIN(TestAddressRules)
#include "tst_address_rules.moc"
