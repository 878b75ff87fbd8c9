#include "mp4_demuxer.h"

#include <algorithm>
#include <cstring>

namespace {
bool contains(const uint8_t* p, size_t n, const char* tag)
{
    for (size_t i = 0; i + 4 <= n; ++i)
        if (std::memcmp(p + i, tag, 4) == 0) return true;
    return false;
}

const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "dinf", "stbl"};

atom_basic* make_atom(mp4file* f, const char* t)
{
    auto is = [t](const char* x) { return std::memcmp(t, x, 4) == 0; };
    if (is("moov")) return new atom_moov(f);
    if (is("trak")) return new atom_trak(f);
    if (is("mdia")) return new atom_mdia(f);
    if (is("minf")) return new atom_minf(f);
    if (is("dinf")) return new atom_dinf(f);
    if (is("stbl")) return new atom_stbl(f);
    if (is("tkhd")) return new atom_tkhd(f);
    if (is("hdlr")) return new atom_hdlr(f);
    if (is("stts")) return new atom_stts(f);
    if (is("stss")) return new atom_stss(f);
    if (is("stsc")) return new atom_stsc(f);
    if (is("stsz")) return new atom_stsz(f);
    if (is("stco")) return new atom_stco(f, false);
    if (is("co64")) return new atom_stco(f, true);
    if (is("free")) return new atom_free(f);
    // Known boxes whose payload the reader passes over.
    static const char* const kSkipped[] = {"ftyp", "mvhd", "mdhd", "vmhd", "smhd", "stsd", "mdat"};
    for (const char* s : kSkipped)
        if (is(s)) return new atom_basic(f, s);
    return nullptr;
}
}

int mp4_demuxer::close()
{
    delete m_root;
    m_root = nullptr;
    m_audio = m_video = nullptr;
    m_mark_next = 1;
    m_pending = 0;
    m_pos = m_fpos = 0;
    m_file_size = 0;
    m_file.close();
    return 0;
}

int mp4_demuxer::open(const char* path)
{
    close();
    int r = m_file.open(path, true);
    if (r != 0) return r;
    r = get_mp4_file_type();
    if (r == 0) {
        m_root = new atom_basic(&m_file, "");
        r = read_atom_tag(m_root, 0, m_file_size, nullptr, 0);
    }
    if (r == 0) r = do_after_read_all();
    if (r != 0) close();
    return r;
}

int mp4_demuxer::get_mp4_file_type()
{
    int64_t size = m_file.size();
    if (size < 64) return -6;
    m_file_size = static_cast<uint64_t>(size);
    uint8_t b[64];
    if (m_file.fseek(0, SEEK_SET) != 0 || m_file.read(b, 64) != 1) return -6;
    if (contains(b, 64, "IMKH")) return -5;
    if (m_file.fseek(size - 64, SEEK_SET) != 0 || m_file.read(b, 64) != 1) return -6;
    bool ours = contains(b, 64, "KVFm");
    m_file.fseek(0, SEEK_SET);
    return ours ? 0 : -6;
}

int mp4_demuxer::read_atom_tag(atom_basic* parent, uint64_t start, uint64_t len, atom_trak* trak, int depth)
{
    uint64_t pos = start, end = start + len;
    while (end - pos >= 8) {
        uint8_t h[16];
        if (m_file.fseek(static_cast<int64_t>(pos), SEEK_SET) != 0 || m_file.read(h, 8) != 1) return -1;
        uint64_t size = rd_be32(h);
        uint64_t hdr = 8;
        if (size == 1) {
            if (end - pos < 16 || m_file.read(h + 8, 8) != 1) return -1;
            size = (uint64_t(rd_be32(h + 8)) << 32) | rd_be32(h + 12);
            hdr = 16;
        }
        if (size == hdr) { // an empty box
            pos += size;
            continue;
        }
        // Every size must fit in what is left of the parent (and so of the file) before
        // anything is allocated or read.
        if (size < hdr || size > end - pos) return -1;
        char type[5] = {0};
        std::memcpy(type, h + 4, 4);
        if (atom_basic* a = make_atom(&m_file, type)) {
            parent->add_child(a);
            a->set_file_pos(static_cast<int64_t>(pos + hdr));
            bool container = std::any_of(std::begin(kContainers), std::end(kContainers),
                                         [&](const char* c) { return a->is(c); });
            if (container) {
                if (depth + 1 > kMaxDepth) return -1;
                atom_trak* inner = a->is("trak") ? static_cast<atom_trak*>(a) : trak;
                if (read_atom_tag(a, pos + hdr, size - hdr, inner, depth + 1) != 0) return -1;
                if (a->is("trak") && inner->build_chunks_read(m_file_size) != 0) return -1;
            } else if (!a->is("mdat")) {
                if (m_file.fseek(static_cast<int64_t>(pos + hdr), SEEK_SET) != 0) return -1;
                if (a->read(size - hdr, trak) != 0) return -1;
            }
        }
        pos += size;
    }
    return 0;
}

