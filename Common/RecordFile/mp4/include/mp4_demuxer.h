// MP4 reader: gives back the frames of a file made by mp4_muxer exactly as they were
// received, each with its saved 40-byte head; video as Annex-B with 4-byte start codes.
#pragma once

#include <cstdint>

#include "mp4_atoms.h"
#include "mp4file.h"

class mp4_demuxer {
public:
    mp4_demuxer() = default;
    ~mp4_demuxer() { close(); }
    mp4_demuxer(const mp4_demuxer&) = delete;
    mp4_demuxer& operator=(const mp4_demuxer&) = delete;

    // 0; -1, -2, -3 file errors; -5 another maker's file; -6 no saved heads at the end
    // (a file under 64 bytes, a writer that never closed, a file from elsewhere);
    // -1 inconsistent boxes or a track without saved heads.
    int open(const char* path);
    int close();
    // The frame at the current position into buf (capacity bytes); size = bytes delivered.
    // -1 at the end, or when the frame does not fit (the position stays).
    int ReadFrame(uint8_t* buf, int capacity, int& size);
    int SeekByTime(uint64_t time);
    int SeekByKeyFrameIndex(int index);
    // No side effects: the reference-only mark is settled by open.
    int GetTimeRange(uint64_t& first, uint64_t& last) const;
    int GetKeyFrameCount() const;

private:
    static constexpr int kMaxDepth = 16;

    int get_mp4_file_type();
    int read_atom_tag(atom_basic* parent, uint64_t start, uint64_t len, atom_trak* trak, int depth);
    int do_after_read_all();
    int get_total_key_frame_count() const;
    // Index of the sample of t that starts at pos, or -1.
    int64_t sample_at(const atom_trak* t, uint64_t pos) const;
    bool read_at(uint64_t pos, uint8_t* dst, uint32_t len);
    static void ff_avc_unparse_nal_units(uint8_t* buf, uint32_t size);
    uint32_t usable(const atom_trak* t) const;

    mp4file m_file;
    atom_basic* m_root = nullptr;
    atom_trak* m_audio = nullptr;
    atom_trak* m_video = nullptr;
    uint8_t m_mark_next = 1;   // 0: the next video frame delivered carries the mark bit
    uint64_t m_pending = 0;    // where to go after the next video frame; 0 for nowhere
    uint64_t m_pos = 0;        // current position in the file
    uint64_t m_fpos = 0;       // where the stdio stream stands
    uint64_t m_file_size = 0;
};
