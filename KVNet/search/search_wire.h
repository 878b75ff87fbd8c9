// Bytes of the search and re-addressing exchanges: request heads, reply datagrams to
// records, reply matching and the two re-addressing body forms. Pure functions, so
// they can be fuzzed and tested without sockets.
#pragma once
#include <cstddef>
#include <cstdint>

#include "KVNetTypes.h"
#include "kvnet/KVNetSearch.h"
#include "msg_types.h"

namespace kvsearch {
constexpr uint16_t kPort = 9333;
constexpr uint16_t kTypeSearch = 11;
constexpr uint16_t kTypeReaddressLegacy = 12;
constexpr uint16_t kTypeReaddress = 13;
constexpr size_t kLegacyBody = 116;
constexpr size_t kRecordSize = sizeof(SearchDevRsp);
constexpr size_t kMaxDatagram = 65536;
}

// Message type of a search variant: 11, or for 1-7 {618, 11, 620, 623, 11, 625, 628}.
uint16_t kv_search_msg_type(uint8_t variant);

// The header-only search request.
MsgHeadWrap kv_search_request(uint16_t type, uint32_t seq);

// A datagram answers a request when its type, subtype and Seq equal the request's
// (AckFlag is not looked at). On a match, rec is zeroed and filled with the first
// min(MsgSize, 448) body bytes, cut to what the datagram actually holds. A datagram
// shorter than a head, or whose extension runs past its end, answers nothing.
bool kv_search_reply_to_record(const uint8_t* dg, size_t len, const MsgHeadWrap& req, SearchDevRsp* rec);

// Re-addressing reply: -2 when the datagram does not answer (type, subtype, Seq, or the
// token is not at the start of the received body), else 0 for AckFlag 0 and -1 for any
// other AckFlag. token is the request's first 16 bytes; compared over its text length.
int kv_readdress_match(const uint8_t* dg, size_t len, const MsgHeadWrap& req, const char token[16]);

// The legacy form is sent unless the user name is longer than 9 characters and the
// password longer than 13.
bool kv_readdress_sends_legacy(const KVNetSetNewDevInfoExParam& p);
// The 116-byte legacy body built from the 744-byte request.
void kv_readdress_build_legacy(const KVNetSetNewDevInfoExParam& p, uint8_t out[kvsearch::kLegacyBody]);
// The 744-byte request built from a legacy record (unicast flag 0).
void kv_readdress_from_legacy(const KVNetSetNewDevInfoParam& in, KVNetSetNewDevInfoExParam* out);