uint32_t mp4_demuxer::usable(const atom_trak* t) const
{
    if (!t) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(t->samples.size(), t->saved_len / kvhead::kRecord));
}

int mp4_demuxer::do_after_read_all()
{
    auto* free_box = static_cast<atom_free*>(m_root->find_child_atom("free"));
    if (!free_box) return -1;
    std::vector<atom_basic*> traks;
    m_root->find_all_child_atom("trak", traks);
    for (atom_basic* a : traks) {
        auto* t = static_cast<atom_trak*>(a);
        if (t->kind == 1) m_audio = t;
        else if (t->kind == 0) m_video = t;
    }
    for (atom_trak* t : {m_video, m_audio}) {
        if (!t) continue;
        auto rec = std::find_if(free_box->records.begin(), free_box->records.end(),
                                [t](const atom_free::record& r) { return r.id == t->track_id; });
        if (rec == free_box->records.end()) return -1;
        t->saved_heads = rec->data;
        t->saved_len = rec->len;
        // Only samples with a saved head can be given back.
        t->samples.resize(usable(t));
        t->next_sample = 0;
        if (!t->pos_sorted) {
            t->by_pos.resize(t->samples.size());
            for (uint32_t i = 0; i < t->by_pos.size(); ++i) t->by_pos[i] = i;
            std::stable_sort(t->by_pos.begin(), t->by_pos.end(),
                             [t](uint32_t a, uint32_t b) { return t->samples[a].pos < t->samples[b].pos; });
        }
    }
    if (atom_basic* mdat = m_root->find_child_atom("mdat")) m_pos = static_cast<uint64_t>(mdat->file_pos());

    if (m_video) {
        atom_trak* v = m_video;
        uint32_t n = usable(v);
        auto head = [v](uint32_t k) { return v->saved_heads + size_t(k) * kvhead::kRecord; };
        auto time = [&](uint32_t k) { return rd_le64(head(k) + kvhead::kTime); };
        uint32_t keyframes = 0;
        for (uint32_t k = 0; k < n; ++k)
            if (head(k)[kvhead::kType] == 'I' || head(k)[kvhead::kType] == 'V') ++keyframes;
        auto* stss = static_cast<atom_stss*>(v->find_child_atom("stss"));
        // The sync-sample table stands for the key frames only when it names exactly as many
        // samples as the saved heads have key frames, all of them samples with a head.
        bool use_stss = stss && keyframes > 0 && stss->samples.size() == keyframes &&
                        std::all_of(stss->samples.begin(), stss->samples.end(),
                                    [n](uint32_t s) { return s >= 1 && s <= n; });
        v->keys.clear();
        if (!use_stss) {
            uint64_t ref = 0;
            bool have_ref = false;
            for (uint32_t k = 0; k < n; ++k) {
                uint8_t ft = head(k)[kvhead::kType];
                uint64_t pos = v->samples[k].pos;
                if (ft == 'I') { ref = pos; have_ref = true; }
                if (ft == 'I' || ft == 'V') v->keys.push_back({time(k), pos, have_ref ? ref : pos, 0});
            }
        } else {
            for (uint32_t s : stss->samples) {
                uint64_t pos = v->samples[s - 1].pos;
                v->keys.push_back({time(s - 1), pos, pos, 0});
            }
        }
        v->keys_sorted = std::is_sorted(v->keys.begin(), v->keys.end(),
                                        [](const atom_trak::key_entry& a, const atom_trak::key_entry& b) {
                                            return a.time < b.time;
                                        });
        // A file that starts with the reference of a 'V' frame starts at that frame: the
        // reference is delivered only for it, with the mark bit.
        if (n > 1 && head(1)[kvhead::kType] == 'V') {
            m_mark_next = 0;
            if (!v->keys.empty()) v->keys[0].ref_only = 1;
        }
    }
    return 0;
}

