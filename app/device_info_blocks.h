// The bytes a device record sends: dotted-quad parsing, bounded texts of the search
// record, the re-addressing request and the parameter blocks. Pure functions, so the
// tables of the tests and the fuzz target can reach them without a device.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

#include "KVNet.h"

namespace kvdev {

// The inet_pton rule for IPv4: four decimal parts 0-255 without leading zeros, single
// dots, nothing before or after. out gets the address in address order; on failure it
// is left as 0.0.0.0.
bool parseDottedQuad(const char* text, size_t len, uint8_t out[4]);
bool parseDottedQuad(const QString& text, uint8_t out[4]);
// Host-order value of a parsed address (first part most significant).
bool dottedQuadValue(const QString& text, uint32_t* value);

// A text field of the search record, read within its width: the field need not hold a
// NUL (a device may fill it), so the text ends at the first NUL or at the field's end.
QString fieldText(const char* field, size_t width);
template <size_t N>
inline QString fieldText(const char (&field)[N])
{
    return fieldText(field, N);
}

// The first 16 bytes of the Latin-1 form, NUL-padded (the address fields' width).
void copyText16(char dst[16], const QString& text);

struct ReaddressInput {
    QString user, password;
    QString newIP, newMask, newGateway;
    uint16_t mediaPort = 0, webPort = 0;
    uint32_t netMode = 2;
};
// The 744-byte request of the address change over the maker's protocol.
KVNetSetNewDevInfoExParam buildReaddressRequest(const SearchDevRsp& rsp, const ReaddressInput& in);

// Block 521: every category restored.
KVNet_RestoreDefault_t buildRestoreDefaults();
// Key ID as text: trimmed, hexadecimal with an optional "0x"; 0 when empty, not
// hexadecimal or above 32 bits.
uint32_t parseKeyId(const QString& text);
// Block 582. False when the board ID does not fit its 16 bytes in UTF-8: cutting it
// could split a character, so such a block is not sent.
bool buildKeyBoardId(const QString& keyId, const QString& boardId, KVNet_KeyBoardID_t* out);
// Block 511 for the ONVIF change: 0 fields mean keep.
KVNet_NetworkBaseSet_t buildOnvifNetwork(const QString& ip, const QString& mask, const QString& gateway,
                                         uint16_t webPort, uint32_t netMode);
// "%u.%u.%u.%u" of four bytes.
QString dottedText(const uint8_t b[4]);

// Import limits: the tool's import buffer and the record's name field.
constexpr qint64 kImportMaxData = KVNET_BACKUP_TOOL_DATA;
constexpr int kImportNameBytes = 32;
// The record name of an import path: the file name without its last four characters,
// Latin-1. Empty optional (false) when it does not fit the 32-byte field.
bool importRecordName(const QString& path, QByteArray* name);

// The export callback's check of what the client handed over: a record head and the
// announced data within what arrived.
bool exportRecordValid(const void* data, unsigned size);

} // namespace kvdev
