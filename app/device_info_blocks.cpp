#include "device_info_blocks.h"

#include <QFileInfo>
#include <cstring>

namespace kvdev {

bool parseDottedQuad(const char* text, size_t len, uint8_t out[4])
{
    uint8_t parts[4] = {0, 0, 0, 0};
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= len || text[pos] != '.')
                goto fail;
            ++pos;
        }
        size_t digits = 0;
        unsigned value = 0;
        while (pos < len && text[pos] >= '0' && text[pos] <= '9') {
            if (digits == 1 && value == 0)
                goto fail; // a leading zero
            value = value * 10 + unsigned(text[pos] - '0');
            if (value > 255)
                goto fail;
            ++digits;
            ++pos;
        }
        if (digits == 0)
            goto fail;
        parts[part] = static_cast<uint8_t>(value);
    }
    if (pos != len)
        goto fail;
    std::memcpy(out, parts, 4);
    return true;
fail:
    std::memset(out, 0, 4);
    return false;
}

bool parseDottedQuad(const QString& text, uint8_t out[4])
{
    // At most 15 characters, all ASCII: copied without an allocation (the table sort
    // parses both texts of every comparison).
    char buf[16];
    const int n = text.size();
    if (n > 15) {
        std::memset(out, 0, 4);
        return false;
    }
    for (int i = 0; i < n; ++i) {
        const ushort c = text.at(i).unicode();
        if (c > 0x7F) {
            std::memset(out, 0, 4);
            return false;
        }
        buf[i] = char(c);
    }
    return parseDottedQuad(buf, size_t(n), out);
}

bool dottedQuadValue(const QString& text, uint32_t* value)
{
    uint8_t b[4];
    if (!parseDottedQuad(text, b))
        return false;
    *value = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return true;
}

QString fieldText(const char* field, size_t width)
{
    const void* nul = std::memchr(field, 0, width);
    const size_t len = nul ? size_t(static_cast<const char*>(nul) - field) : width;
    return QString::fromLatin1(field, int(len));
}

void copyText16(char dst[16], const QString& text)
{
    std::memset(dst, 0, 16);
    const QByteArray b = text.toLatin1();
    std::memcpy(dst, b.constData(), size_t(qMin(16, b.size())));
}

static void copyCut(char* dst, size_t room, const QByteArray& src)
{
    // room includes the terminator, which stays 0 (the request was zeroed).
    std::memcpy(dst, src.constData(), qMin(room - 1, size_t(src.size())));
}

KVNetSetNewDevInfoExParam buildReaddressRequest(const SearchDevRsp& rsp, const ReaddressInput& in)
{
    KVNetSetNewDevInfoExParam p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.szToken, "12", 2);
    copyCut(p.szUser, sizeof p.szUser, in.user.toLatin1());
    copyCut(p.szPwd, sizeof p.szPwd, in.password.toLatin1());
    parseDottedQuad(fieldText(rsp.szIP), p.CurIP);
    parseDottedQuad(in.newIP, p.NewIP);
    parseDottedQuad(in.newMask, p.NewMask);
    parseDottedQuad(in.newGateway, p.NewGateway);
    parseDottedQuad(fieldText(rsp.szExtraAddr1), p.ExtraAddr1);
    parseDottedQuad(fieldText(rsp.szExtraAddr2), p.ExtraAddr2);
    std::memcpy(p.szMac, rsp.szMac, sizeof p.szMac);
    std::memcpy(p.carry, rsp.carry, sizeof p.carry);
    p.nMediaPort = in.mediaPort;
    p.nWebPort = in.webPort;
    p.nNetMode = static_cast<uint8_t>(in.netMode & 0xFF);
    p.nFlag = 1;
    p.nByte226 = 0;
    p.bUnicast = 0;
    return p;
}

KVNet_RestoreDefault_t buildRestoreDefaults()
{
    KVNet_RestoreDefault_t b;
    std::memset(&b, 1, sizeof b);
    b.StructSize = sizeof b;
    return b;
}

uint32_t parseKeyId(const QString& text)
{
    QString t = text.trimmed();
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        t = t.mid(2);
    if (t.isEmpty())
        return 0;
    bool ok = false;
    const qulonglong v = t.toULongLong(&ok, 16);
    // toULongLong accepts a sign; a key ID is digits only.
    if (!ok || v > 0xFFFFFFFFull || t.startsWith('+') || t.startsWith('-'))
        return 0;
    return uint32_t(v);
}

bool buildKeyBoardId(const QString& keyId, const QString& boardId, KVNet_KeyBoardID_t* out)
{
    std::memset(out, 0, sizeof *out);
    const QByteArray board = boardId.trimmed().toUtf8();
    if (board.size() > int(sizeof out->BoardID))
        return false;
    out->StructSize = sizeof *out;
    out->KeyID = parseKeyId(keyId);
    std::memcpy(out->BoardID, board.constData(), size_t(board.size()));
    out->Marker = 0xFF;
    return true;
}

KVNet_NetworkBaseSet_t buildOnvifNetwork(const QString& ip, const QString& mask, const QString& gateway,
                                         uint16_t webPort, uint32_t netMode)
{
    KVNet_NetworkBaseSet_t b;
    std::memset(&b, 0, sizeof b);
    b.StructSize = sizeof b;
    parseDottedQuad(ip, b.IPAddr);
    parseDottedQuad(mask, b.NetMask);
    parseDottedQuad(gateway, b.Gateway);
    if (webPort != 0)
        b.HttpPort = webPort;
    b.AddrMode = static_cast<uint8_t>(netMode & 0xFF);
    return b;
}

QString dottedText(const uint8_t b[4])
{
    return QString::asprintf("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

bool importRecordName(const QString& path, QByteArray* name)
{
    const QString file = QFileInfo(path).fileName();
    const QByteArray n = file.left(qMax(0, file.size() - 4)).toLatin1();
    if (n.size() > kImportNameBytes)
        return false;
    *name = n;
    return true;
}

bool exportRecordValid(const void* data, unsigned size)
{
    if (!data || size < KVNET_BACKUP_HEAD_SIZE)
        return false;
    KVNetBackupRecord head;
    std::memcpy(&head, data, sizeof head);
    return uint64_t(KVNET_BACKUP_HEAD_SIZE) + head.DataLen <= size;
}

} // namespace kvdev
