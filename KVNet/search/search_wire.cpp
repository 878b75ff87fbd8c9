#include "search_wire.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "scrambler.h"

namespace {

// A received datagram seen as head and body. Scrambled datagrams are unscrambled into
// scratch; bodyLen is what the datagram really holds of the announced body.
bool ViewDatagram(const uint8_t* dg, size_t len, std::vector<uint8_t>& scratch, MsgHeadWrap* head,
                  const uint8_t** body, size_t* bodyLen)
{
    if (!dg || len < sizeof(MsgHeadWrap))
        return false;
    memcpy(head, dg, sizeof *head);
    const size_t ext = head->ext_len();
    if (sizeof *head + ext > len)
        return false;
    const uint8_t* b = dg + sizeof *head + ext;
    size_t avail = len - sizeof *head - ext;
    if (head->security() == 2) {
        // Head bytes 2-15 with the extension are one unit, the body the second, as on TCP.
        scratch.assign(dg, dg + len);
        if (!kv_unscramble(scratch.data() + 2, sizeof *head - 2 + ext))
            return false;
        memcpy(head, scratch.data(), sizeof *head);
        const size_t n = std::min<size_t>(head->MsgSize, avail);
        if (!kv_unscramble(scratch.data() + sizeof *head + ext, n))
            return false;
        b = scratch.data() + sizeof *head + ext;
        avail = n;
    }
    *body = b;
    *bodyLen = std::min<size_t>(head->MsgSize, avail);
    return true;
}

bool SameRequest(const MsgHeadWrap& h, const MsgHeadWrap& req)
{
    return h.MsgType == req.MsgType && h.MsgSubType == req.MsgSubType && h.Seq == req.Seq;
}

} // namespace

uint16_t kv_search_msg_type(uint8_t variant)
{
    static const uint16_t kTypes[7] = {618, 11, 620, 623, 11, 625, 628};
    if (variant >= 1 && variant <= 7)
        return kTypes[variant - 1];
    return kvsearch::kTypeSearch;
}

MsgHeadWrap kv_search_request(uint16_t type, uint32_t seq)
{
    MsgHeadWrap h;
    h.MsgType = type;
    h.Seq = seq;
    return h;
}

bool kv_search_reply_to_record(const uint8_t* dg, size_t len, const MsgHeadWrap& req, SearchDevRsp* rec)
{
    std::vector<uint8_t> scratch;
    MsgHeadWrap h;
    const uint8_t* body = nullptr;
    size_t bodyLen = 0;
    if (!ViewDatagram(dg, len, scratch, &h, &body, &bodyLen) || !SameRequest(h, req))
        return false;
    memset(rec, 0, sizeof *rec);
    memcpy(rec, body, std::min(bodyLen, sizeof *rec));
    return true;
}

int kv_readdress_match(const uint8_t* dg, size_t len, const MsgHeadWrap& req, const char token[16])
{
    std::vector<uint8_t> scratch;
    MsgHeadWrap h;
    const uint8_t* body = nullptr;
    size_t bodyLen = 0;
    if (!ViewDatagram(dg, len, scratch, &h, &body, &bodyLen) || !SameRequest(h, req))
        return -2;
    const size_t tlen = strnlen(token, 16);
    if (tlen > bodyLen || memcmp(body, token, tlen) != 0)
        return -2;
    return h.AckFlag == 0 ? 0 : -1;
}

bool kv_readdress_sends_legacy(const KVNetSetNewDevInfoExParam& p)
{
    const size_t user = strnlen(p.szUser, sizeof p.szUser);
    const size_t pwd = strnlen(p.szPwd, sizeof p.szPwd);
    return !(user > 9 && pwd > 13);
}

void kv_readdress_build_legacy(const KVNetSetNewDevInfoExParam& p, uint8_t out[kvsearch::kLegacyBody])
{
    const auto* in = reinterpret_cast<const uint8_t*>(&p);
    memset(out, 0, kvsearch::kLegacyBody);
    memcpy(out + 0, in + 0, 16);     // token
    memcpy(out + 16, in + 16, 10);   // user name, cut to 10 bytes
    memcpy(out + 26, in + 80, 14);   // password, cut to 14 bytes
    memcpy(out + 40, in + 144, 24);  // six addresses
    memcpy(out + 64, in + 216, 2);   // media port, low 16 bits
    memcpy(out + 66, in + 220, 2);   // web port, low 16 bits
    memcpy(out + 68, in + 224, 3);   // mode, flag, byte 226
    memcpy(out + 72, in + 208, 8);   // identifying bytes
    memcpy(out + 80, in + 168, 36);  // MAC text
}

void kv_readdress_from_legacy(const KVNetSetNewDevInfoParam& in, KVNetSetNewDevInfoExParam* out)
{
    memset(out, 0, sizeof *out);
    memcpy(out->szToken, in.szToken, 16);
    // Texts: a field that fills its width has no terminator; the wider field adds one.
    memcpy(out->szUser, in.szUser, strnlen(in.szUser, sizeof in.szUser));
    memcpy(out->szPwd, in.szPwd, strnlen(in.szPwd, sizeof in.szPwd));
    memcpy(out->CurIP, in.CurIP, 24);
    out->nMediaPort = in.nMediaPort;
    out->nWebPort = in.nWebPort;
    out->nNetMode = in.nNetMode;
    out->nFlag = in.nFlag;
    out->nByte226 = in.nByte226;
    memcpy(out->carry, in.carry, 8);
    memcpy(out->szMac, in.szMac, 36);
    memcpy(out->zero0, in.tail, 4);
    out->bUnicast = 0;
}
