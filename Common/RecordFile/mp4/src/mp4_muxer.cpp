#include "mp4_muxer.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <spandsp.h>
}

#include "mp4_nal.h"

mp4_muxer::mp4_muxer() = default;

mp4_muxer::~mp4_muxer() { close(); }

int mp4_muxer::open(const char* path)
{
    close();
    return m_file.open(path, false);
}

void mp4_muxer::reset()
{
    delete m_root;
    m_root = nullptr;
    m_audio = m_video = nullptr;
    m_mdat = nullptr;
    m_mvhd = nullptr;
    if (m_g726) g726_free(m_g726);
    m_g726 = nullptr;
    m_pcm.clear();
    m_pcm.shrink_to_fit();
    m_g726_rate = 0;
    m_audio_timescale = 0;
    m_last_video_time = m_last_audio_time = 0;
    m_h264 = true;
    m_next_track_id = 1;
    m_audio_added = m_video_added = false;
}

int mp4_muxer::build_root_atom()
{
    if (m_root) return 0;
    m_root = new atom_basic(&m_file, "");
    m_root->add_child(new atom_ftyp(&m_file, m_h264));
    m_mdat = new atom_mdat(&m_file);
    m_root->add_child(m_mdat);
    m_root->update_size();
    // Written at once: the samples follow the "mdat" header.
    return m_root->write_to_file();
}

static atom_basic* moov_with_mvhd(atom_basic* root, mp4file* f, atom_mvhd** mvhd)
{
    atom_basic* moov = root->find_child_atom("moov");
    if (!moov) moov = root->add_child(new atom_moov(f));
    if (!*mvhd) *mvhd = static_cast<atom_mvhd*>(moov->add_child(new atom_mvhd(f)));
    return moov;
}

int mp4_muxer::add_video_track(uint32_t timescale, uint16_t width, uint16_t height, int encode_type)
{
    if (m_video_added) return -1;
    m_h264 = encode_type != 7 && encode_type != 8;
    if (build_root_atom() != 0) return -1;
    atom_basic* moov = moov_with_mvhd(m_root, &m_file, &m_mvhd);
    m_video = new atom_trak(&m_file);
    m_video->kind = 0;
    m_video->track_id = m_next_track_id++;
    m_video->encode_type = encode_type;
    m_video->timescale = timescale;
    m_video->width = width;
    m_video->height = height;
    m_video_timescale = timescale;
    moov->add_child(m_video);
    m_video_added = true;
    return 0;
}

int mp4_muxer::add_audio_track(uint32_t timescale, uint16_t channels, uint16_t bits, int encode_type)
{
    if (m_audio_added) return -1;
    if (encode_type >= 4 && encode_type <= 7) {
        m_g726_rate = encode_type - 2;
        if (m_g726) g726_free(m_g726);
        m_g726 = g726_init(nullptr, m_g726_rate * 8000, G726_ENCODING_LINEAR, G726_PACKING_RIGHT);
        if (!m_g726) return -1;
        encode_type = 0;
        bits = 16;
    }
    if (build_root_atom() != 0) return -1;
    atom_basic* moov = moov_with_mvhd(m_root, &m_file, &m_mvhd);
    m_audio = new atom_trak(&m_file);
    m_audio->kind = 1;
    m_audio->track_id = m_next_track_id++;
    m_audio->encode_type = encode_type;
    m_audio->timescale = timescale;
    m_audio->channels = channels;
    m_audio->bits = bits;
    m_audio_timescale = timescale;
    moov->add_child(m_audio);
    m_audio_added = true;
    return 0;
}

// Audio payloads are blocks of the head's block size, each opened by a 4-byte block head
// (00 01, then half the block's data bytes). Heads are removed only when every block has one,
// so the reader can put each back.
static bool has_block_heads(const uint8_t* p, uint32_t size, uint32_t block)
{
    if (block <= 4 || size % block != 0) block = size;
    if (block <= 4) return false;
    for (uint32_t at = 0; at < size; at += block)
        if (p[at] != 0 || p[at + 1] != 1 || rd_le16(p + at + 2) != (block - 4) / 2) return false;
    return true;
}

int mp4_muxer::WriteFrame(const uint8_t* frame, int size)
{
    m_last_stored = 0;
    if (!m_file.is_open() || !frame || size < kvhead::kSize) return -1;
    uint32_t fsize = rd_le32(frame + kvhead::kFrameSize);
    if (fsize > uint32_t(size - kvhead::kSize)) return -1;
    const uint8_t* payload = frame + kvhead::kSize;
    char type = static_cast<char>(frame[kvhead::kType]);
    int encode = frame[kvhead::kEncode];
    uint64_t time = rd_le64(frame + kvhead::kTime);

    uint8_t rec[kvhead::kRecord] = {0};
    std::memcpy(rec, frame, kvhead::kSize + std::min<uint32_t>(fsize, 8));

    if (type == 'A') {
        if (!m_audio_added &&
            add_audio_track(rd_le32(frame + kvhead::kRate), frame[kvhead::kChannels],
                            frame[kvhead::kBits], encode) != 0)
            return -1;
        uint32_t block = rd_le16(frame + kvhead::kBlock);
        const uint8_t* data = payload;
        uint32_t len = fsize;
        if (has_block_heads(payload, fsize, block)) {
            if (block <= 4 || fsize % block != 0) block = fsize;
            m_scratch.clear();
            for (uint32_t at = 0; at < fsize; at += block)
                m_scratch.insert(m_scratch.end(), payload + at + 4, payload + at + block);
            data = m_scratch.data();
            len = static_cast<uint32_t>(m_scratch.size());
        }
        if (!m_audio->block_size) m_audio->block_size = block;
        if (write_sample(data, static_cast<int>(len), rec, kvhead::kRecord, time, type) != 0) return -1;
        m_last_stored = m_audio->samples.back().size;
    } else {
        if (!m_video_added &&
            add_video_track(90000, rd_le16(frame + kvhead::kWidth), rd_le16(frame + kvhead::kHeight),
                            encode) != 0)
            return -1;
        if (write_sample(payload, static_cast<int>(fsize), rec, kvhead::kRecord, time, type) != 0) return -1;
        m_last_stored = m_video->samples.back().size;
    }
    return m_file.failed() ? -1 : 0;
}

