#include "address_rules.h"

#include <QSet>

bool ParseDottedQuad(const QString& text, quint32* value)
{
    quint32 result = 0;
    int parts = 0;
    int i = 0;
    const int n = text.size();
    while (parts < 4) {
        if (i >= n || text.at(i).unicode() < '0' || text.at(i).unicode() > '9')
            return false;
        const int begin = i;
        quint32 part = 0;
        while (i < n && text.at(i).unicode() >= '0' && text.at(i).unicode() <= '9') {
            part = part * 10 + (text.at(i).unicode() - '0');
            if (part > 255)
                return false;
            ++i;
        }
        if (i - begin > 1 && text.at(begin) == QLatin1Char('0'))
            return false; // leading zero
        result = (result << 8) | part;
        ++parts;
        if (parts < 4) {
            if (i >= n || text.at(i) != QLatin1Char('.'))
                return false;
            ++i;
        }
    }
    if (i != n)
        return false;
    if (value)
        *value = result;
    return true;
}

QString FormatDottedQuad(quint32 v)
{
    return QStringLiteral("%1.%2.%3.%4").arg(v >> 24).arg((v >> 16) & 0xFF).arg((v >> 8) & 0xFF).arg(v & 0xFF);
}

QString getNextIP(const QString& ip)
{
    quint32 v;
    if (!ParseDottedQuad(ip, &v))
        return QString();
    const quint32 last = ((v & 0xFF) + 1) & 0xFF; // 255 wraps to 0, no carry
    return FormatDottedQuad((v & 0xFFFFFF00u) | last);
}

namespace {

bool IsContiguousMask(quint32 m)
{
    if (m == 0)
        return false;
    const quint32 inv = ~m;
    return (inv & (inv + 1)) == 0; // the host part is 2^k - 1
}

// A device address: not "this network" (0/8), not loopback, not multicast or above.
bool IsUnicastHost(quint32 a)
{
    const quint32 first = a >> 24;
    return first != 0 && first != 127 && first < 224;
}

} // namespace

AddressBatch PlanAddressBatch(const QString& start, const QString& mask, const QString& gateway, int count)
{
    AddressBatch plan;
    quint32 s = 0, m = 0, g = 0;
    if (!ParseDottedQuad(start, &s) || !IsUnicastHost(s)) {
        plan.check = AddressBatchCheck::BadStart;
        return plan;
    }
    if (!ParseDottedQuad(mask, &m) || !IsContiguousMask(m)) {
        plan.check = AddressBatchCheck::BadMask;
        return plan;
    }
    if (!ParseDottedQuad(gateway, &g)) {
        plan.check = AddressBatchCheck::BadGateway;
        return plan;
    }
    const quint32 network = s & m;
    const quint32 broadcast = network | ~m;
    QStringList addresses;
    QSet<quint32> taken;
    QString text = start;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text = getNextIP(text);
        quint32 a = 0;
        ParseDottedQuad(text, &a); // a chain from a valid start stays a dotted quad
        // The chain steps the last byte only: with a mask wider than /24 it comes round
        // again, and no two devices may get the same address.
        if ((a & m) != network || a == network || a == broadcast || taken.contains(a)) {
            plan.check = AddressBatchCheck::OutsideHostRange;
            plan.failedIndex = i;
            return plan;
        }
        addresses << text;
        taken.insert(a);
    }
    plan.addresses = addresses;
    return plan;
}
