// Per-track work of the MP4 writer (sample table, chunks, the track's boxes) and of the
// reader (locating every sample from the chunk tables).
#include <algorithm>

#include "mp4_atoms.h"
#include "mp4_nal.h"

void atom_trak::update_samle_info(uint64_t pos, uint32_t size, uint64_t time, bool key)
{
    samples.push_back({pos, time, size, uint8_t(key ? 1 : 2)});
    if (key) ++key_samples;
    total_bytes += size;
}

void atom_trak::add_extra_data(const uint8_t* rec, int len, char, bool decoded)
{
    size_t at = saved.size();
    saved.insert(saved.end(), rec, rec + len);
    if (decoded && len >= kvhead::kRecord) {
        saved[at + kvhead::kEncode] = 0;
        std::fill(saved.begin() + at + kvhead::kSize, saved.begin() + at + kvhead::kRecord, 0);
    }
}

std::vector<uint32_t> atom_trak::sample_durations() const
{
    // Sample k lasts until sample k+1 starts; the last repeats the one before it. A gap
    // that runs backwards or beyond 2^31 ticks keeps the previous duration. The remainder
    // is carried so that the times in the file stay on the frame times.
    std::vector<uint32_t> d(samples.size(), 0);
    uint32_t prev = 0;
    __int128 rem = 0;
    for (size_t k = 0; k + 1 < samples.size(); ++k) {
        __int128 gap = __int128(samples[k + 1].time) - __int128(samples[k].time);
        uint32_t cur = prev;
        if (gap >= 0) {
            __int128 num = gap * timescale + rem;
            __int128 ticks = num / 1000000;
            if (ticks <= (__int128(1) << 31)) {
                cur = static_cast<uint32_t>(ticks);
                rem = num % 1000000;
            }
        }
        d[k] = cur;
        prev = cur;
    }
    if (!d.empty()) d.back() = prev;
    return d;
}

void atom_trak::build_chunks_write(uint32_t max_chunk)
{
    chunks.clear();
    uint64_t chunk_end = 0, chunk_bytes = 0;
    for (const mp4_sample& s : samples) {
        if (!chunks.empty() && s.pos == chunk_end && chunk_bytes + s.size <= max_chunk) {
            ++chunks.back().samples;
            chunk_bytes += s.size;
        } else {
            chunks.push_back({s.pos, 1});
            chunk_bytes = s.size;
        }
        chunk_end = s.pos + s.size;
    }
}

static uint64_t to_ms(uint64_t d, uint32_t timescale)
{
    if (!timescale) return 0;
    return static_cast<uint64_t>((__int128(d) * 1000 + timescale - 1) / timescale);
}

bool atom_trak::build_atoms(bool h264, bool force_co64)
{
    if (samples.empty()) return false;
    std::vector<uint32_t> d = sample_durations();
    duration = 0;
    for (uint32_t v : d) duration += v;

    atom_tkhd* tkhd = new atom_tkhd(m_file);
    tkhd->track_id = track_id;
    tkhd->duration_ms = to_ms(duration, timescale);
    tkhd->audio = kind == 1;
    tkhd->width = width;
    tkhd->height = height;
    add_child(tkhd);

    atom_basic* mdia = add_child(new atom_mdia(m_file));
    atom_mdhd* mdhd = new atom_mdhd(m_file);
    mdhd->timescale = timescale;
    mdhd->duration = duration;
    mdhd->language = language;
    mdia->add_child(mdhd);
    atom_hdlr* hdlr = new atom_hdlr(m_file);
    hdlr->audio = kind == 1;
    mdia->add_child(hdlr);
    atom_basic* minf = mdia->add_child(new atom_minf(m_file));
    if (kind == 1) minf->add_child(new atom_smhd(m_file));
    else minf->add_child(new atom_vmhd(m_file));
    atom_basic* dinf = minf->add_child(new atom_dinf(m_file));
    dinf->add_child(new atom_dref(m_file));
    minf->add_child(build_stbl_tag(h264, force_co64));
    return true;
}

uint64_t atom_trak::duration_ms() const { return to_ms(duration, timescale); }

