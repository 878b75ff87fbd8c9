// Address texts of the network settings editor: the dotted-quad form, the next address
// of a batch, and the check that a batch of consecutive addresses stays usable.
#pragma once

#include <QString>
#include <QStringList>

// Parses a dotted quad by the inet_pton rule for IPv4: exactly four decimal parts of
// 0 to 255 without leading zeros, single dots, nothing before or after. The value has
// the first part as its most significant byte.
bool ParseDottedQuad(const QString& text, quint32* value);
QString FormatDottedQuad(quint32 value);

// The address after `ip` in a batch: the last part plus one, 255 followed by 0 without a
// carry into the third part; an empty text when `ip` is not a dotted quad.
QString getNextIP(const QString& ip);

// Why a batch of fixed addresses is refused before any device is touched.
enum class AddressBatchCheck {
    Ok,
    BadStart,           // the start address is not a dotted quad of a unicast host
    BadMask,            // the mask is not a dotted quad with contiguous leading ones
    BadGateway,         // the gateway is not a dotted quad
    // Some device would get the network or broadcast address of the subnet that the start
    // address and mask span, or an address outside it. Counting up from inside a subnet
    // reaches its broadcast address before it could leave, so one kind covers both.
    OutsideHostRange,
};

struct AddressBatch {
    AddressBatchCheck check = AddressBatchCheck::Ok;
    int failedIndex = -1;  // the device (0-based) whose address is refused, else -1
    QStringList addresses; // one per device when the check passed, else empty
};

// Plans `count` consecutive addresses from `start` (the chaining of getNextIP) and checks
// the start, mask and gateway for form and every address against the subnet that the
// start address and mask span.
AddressBatch PlanAddressBatch(const QString& start, const QString& mask, const QString& gateway, int count);

// True when the check is a form fault of one of the three texts (as opposed to a batch
// that runs out of the subnet's host addresses).
inline bool IsFormFault(AddressBatchCheck c)
{
    return c == AddressBatchCheck::BadStart || c == AddressBatchCheck::BadMask || c == AddressBatchCheck::BadGateway;
}
