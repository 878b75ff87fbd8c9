// Decoder configuration records ("avcC", "hvcC") from the parameter sets at the start of the
// first key frame. Every field comes through a bounded bit reader: malformed parameter sets
// give an empty record, never a read past the unit.
#include <algorithm>
#include <cstring>

#include "mp4_atoms.h"
#include "mp4_nal.h"

namespace {

constexpr size_t kMaxRecord = 1024;

// Removes the emulation-prevention bytes (00 00 03 -> 00 00).
std::vector<uint8_t> unescape(const uint8_t* p, size_t n)
{
    std::vector<uint8_t> out;
    out.reserve(n);
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out.push_back(p[i]);
    }
    return out;
}

class bit_reader {
public:
    bit_reader(const std::vector<uint8_t>& b, size_t skip_bytes) : m_b(b), m_bit(skip_bytes * 8) {}
    bool ok() const { return m_ok; }
    uint32_t bits(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    uint32_t bit()
    {
        if (m_bit >= m_b.size() * 8) {
            m_ok = false;
            return 0;
        }
        uint32_t v = (m_b[m_bit >> 3] >> (7 - (m_bit & 7))) & 1;
        ++m_bit;
        return v;
    }
    void skip(size_t n)
    {
        if (n > m_b.size() * 8 - std::min(m_bit, m_b.size() * 8)) {
            m_ok = false;
            m_bit = m_b.size() * 8;
            return;
        }
        m_bit += n;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (m_ok && bit() == 0) {
            if (++zeros > 31) { m_ok = false; return 0; }
        }
        if (!m_ok) return 0;
        uint64_t v = (uint64_t(1) << zeros) - 1 + bits(zeros);
        if (v > 0xFFFFFFFEull) { m_ok = false; return 0; }
        return static_cast<uint32_t>(v);
    }
    int32_t se()
    {
        uint32_t u = ue();
        return (u & 1) ? int32_t((u + 1) / 2) : -int32_t(u / 2);
    }

private:
    const std::vector<uint8_t>& m_b;
    size_t m_bit;
    bool m_ok = true;
};

void put16(std::vector<uint8_t>& out, size_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

// ---- H.264 ----

bool avc_high_profile(uint8_t profile)
{
    static const uint8_t kHigh[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(kHigh), std::end(kHigh), profile) != std::end(kHigh);
}

// ---- H.265 ----

struct hevc_fields {
    uint8_t profile_space = 0, tier = 0, profile_idc = 0;
    uint32_t compat = 0xFFFFFFFF;
    uint64_t constraint = 0xFFFFFFFFFFFFull;
    uint8_t level = 0;
    uint32_t min_seg = 4097;
    uint8_t parallelism = 0;
    uint8_t chroma = 0, depth_luma = 0, depth_chroma = 0;
    uint8_t temporal_layers = 0, nested = 0;
};

void profile_tier_level(bit_reader& r, unsigned max_sub_layers_minus1, hevc_fields& f)
{
    uint8_t space = uint8_t(r.bits(2));
    uint8_t tier = uint8_t(r.bits(1));
    uint8_t idc = uint8_t(r.bits(5));
    uint32_t compat = r.bits(32);
    uint64_t constraint = (uint64_t(r.bits(16)) << 32) | r.bits(32);
    uint8_t level = uint8_t(r.bits(8));
    if (!r.ok()) return;
    // Merged over every parameter set: the strongest tier, profile and level, the flags
    // that all sets share.
    f.profile_space = space;
    if (tier > f.tier) { f.tier = tier; f.level = level; }
    else if (tier == f.tier) f.level = std::max(f.level, level);
    f.profile_idc = std::max(f.profile_idc, idc);
    f.compat &= compat;
    f.constraint &= constraint;
    uint8_t prof_present[8] = {0}, level_present[8] = {0};
    for (unsigned i = 0; i < max_sub_layers_minus1; ++i) {
        prof_present[i] = uint8_t(r.bit());
        level_present[i] = uint8_t(r.bit());
    }
    if (max_sub_layers_minus1 > 0)
        for (unsigned i = max_sub_layers_minus1; i < 8; ++i) r.skip(2);
    for (unsigned i = 0; i < max_sub_layers_minus1; ++i) {
        if (prof_present[i]) r.skip(88);
        if (level_present[i]) r.skip(8);
    }
}

bool parse_vps(const std::vector<uint8_t>& b, hevc_fields& f)
{
    bit_reader r(b, 2);
    r.skip(12);                       // id, base layer flags, max layers
    unsigned sub = r.bits(3);
    r.skip(17);                       // nesting flag, reserved 0xFFFF
    if (sub > 6) return false;
    f.temporal_layers = std::max<uint8_t>(f.temporal_layers, uint8_t(sub + 1));
    profile_tier_level(r, sub, f);
    return r.ok();
}

void sub_layer_hrd(bit_reader& r, unsigned cpb_cnt, bool sub_pic)
{
    for (unsigned i = 0; i <= cpb_cnt && r.ok(); ++i) {
        r.ue(); r.ue();
        if (sub_pic) { r.ue(); r.ue(); }
        r.skip(1);
    }
}

void hrd_parameters(bit_reader& r, bool common, unsigned max_sub)
{
    bool nal = false, vcl = false, sub_pic = false;
    if (common) {
        nal = r.bit();
        vcl = r.bit();
        if (nal || vcl) {
            sub_pic = r.bit();
            if (sub_pic) r.skip(19);
            r.skip(8);
            if (sub_pic) r.skip(4);
            r.skip(15);
        }
    }
    for (unsigned i = 0; i <= max_sub && r.ok(); ++i) {
        bool general = r.bit();
        bool within = general ? true : r.bit();
        bool low_delay = false;
        unsigned cpb_cnt = 0;
        if (within) r.ue();
        else low_delay = r.bit();
        if (!low_delay) cpb_cnt = r.ue();
        if (cpb_cnt > 31) { r.skip(~size_t(0) >> 1); return; }
        if (nal) sub_layer_hrd(r, cpb_cnt, sub_pic);
        if (vcl) sub_layer_hrd(r, cpb_cnt, sub_pic);
    }
}

void vui_parameters(bit_reader& r, unsigned max_sub, hevc_fields& f)
{
    if (r.bit()) {                    // aspect ratio
        if (r.bits(8) == 255) r.skip(32);
    }
    if (r.bit()) r.skip(1);           // overscan
    if (r.bit()) {                    // video signal type
        r.skip(4);
        if (r.bit()) r.skip(24);
    }
    if (r.bit()) { r.ue(); r.ue(); }  // chroma location
    r.skip(3);                        // neutral chroma, field seq, frame field info
    if (r.bit()) { r.ue(); r.ue(); r.ue(); r.ue(); } // default display window
    if (r.bit()) {                    // timing
        r.skip(64);
        if (r.bit()) r.ue();
        if (r.bit()) hrd_parameters(r, true, max_sub);
    }
    if (r.bit()) {                    // bitstream restriction
        r.skip(3);
        uint32_t seg = r.ue();
        if (r.ok()) f.min_seg = std::min(f.min_seg, seg);
        r.ue(); r.ue(); r.ue(); r.ue();
    }
}

void scaling_list_data(bit_reader& r)
{
    for (int size = 0; size < 4; ++size)
        for (int m = 0; m < 6; m += (size == 3) ? 3 : 1) {
            if (!r.bit()) {
                r.ue();
            } else {
                int coef = std::min(64, 1 << (4 + (size << 1)));
                if (size > 1) r.se();
                for (int i = 0; i < coef && r.ok(); ++i) r.se();
            }
        }
}

bool st_ref_pic_set(bit_reader& r, unsigned idx, unsigned* num_delta)
{
    bool inter = idx != 0 && r.bit();
    if (inter) {
        r.skip(1);
        r.ue();
        unsigned n = 0;
        for (unsigned j = 0; j <= num_delta[idx - 1] && r.ok(); ++j) {
            bool used = r.bit();
            bool use_delta = used ? true : r.bit();
            if (used || use_delta) ++n;
        }
        num_delta[idx] = n;
    } else {
        unsigned neg = r.ue(), pos = r.ue();
        if (neg > 16 || pos > 16) return false;
        for (unsigned i = 0; i < neg + pos && r.ok(); ++i) { r.ue(); r.skip(1); }
        num_delta[idx] = neg + pos;
    }
    return r.ok() && num_delta[idx] <= 32;
}

bool parse_sps(const std::vector<uint8_t>& b, hevc_fields& f)
{
    bit_reader r(b, 2);
    r.skip(4);
    unsigned sub = r.bits(3);
    uint8_t nested = uint8_t(r.bit());
    if (sub > 6) return false;
    f.temporal_layers = std::max<uint8_t>(f.temporal_layers, uint8_t(sub + 1));
    f.nested = nested;
    profile_tier_level(r, sub, f);
    r.ue();                           // sps id
    uint32_t chroma = r.ue();
    if (chroma > 3) return false;
    f.chroma = uint8_t(chroma);
    if (chroma == 3) r.skip(1);
    r.ue(); r.ue();                   // picture size
    if (r.bit()) { r.ue(); r.ue(); r.ue(); r.ue(); }
    uint32_t dl = r.ue(), dc = r.ue();
    if (dl > 8 || dc > 8) return false;
    f.depth_luma = uint8_t(dl);
    f.depth_chroma = uint8_t(dc);
    uint32_t poc_lsb_minus4 = r.ue();
    if (poc_lsb_minus4 > 12) return false; // checked before the +4, which could wrap
    uint32_t poc_lsb = poc_lsb_minus4 + 4;
    bool ordering = r.bit();
    for (unsigned i = ordering ? 0 : sub; i <= sub && r.ok(); ++i) { r.ue(); r.ue(); r.ue(); }
    r.ue(); r.ue(); r.ue(); r.ue(); r.ue(); r.ue();
    if (r.bit() && r.bit()) scaling_list_data(r);
    r.skip(2);                        // amp, sample adaptive offset
    if (r.bit()) { r.skip(8); r.ue(); r.ue(); r.skip(1); } // pcm
    unsigned nsets = r.ue();
    if (nsets > 64) return false;
    unsigned num_delta[65] = {0};
    for (unsigned i = 0; i < nsets; ++i)
        if (!st_ref_pic_set(r, i, num_delta)) return false;
    if (r.bit()) {                    // long-term reference pictures
        unsigned n = r.ue();
        if (n > 32) return false;
        for (unsigned i = 0; i < n && r.ok(); ++i) r.skip(poc_lsb + 1);
    }
    r.skip(2);                        // temporal mvp, strong intra smoothing
    if (r.bit()) vui_parameters(r, sub, f);
    return r.ok();
}

bool parse_pps(const std::vector<uint8_t>& b, hevc_fields& f)
{
    bit_reader r(b, 2);
    r.ue(); r.ue();
    r.skip(7);                        // dependent slices, output flag, extra bits, sign hiding, cabac init
    r.ue(); r.ue(); r.se();
    r.skip(2);                        // constrained intra, transform skip
    if (r.bit()) r.ue();              // cu qp delta
    r.se(); r.se();
    r.skip(4);                        // chroma qp offsets, weighted pred/bipred, transquant bypass
    bool tiles = r.bit();
    bool wavefront = r.bit();
    if (!r.ok()) return false;
    if (tiles && wavefront) f.parallelism = 0;
    else if (wavefront) f.parallelism = 3;
    else if (tiles) f.parallelism = 2;
    else f.parallelism = 1;
    return true;
}

} // namespace

std::vector<nal_unit> mp4_split_nal_units(const uint8_t* p, size_t n)
{
    std::vector<nal_unit> out;
    size_t i = 0;
    // Start of the first unit: behind the first start code; what lies before it is dropped.
    // The first 00 00 01 at or after `from`: memchr finds each 01 byte (it runs a word or
    // a vector at a time), then the two bytes before it are checked.
    auto next_code = [&](size_t from) -> size_t {
        size_t j = from + 2;
        while (j < n) {
            const void* hit = std::memchr(p + j, 1, n - j);
            if (!hit) return n;
            j = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
            if (p[j - 1] == 0 && p[j - 2] == 0) return j - 2;
            ++j;
        }
        return n;
    };
    size_t code = next_code(0);
    while (code < n) {
        i = code + 3;
        while (i < n && p[i] == 0) ++i; // zero bytes directly after a start code
        size_t nxt = next_code(i);
        size_t end = nxt;
        // Zero bytes in front of the next start code belong to it (a 4-byte code).
        while (end > i && p[end - 1] == 0) --end;
        if (end > i) out.push_back({p + i, end - i});
        code = nxt;
    }
    return out;
}

std::vector<uint8_t> mp4_build_avcc(const uint8_t* data, size_t len, bool cut)
{
    std::vector<uint8_t> rec;
    if (len < 4 || data[0] != 0 || data[1] != 0 || !(data[2] == 1 || (data[2] == 0 && data[3] == 1)))
        return rec;
    std::vector<nal_unit> units = mp4_split_nal_units(data, len);
    if (cut && !units.empty()) units.pop_back(); // the saved copy ended inside it
    const nal_unit* sps = nullptr;
    const nal_unit* pps = nullptr;
    for (const nal_unit& u : units) {
        int t = u.data[0] & 0x1F;
        if (t == 7) sps = &u;
        else if (t == 8) pps = &u;
    }
    if (!sps || !pps || sps->len < 4 || sps->len > 65535 || pps->len > 65535) return rec;
    rec.push_back(1);
    rec.push_back(sps->data[1]);
    rec.push_back(sps->data[2]);
    rec.push_back(sps->data[3]);
    rec.push_back(0xFF);
    rec.push_back(0xE1);
    put16(rec, sps->len);
    rec.insert(rec.end(), sps->data, sps->data + sps->len);
    rec.push_back(1);
    put16(rec, pps->len);
    rec.insert(rec.end(), pps->data, pps->data + pps->len);
    uint8_t profile = sps->data[1];
    if (profile != 66 && profile != 77 && profile != 88) {
        // Chroma format and bit depths follow for the profiles whose parameter sets carry them.
        uint32_t chroma = 1, dl = 0, dc = 0;
        if (avc_high_profile(profile)) {
            std::vector<uint8_t> b = unescape(sps->data, sps->len);
            bit_reader r(b, 4);
            r.ue();
            chroma = r.ue();
            if (chroma == 3) r.skip(1);
            dl = r.ue();
            dc = r.ue();
            if (!r.ok() || chroma > 3 || dl > 7 || dc > 7) return {};
        }
        rec.push_back(uint8_t(0xFC | chroma));
        rec.push_back(uint8_t(0xF8 | dl));
        rec.push_back(uint8_t(0xF8 | dc));
        rec.push_back(0);
    }
    if (rec.size() > kMaxRecord) return {};
    return rec;
}

std::vector<uint8_t> mp4_build_hvcc(const uint8_t* data, size_t len, bool cut)
{
    if (len < 4 || data[0] != 0 || data[1] != 0 || !(data[2] == 1 || (data[2] == 0 && data[3] == 1)))
        return {};
    std::vector<nal_unit> units = mp4_split_nal_units(data, len);
    if (cut && !units.empty()) units.pop_back();
    struct array { uint8_t type; std::vector<const nal_unit*> units; };
    std::vector<array> arrays;
    hevc_fields f;
    size_t nvps = 0, nsps = 0, npps = 0;
    for (const nal_unit& u : units) {
        if (u.len < 2) continue;
        uint8_t t = (u.data[0] >> 1) & 0x3F;
        if (t < 32 || (t > 34 && t != 39 && t != 40)) continue;
        if (u.len > 65535) return {};
        auto it = std::find_if(arrays.begin(), arrays.end(), [t](const array& a) { return a.type == t; });
        if (it == arrays.end()) { arrays.push_back({t, {}}); it = arrays.end() - 1; }
        it->units.push_back(&u);
        std::vector<uint8_t> b;
        if (t >= 32 && t <= 34) b = unescape(u.data, u.len);
        if (t == 32) { ++nvps; if (!parse_vps(b, f)) return {}; }
        else if (t == 33) { ++nsps; if (!parse_sps(b, f)) return {}; }
        else if (t == 34) { ++npps; if (!parse_pps(b, f)) return {}; }
    }
    if (nvps < 1 || nvps > 16 || nsps < 1 || nsps > 32 || npps < 1 || npps > 256) return {};
    if (f.min_seg > 4096) f.min_seg = 0;
    if (f.min_seg == 0) f.parallelism = 0;

    auto build = [&](bool with_sei) {
        std::vector<uint8_t> rec;
        rec.push_back(1);
        rec.push_back(uint8_t((f.profile_space << 6) | (f.tier << 5) | f.profile_idc));
        for (int s = 24; s >= 0; s -= 8) rec.push_back(uint8_t(f.compat >> s));
        for (int s = 40; s >= 0; s -= 8) rec.push_back(uint8_t(f.constraint >> s));
        rec.push_back(f.level);
        put16(rec, 0xF000 | f.min_seg);
        rec.push_back(uint8_t(0xFC | f.parallelism));
        rec.push_back(uint8_t(0xFC | f.chroma));
        rec.push_back(uint8_t(0xF8 | f.depth_luma));
        rec.push_back(uint8_t(0xF8 | f.depth_chroma));
        put16(rec, 0);
        rec.push_back(uint8_t((f.temporal_layers & 7) << 3 | (f.nested & 1) << 2 | 3));
        size_t count_at = rec.size();
        rec.push_back(0);
        for (const array& a : arrays) {
            bool sei = a.type == 39 || a.type == 40;
            if (sei && !with_sei) continue;
            ++rec[count_at];
            rec.push_back(uint8_t((sei ? 0 : 0x80) | a.type));
            put16(rec, a.units.size());
            for (const nal_unit* u : a.units) {
                put16(rec, u->len);
                rec.insert(rec.end(), u->data, u->data + u->len);
            }
        }
        return rec;
    };
    std::vector<uint8_t> rec = build(true);
    // The SEI messages are optional; the record gives way to them before it gives up.
    if (rec.size() > kMaxRecord) rec = build(false);
    if (rec.size() > kMaxRecord) return {};
    return rec;
}
