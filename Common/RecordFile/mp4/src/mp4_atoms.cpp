#include "mp4_atoms.h"

#include <algorithm>
#include <cstring>

namespace {
const uint32_t kUnityMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

void matrix(atom_buffer& b)
{
    for (uint32_t v : kUnityMatrix) b.u32(v);
}
}

// ---- atom_basic ----

atom_basic::atom_basic(mp4file* file, const char* type, size_t builtin) : m_file(file), m_buf(builtin)
{
    set_type(type);
}

atom_basic::~atom_basic() { delete_child_atom(); }

void atom_basic::set_type(const char* type)
{
    std::memset(m_type, 0, sizeof m_type);
    if (type && *type) std::strncpy(m_type, type, 4);
}

bool atom_basic::is(const char* type) const { return std::strncmp(m_type, type, 4) == 0; }

int atom_basic::write()
{
    if (m_type[0]) {
        m_data = nullptr;
        m_len = 8;
    }
    return write_children();
}

int atom_basic::write_children()
{
    for (atom_basic* c : m_children) c->write();
    return 0;
}

int atom_basic::read(uint64_t, atom_trak*) { return 0; }

bool atom_basic::load(uint64_t len)
{
    // Left uninitialised: the read fills every byte, and a table of saved heads can be
    // hundreds of megabytes.
    m_loaded.reset(new uint8_t[static_cast<size_t>(len ? len : 1)]);
    if (len && m_file->read(m_loaded.get(), static_cast<int64_t>(len)) != 1) return false;
    m_data = m_loaded.get();
    m_len = len;
    return true;
}

uint64_t atom_basic::update_size()
{
    uint64_t total = m_len;
    for (atom_basic* c : m_children) total += c->update_size();
    m_total = total;
    if (m_data && m_data == m_buf.data() && m_buf.size() >= 4) m_buf.set_u32(0, static_cast<uint32_t>(total));
    return total;
}

int atom_basic::write_to_file()
{
    if (m_written) return 0;
    if (m_len) m_written = true;
    m_pos = m_file->ftell();
    if (m_data) {
        if (m_file->write(m_data, static_cast<int64_t>(m_len)) < 0) return -1;
    } else if (m_type[0]) {
        uint8_t h[8];
        wr_be32(h, static_cast<uint32_t>(m_total));
        std::memcpy(h + 4, m_type, 4);
        if (m_file->write(h, 8) < 0) return -1;
    }
    int r = 0;
    for (atom_basic* c : m_children)
        if (c->write_to_file() != 0) r = -1;
    return r;
}

atom_basic* atom_basic::find_child_atom(const char* type)
{
    for (atom_basic* c : m_children) {
        if (c->is(type)) return c;
        if (atom_basic* f = c->find_child_atom(type)) return f;
    }
    return nullptr;
}

void atom_basic::find_all_child_atom(const char* type, std::vector<atom_basic*>& out)
{
    for (atom_basic* c : m_children) {
        if (c->is(type)) out.push_back(c);
        c->find_all_child_atom(type, out);
    }
}

void atom_basic::delete_child_atom()
{
    for (atom_basic* c : m_children) delete c; // each deletes its own children first
    m_children.clear();
}

atom_basic* atom_basic::add_child(atom_basic* child)
{
    child->m_parent = this;
    m_children.push_back(child);
    return child;
}

// ---- boxes the writer builds ----

atom_ftyp::atom_ftyp(mp4file* f, bool avc1) : atom_basic(f, "ftyp", 32)
{
    m_buf.header("ftyp");
    m_buf.fourcc("isom");
    m_buf.u32(0x00000200);
    m_buf.fourcc("isom");
    m_buf.fourcc("iso2");
    if (avc1) m_buf.fourcc("avc1");
    m_buf.fourcc("mp41");
    m_buf.set_u32(0, static_cast<uint32_t>(m_buf.size()));
    publish();
}