int64_t mp4_muxer::ff_avc_parse_nal_units(const uint8_t* data, int len)
{
    int64_t written = 0;
    for (const nal_unit& u : mp4_split_nal_units(data, static_cast<size_t>(len))) {
        uint8_t n[4];
        wr_be32(n, static_cast<uint32_t>(u.len));
        if (m_file.write(n, 4) < 0 || m_file.write(u.data, static_cast<int64_t>(u.len)) < 0) return -1;
        written += 4 + static_cast<int64_t>(u.len);
    }
    return written;
}

int mp4_muxer::write_sample(const uint8_t* data, int len, const uint8_t* rec, int rec_len,
                            uint64_t time, char frame_type)
{
    int64_t pos = m_file.ftell();
    if (pos < 0) return -1;

    if (frame_type == 'A') {
        if (m_g726) {
            // Each code holds rate-index bits; the buffer is sized for this call.
            size_t samples = size_t(len) * 8 / size_t(m_g726_rate) + 1;
            if (m_pcm.size() < samples) m_pcm.resize(samples);
            int n = g726_decode(m_g726, m_pcm.data(), data, len);
            if (n < 0) n = 0;
            m_scratch.resize(size_t(n) * 2);
            for (int i = 0; i < n; ++i) wr_le16(m_scratch.data() + 2 * i, static_cast<uint16_t>(m_pcm[i]));
            if (m_file.write(m_scratch.data(), int64_t(n) * 2) < 0) return -1;
            uint8_t fixed[kvhead::kRecord];
            std::memcpy(fixed, rec, kvhead::kRecord);
            fixed[kvhead::kBits] = 16;
            wr_le32(fixed + kvhead::kFrameSize, static_cast<uint32_t>(n) * 2);
            m_audio->update_samle_info(static_cast<uint64_t>(pos), static_cast<uint32_t>(n) * 2, time, false);
            m_audio->add_extra_data(fixed, rec_len, frame_type, true);
        } else {
            if (m_file.write(data, len) < 0) return -1;
            m_audio->update_samle_info(static_cast<uint64_t>(pos), static_cast<uint32_t>(len), time, false);
            m_audio->add_extra_data(rec, rec_len, frame_type, false);
        }
        m_last_audio_time = time;
        return 0;
    }
    int64_t written = ff_avc_parse_nal_units(data, len);
    if (written < 0) return -1;
    bool key = frame_type == 'I';
    m_video->update_samle_info(static_cast<uint64_t>(pos), static_cast<uint32_t>(written), time, key);
    m_last_video_time = time;
    if (key && m_video->first_key.empty()) {
        size_t n = std::min<size_t>(static_cast<size_t>(len), 1024);
        m_video->first_key.assign(data, data + n);
        m_video->first_key_cut = static_cast<size_t>(len) > n;
    }
    m_video->add_extra_data(rec, rec_len, frame_type, false);
    return 0;
}

int mp4_muxer::write_free_tag()
{
    std::vector<atom_trak*> tracks;
    for (atom_trak* t : {m_video, m_audio})
        if (t && !t->saved.empty()) tracks.push_back(t);
    if (tracks.empty()) return 0;
    uint64_t total = 16 + 24 * tracks.size();
    for (atom_trak* t : tracks) total += t->saved.size();
    if (total > 0xFFFFFFFFull) return -1;
    atom_buffer h(16);
    h.u32(static_cast<uint32_t>(total));
    h.fourcc("free");
    h.u32(static_cast<uint32_t>(tracks.size()));
    h.u32(0);
    if (m_file.write(h.data(), 16) < 0) return -1;
    for (atom_trak* t : tracks) {
        atom_buffer r(24);
        r.u32(t->track_id);
        r.u32(static_cast<uint32_t>(t->saved.size() / kvhead::kRecord));
        r.u32(static_cast<uint32_t>(t->saved.size()));
        r.u32(0);
        r.u64(static_cast<uint64_t>(m_file.ftell()));
        if (m_file.write(r.data(), 24) < 0) return -1;
        if (m_file.write(t->saved.data(), static_cast<int64_t>(t->saved.size())) < 0) return -1;
    }
    return 0;
}

int mp4_muxer::close()
{
    if (!m_file.is_open()) {
        reset();
        return 0;
    }
    int r = 0;
    uint64_t data_bytes = 0, longest_ms = 0;
    for (atom_trak* t : {m_video, m_audio}) {
        if (!t) continue;
        t->build_chunks_write();
        t->build_atoms(m_h264, m_force64);
        data_bytes += t->total_bytes;
        longest_ms = std::max(longest_ms, t->duration_ms());
    }
    if (m_root) {
        if (m_mvhd) {
            m_mvhd->duration_ms = longest_ms;
            m_mvhd->next_track_id = m_next_track_id;
        }
        m_root->write();
        m_root->update_size();
        if (m_root->write_to_file() != 0) r = -1;
        if (m_mdat->update_file_size(data_bytes, m_force64) != 0) r = -1;
        if (write_free_tag() != 0) r = -1;
    }
    reset();
    if (m_file.close() != 0) r = -1;
    return r;
}