int64_t mp4_demuxer::sample_at(const atom_trak* t, uint64_t pos) const
{
    if (!t || t->samples.empty()) return -1;
    if (t->pos_sorted) {
        auto it = std::lower_bound(t->samples.begin(), t->samples.end(), pos,
                                   [](const mp4_sample& s, uint64_t p) { return s.pos < p; });
        if (it != t->samples.end() && it->pos == pos) return it - t->samples.begin();
        return -1;
    }
    auto it = std::lower_bound(t->by_pos.begin(), t->by_pos.end(), pos,
                               [t](uint32_t i, uint64_t p) { return t->samples[i].pos < p; });
    if (it != t->by_pos.end() && t->samples[*it].pos == pos) return *it;
    return -1;
}

bool mp4_demuxer::read_at(uint64_t pos, uint8_t* dst, uint32_t len)
{
    if (pos != m_fpos) {
        if (m_file.fseek(static_cast<int64_t>(pos), SEEK_SET) != 0) return false;
        m_fpos = pos;
    }
    if (m_file.read(dst, len) != 1) {
        m_fpos = UINT64_MAX; // unknown: seek next time
        return false;
    }
    m_fpos += len;
    return true;
}

void mp4_demuxer::ff_avc_unparse_nal_units(uint8_t* buf, uint32_t size)
{
    uint32_t at = 0;
    while (size - at >= 4) {
        uint32_t n = rd_be32(buf + at);
        if (n > size - at - 4) break; // a unit that does not lie within the sample
        buf[at] = 0; buf[at + 1] = 0; buf[at + 2] = 0; buf[at + 3] = 1;
        at += 4 + n;
    }
}

int mp4_demuxer::ReadFrame(uint8_t* buf, int capacity, int& size)
{
    size = 0;
    if (!m_root || !buf || capacity <= 0) return -1;
    atom_trak* t = nullptr;
    int64_t idx = -1;
    for (atom_trak* c : {m_video, m_audio})
        if (!t && c && c->next_sample < c->samples.size() && c->samples[c->next_sample].pos == m_pos) {
            t = c;
            idx = c->next_sample;
        }
    for (atom_trak* c : {m_video, m_audio})
        if (!t && (idx = sample_at(c, m_pos)) >= 0) t = c;
    if (!t) return -1;

    const mp4_sample& s = t->samples[size_t(idx)];
    const uint8_t* head = t->saved_heads + size_t(idx) * kvhead::kRecord;
    uint64_t cap = static_cast<uint64_t>(capacity);
    uint32_t delivered = s.size;

    if (t == m_video) {
        if (kvhead::kSize + uint64_t(s.size) > cap) return -1;
        if (!read_at(s.pos, buf + kvhead::kSize, s.size)) return -1;
        std::memcpy(buf, head, kvhead::kSize);
        ff_avc_unparse_nal_units(buf + kvhead::kSize, s.size);
        if (m_mark_next == 0) {
            buf[kvhead::kFlags + 1] |= 1;
            m_mark_next = 1;
        }
    } else {
        // Block heads the writer removed go back in front of each block.
        uint32_t fsize = rd_le32(head + kvhead::kFrameSize);
        uint32_t block = rd_le16(head + kvhead::kBlock);
        if (block <= 4 || (fsize && fsize % block != 0)) block = fsize;
        uint32_t blocks = block ? fsize / block : 0;
        bool heads = block > 4 && blocks > 0 && uint64_t(s.size) + 4ull * blocks == fsize &&
                     head[40] == 0 && head[41] == 1 && rd_le16(head + 42) == (block - 4) / 2;
        if (heads) {
            if (kvhead::kSize + uint64_t(fsize) > cap) return -1;
            uint8_t* data = buf + kvhead::kSize;
            if (!read_at(s.pos, data + 4 * blocks, s.size)) return -1;
            for (uint32_t i = 0; i < blocks; ++i) {
                uint8_t* dst = data + size_t(i) * block;
                std::memmove(dst + 4, data + 4 * size_t(blocks) + size_t(i) * (block - 4), block - 4);
                dst[0] = 0;
                dst[1] = 1;
                wr_le16(dst + 2, static_cast<uint16_t>((block - 4) / 2));
            }
            delivered = fsize;
        } else {
            if (kvhead::kSize + uint64_t(s.size) > cap) return -1;
            if (!read_at(s.pos, buf + kvhead::kSize, s.size)) return -1;
        }
        std::memcpy(buf, head, kvhead::kSize);
    }
    // The head describes the payload it comes with.
    wr_le32(buf + kvhead::kFrameSize, delivered);
    size = static_cast<int>(kvhead::kSize + delivered);
    t->next_sample = static_cast<uint32_t>(idx + 1);
    m_pos = s.pos + s.size;
    if (t == m_video && m_pending) {
        m_pos = m_pending;
        m_pending = 0;
    }
    return 0;
}