atom_mdat::atom_mdat(mp4file* f) : atom_basic(f, "mdat", 16)
{
    m_buf.u32(8);
    m_buf.fourcc("free");
    m_buf.u32(0);
    m_buf.fourcc("mdat");
    publish();
}

int atom_mdat::update_file_size(uint64_t data_bytes, bool force64)
{
    if (!m_file->is_open()) return -2;
    int64_t back = m_file->ftell();
    uint8_t h[16];
    int64_t at;
    int n;
    if (data_bytes + 8 < (uint64_t(1) << 32) && !force64) {
        wr_be32(h, static_cast<uint32_t>(data_bytes + 8));
        at = m_pos + 8;
        n = 4;
    } else {
        // The "free" box in front gives way to the 16-byte header of a large "mdat".
        uint64_t s = data_bytes + 16;
        wr_be32(h, 1);
        std::memcpy(h + 4, "mdat", 4);
        wr_be32(h + 8, static_cast<uint32_t>(s >> 32));
        wr_be32(h + 12, static_cast<uint32_t>(s));
        at = m_pos;
        n = 16;
    }
    if (m_file->fseek(at, SEEK_SET) != 0) return -1;
    if (m_file->write(h, n) != n) return -1;
    if (m_file->fseek(back, SEEK_SET) != 0) return -1;
    return 0;
}

int atom_mvhd::write()
{
    m_buf.clear();
    bool v1 = duration_ms > 0xFFFFFFFEull;
    m_buf.full_header("mvhd", v1 ? 1 : 0, 0);
    if (v1) {
        m_buf.u64(0); m_buf.u64(0); m_buf.u32(1000); m_buf.u64(duration_ms);
    } else {
        m_buf.u32(0); m_buf.u32(0); m_buf.u32(1000); m_buf.u32(static_cast<uint32_t>(duration_ms));
    }
    m_buf.u32(0x00010000);
    m_buf.u16(0x0100);
    m_buf.zeros(10);
    matrix(m_buf);
    m_buf.zeros(24);
    m_buf.u32(next_track_id);
    publish();
    return write_children();
}

int atom_tkhd::write()
{
    m_buf.clear();
    bool v1 = duration_ms > 0x7FFFFFFEull;
    m_buf.full_header("tkhd", v1 ? 1 : 0, 1);
    if (v1) {
        m_buf.u64(0); m_buf.u64(0); m_buf.u32(track_id); m_buf.u32(0); m_buf.u64(duration_ms);
    } else {
        m_buf.u32(0); m_buf.u32(0); m_buf.u32(track_id); m_buf.u32(0);
        m_buf.u32(static_cast<uint32_t>(duration_ms));
    }
    m_buf.zeros(8);
    m_buf.u16(0);
    m_buf.u16(0);
    m_buf.u16(audio ? 0x0100 : 0);
    m_buf.u16(0);
    matrix(m_buf);
    m_buf.u32(audio ? 0 : uint32_t(width) << 16);
    m_buf.u32(audio ? 0 : uint32_t(height) << 16);
    publish();
    return write_children();
}

int atom_mdhd::write()
{
    m_buf.clear();
    bool v1 = duration > 0x7FFFFFFEull;
    m_buf.full_header("mdhd", v1 ? 1 : 0, 0);
    if (v1) {
        m_buf.u64(0); m_buf.u64(0); m_buf.u32(timescale); m_buf.u64(duration);
    } else {
        m_buf.u32(0); m_buf.u32(0); m_buf.u32(timescale); m_buf.u32(static_cast<uint32_t>(duration));
    }
    m_buf.u16(language);
    m_buf.u16(0);
    publish();
    return write_children();
}

int atom_hdlr::write()
{
    m_buf.clear();
    m_buf.full_header("hdlr", 0, 0);
    m_buf.u32(0);
    m_buf.fourcc(audio ? "soun" : "vide");
    m_buf.zeros(12);
    const char* name = audio ? "SoundHandler" : "VideoHandler";
    m_buf.bytes(name, std::strlen(name) + 1);
    publish();
    return write_children();
}