atom_basic* atom_trak::build_stbl_tag(bool h264, bool force_co64)
{
    atom_basic* stbl = new atom_stbl(m_file);
    atom_basic* stsd = stbl->add_child(new atom_stsd(m_file));
    if (kind == 1) {
        atom_audio* a = new atom_audio(m_file, encode_type);
        a->channels = channels;
        a->bits = bits;
        a->timescale = timescale;
        a->block_size = block_size;
        stsd->add_child(a);
    } else {
        atom_video* v = new atom_video(m_file, h264);
        v->width = width;
        v->height = height;
        stsd->add_child(v);
        bool cut = first_key_cut;
        std::vector<uint8_t> rec = h264 ? mp4_build_avcc(first_key.data(), first_key.size(), cut)
                                        : mp4_build_hvcc(first_key.data(), first_key.size(), cut);
        if (!rec.empty()) {
            if (h264) v->add_child(new atom_avcC(m_file, std::move(rec)));
            else v->add_child(new atom_hvcC(m_file, std::move(rec)));
        }
    }

    std::vector<uint32_t> d = sample_durations();
    atom_stts* stts = new atom_stts(m_file);
    for (uint32_t v : d) {
        if (!stts->entries.empty() && stts->entries.back().duration == v) ++stts->entries.back().count;
        else stts->entries.push_back({1, v});
    }
    stbl->add_child(stts);

    if (kind == 0 && key_samples > 0 && key_samples < samples.size()) {
        atom_stss* stss = new atom_stss(m_file);
        stss->samples.reserve(key_samples);
        for (size_t i = 0; i < samples.size(); ++i)
            if (samples[i].flags == 1) stss->samples.push_back(static_cast<uint32_t>(i + 1));
        stbl->add_child(stss);
    }

    atom_stsc* stsc = new atom_stsc(m_file);
    for (size_t i = 0; i < chunks.size(); ++i)
        if (stsc->entries.empty() || stsc->entries.back().per_chunk != chunks[i].samples)
            stsc->entries.push_back({static_cast<uint32_t>(i + 1), chunks[i].samples});
    stbl->add_child(stsc);

    atom_stsz* stsz = new atom_stsz(m_file);
    stsz->count = static_cast<uint32_t>(samples.size());
    bool same = std::all_of(samples.begin(), samples.end(),
                            [&](const mp4_sample& s) { return s.size == samples[0].size; });
    if (same && samples[0].size >= 1) {
        stsz->common_size = samples[0].size;
    } else {
        stsz->sizes.reserve(samples.size());
        for (const mp4_sample& s : samples) stsz->sizes.push_back(s.size);
    }
    stbl->add_child(stsz);

    bool wide = force_co64 || samples.back().pos >= (uint64_t(1) << 32);
    atom_stco* stco = new atom_stco(m_file, wide);
    stco->offsets.reserve(chunks.size());
    for (const chunk& c : chunks) stco->offsets.push_back(c.offset);
    stbl->add_child(stco);
    return stbl;
}

int atom_trak::build_chunks_read(uint64_t file_size)
{
    samples.clear();
    auto* stsz = static_cast<atom_stsz*>(find_child_atom("stsz"));
    auto* stsc = static_cast<atom_stsc*>(find_child_atom("stsc"));
    atom_stco* stco = static_cast<atom_stco*>(find_child_atom("stco"));
    if (!stco) stco = static_cast<atom_stco*>(find_child_atom("co64"));
    auto* stss = static_cast<atom_stss*>(find_child_atom("stss"));
    if (!stsz) return 0;
    uint32_t n = stsz->count;
    // Samples of a common size must fit in the file; a table's size was checked by its box.
    if (stsz->common_size && uint64_t(n) * stsz->common_size > file_size) return -1;
    if (stss)
        for (uint32_t k : stss->samples)
            if (k < 1 || k > n) return -1;
    if (!stsc || !stco) return 0;
    // Only a sample with a saved head in the file can be read back, so no more samples
    // than the file holds heads are worth a record: a forged count cannot buy memory.
    n = uint32_t(std::min<uint64_t>(n, file_size / kvhead::kRecord));
    samples.reserve(n);
    size_t e = 0;
    uint32_t k = 0;
    for (size_t c = 0; c < stco->offsets.size() && k < n; ++c) {
        uint64_t chunk_no = c + 1;
        while (e + 1 < stsc->entries.size() && stsc->entries[e + 1].first_chunk <= chunk_no) ++e;
        if (stsc->entries.empty() || stsc->entries[e].first_chunk > chunk_no) continue;
        uint64_t pos = stco->offsets[c];
        for (uint32_t j = 0; j < stsc->entries[e].per_chunk && k < n; ++j, ++k) {
            uint32_t size = stsz->common_size ? stsz->common_size : stsz->sizes[k];
            samples.push_back({pos, 0, size, 2});
            pos += size;
        }
    }
    pos_sorted = std::is_sorted(samples.begin(), samples.end(),
                                [](const mp4_sample& a, const mp4_sample& b) { return a.pos < b.pos; });
    return 0;
}