int mp4_demuxer::SeekByTime(uint64_t time)
{
    if (!m_video || m_video->keys.empty()) return -1;
    const std::vector<atom_trak::key_entry>& keys = m_video->keys;
    auto from = keys.begin();
    if (m_video->keys_sorted)
        from = std::lower_bound(keys.begin(), keys.end(), time,
                                [](const atom_trak::key_entry& e, uint64_t t) { return e.time < t; });
    for (auto it = from; it != keys.end(); ++it) {
        const atom_trak::key_entry& e = *it;
        if (e.time < time || e.ref_only) continue;
        if (e.pos == e.ref_pos) {
            m_pos = e.pos;
            m_pending = 0;
            m_mark_next = 1;
        } else {
            m_pos = e.ref_pos;
            m_pending = e.pos;
            m_mark_next = 0;
        }
        return 0;
    }
    return -1;
}

int mp4_demuxer::get_total_key_frame_count() const
{
    if (!m_video) return 0;
    int n = 0;
    for (uint32_t k = 0, e = usable(m_video); k < e; ++k) {
        uint8_t ft = m_video->saved_heads[size_t(k) * kvhead::kRecord + kvhead::kType];
        if (ft == 'I' || ft == 'V') ++n;
    }
    return n;
}

int mp4_demuxer::GetKeyFrameCount() const { return get_total_key_frame_count(); }

int mp4_demuxer::SeekByKeyFrameIndex(int index)
{
    if (!m_video || index < 0) return -1;
    int seen = 0;
    for (uint32_t k = 0, e = usable(m_video); k < e; ++k) {
        const uint8_t* h = m_video->saved_heads + size_t(k) * kvhead::kRecord;
        if (h[kvhead::kType] != 'I' && h[kvhead::kType] != 'V') continue;
        if (seen++ == index) return SeekByTime(rd_le64(h + kvhead::kTime));
    }
    return -1;
}

int mp4_demuxer::GetTimeRange(uint64_t& first, uint64_t& last) const
{
    uint32_t n = usable(m_video);
    if (!n) return -1;
    const uint8_t* h = m_video->saved_heads;
    first = rd_le64(h + kvhead::kTime);
    if (n > 1 && h[kvhead::kRecord + kvhead::kType] == 'V') first = rd_le64(h + kvhead::kRecord + kvhead::kTime);
    last = rd_le64(h + size_t(n - 1) * kvhead::kRecord + kvhead::kTime);
    return 0;
}