int atom_vmhd::write()
{
    m_buf.clear();
    m_buf.full_header("vmhd", 0, 1);
    m_buf.zeros(8);
    publish();
    return write_children();
}

int atom_smhd::write()
{
    m_buf.clear();
    m_buf.full_header("smhd", 0, 0);
    m_buf.zeros(4);
    publish();
    return write_children();
}

int atom_dref::write()
{
    m_buf.clear();
    m_buf.full_header("dref", 0, 0);
    m_buf.u32(1);
    m_buf.u32(12);
    m_buf.fourcc("url ");
    m_buf.u32(1);
    publish();
    return write_children();
}

int atom_stsd::write()
{
    m_buf.clear();
    m_buf.full_header("stsd", 0, 0);
    m_buf.u32(1);
    publish();
    return write_children();
}

int atom_video::write()
{
    m_buf.clear();
    m_buf.header(m_type);
    m_buf.zeros(6);
    m_buf.u16(1);
    m_buf.zeros(16);
    m_buf.u16(width);
    m_buf.u16(height);
    m_buf.u32(0x00480000);
    m_buf.u32(0x00480000);
    m_buf.u32(0);
    m_buf.u16(1);
    m_buf.zeros(32);
    m_buf.u16(0x0018);
    m_buf.u16(0xFFFF);
    publish();
    return write_children();
}

atom_audio::atom_audio(mp4file* f, int et) : atom_basic(f, "", 36), encode_type(et)
{
    static const char kTypes[4][5] = {{'m', 's', 0, 1, 0}, "alaw", "ulaw", {'m', 's', 0, 'a', 0}};
    if (et >= 0 && et <= 3) std::memcpy(m_type, kTypes[et], 4);
    // Any other coding gets four zero bytes as its type.
}

int atom_audio::write()
{
    m_buf.clear();
    m_buf.u32(0);
    m_buf.bytes(m_type, 4);
    m_buf.zeros(6);
    m_buf.u16(1);
    bool v1 = encode_type == 3;
    m_buf.u16(v1 ? 1 : 0);
    m_buf.u16(0);
    m_buf.u32(0);
    m_buf.u16(channels);
    m_buf.u16(bits);
    m_buf.u16(0);
    m_buf.u16(0);
    m_buf.u32(timescale < 65536 ? timescale << 16 : 0);
    if (v1) {
        // IMA ADPCM blocks: two samples per byte behind the block head.
        uint32_t ch = channels ? channels : 1;
        uint32_t data = block_size > 4 ? block_size - 4 : block_size;
        m_buf.u32(data * 2 / ch);  // samples per packet
        m_buf.u32(data / ch);      // bytes per packet
        m_buf.u32(data);           // bytes per frame
        m_buf.u32(2);              // bytes per sample
    }
    publish();
    return write_children();
}

int atom_config::write()
{
    m_buf.clear();
    m_buf.header(m_type);
    m_buf.bytes(m_record.data(), m_record.size());
    publish();
    return write_children();
}

int atom_stts::write()
{
    m_buf.clear();
    m_buf.full_header("stts", 0, 0);
    m_buf.u32(static_cast<uint32_t>(entries.size()));
    for (const entry& e : entries) { m_buf.u32(e.count); m_buf.u32(e.duration); }
    publish();
    return write_children();
}

int atom_stss::write()
{
    m_buf.clear();
    m_buf.full_header("stss", 0, 0);
    m_buf.u32(static_cast<uint32_t>(samples.size()));
    for (uint32_t s : samples) m_buf.u32(s);
    publish();
    return write_children();
}

int atom_stsc::write()
{
    m_buf.clear();
    m_buf.full_header("stsc", 0, 0);
    m_buf.u32(static_cast<uint32_t>(entries.size()));
    for (const entry& e : entries) { m_buf.u32(e.first_chunk); m_buf.u32(e.per_chunk); m_buf.u32(1); }
    publish();
    return write_children();
}

int atom_stsz::write()
{
    m_buf.clear();
    m_buf.full_header("stsz", 0, 0);
    m_buf.u32(common_size);
    m_buf.u32(count);
    if (!common_size)
        for (uint32_t s : sizes) m_buf.u32(s);
    publish();
    return write_children();
}

int atom_stco::write()
{
    m_buf.clear();
    bool wide = is("co64");
    m_buf.full_header(m_type, 0, 0);
    m_buf.u32(static_cast<uint32_t>(offsets.size()));
    for (uint64_t o : offsets) {
        if (wide) m_buf.u64(o); else m_buf.u32(static_cast<uint32_t>(o));
    }
    publish();
    return write_children();
}

// ---- parsers; the reader checked that len fits the parent and the file ----

int atom_tkhd::read(uint64_t len, atom_trak* trak)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    uint8_t ver = r.u8();
    r.skip(3);
    r.skip(ver == 1 ? 16 : 8);
    track_id = r.u32();
    if (!r.ok()) return -1;
    if (trak) trak->track_id = track_id;
    return 0;
}

int atom_hdlr::read(uint64_t len, atom_trak* trak)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    r.skip(8);
    const uint8_t* h = r.take(4);
    if (!h) return -1;
    if (trak) {
        if (std::memcmp(h, "soun", 4) == 0) trak->kind = 1;
        else if (std::memcmp(h, "vide", 4) == 0) trak->kind = 0;
    }
    audio = std::memcmp(h, "soun", 4) == 0;
    return 0;
}

int atom_stts::read(uint64_t len, atom_trak*)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    r.skip(4);
    uint32_t n = r.u32();
    if (!r.ok() || uint64_t(n) * 8 > r.left()) return -1;
    entries.resize(n);
    for (entry& e : entries) { e.count = r.u32(); e.duration = r.u32(); }
    return 0;
}

int atom_stss::read(uint64_t len, atom_trak* trak)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    r.skip(4);
    uint32_t n = r.u32();
    if (!r.ok() || uint64_t(n) * 4 > r.left()) return -1;
    samples.resize(n);
    for (uint32_t& s : samples) s = r.u32();
    if (trak) trak->key_samples = n;
    return 0;
}

int atom_stsc::read(uint64_t len, atom_trak*)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    r.skip(4);
    uint32_t n = r.u32();
    if (!r.ok() || uint64_t(n) * 12 > r.left()) return -1;
    entries.resize(n);
    for (entry& e : entries) { e.first_chunk = r.u32(); e.per_chunk = r.u32(); r.u32(); }
    return 0;
}

int atom_stsz::read(uint64_t len, atom_trak* trak)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    r.skip(4);
    common_size = r.u32();
    count = r.u32();
    if (!r.ok()) return -1;
    if (!common_size) {
        if (uint64_t(count) * 4 > r.left()) return -1;
        sizes.resize(count);
        for (uint32_t& s : sizes) s = r.u32();
    }
    if (trak) trak->stsz_count = count;
    return 0;
}

int atom_stco::read(uint64_t len, atom_trak*)
{
    if (!load(len)) return -1;
    bool wide = is("co64");
    byte_reader r(m_data, static_cast<size_t>(m_len));
    r.skip(4);
    uint32_t n = r.u32();
    if (!r.ok() || uint64_t(n) * (wide ? 8 : 4) > r.left()) return -1;
    offsets.resize(n);
    for (uint64_t& o : offsets) o = wide ? r.u64() : r.u32();
    return 0;
}

int atom_free::read(uint64_t len, atom_trak*)
{
    if (!load(len)) return -1;
    byte_reader r(m_data, static_cast<size_t>(m_len));
    uint32_t n = r.u32();
    r.skip(4);
    for (uint32_t i = 0; i < n && r.ok(); ++i) {
        record rec;
        rec.id = r.u32();
        rec.samples = r.u32();
        rec.len = r.u32();
        r.skip(4);
        r.u64();
        rec.data = r.take(rec.len);
        if (!r.ok()) break; // a record past the end of the box ends the box
        records.push_back(rec);
    }
    return 0;
}
