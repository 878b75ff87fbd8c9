// MP4 writer: frames with their 40-byte heads in, an MP4 file with one H.264 or H.265 video
// track, at most one audio track and a trailing "free" box of the saved heads out.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4_atoms.h"
#include "mp4file.h"

struct g726_state_s;

class mp4_muxer {
public:
    mp4_muxer();
    ~mp4_muxer();
    mp4_muxer(const mp4_muxer&) = delete;
    mp4_muxer& operator=(const mp4_muxer&) = delete;

    // 0, or the file's code (-1, -2, -3).
    int open(const char* path);
    // One frame: head and payload. 0, or -1 for a malformed frame, no open file, or after
    // any failed write.
    int WriteFrame(const uint8_t* frame, int size);
    // Finishes and closes the file; 0, or -1 when anything written to it failed.
    int close();

    int add_video_track(uint32_t timescale, uint16_t width, uint16_t height, int encode_type);
    int add_audio_track(uint32_t timescale, uint16_t channels, uint16_t bits, int encode_type);

    // Test seam: "co64" and the 16-byte "mdat" header whatever the size of the file, so the
    // 64-bit layout can be checked without writing 4 GiB.
    void force_64bit_layout(bool on) { m_force64 = on; }

    bool is_open() const { return m_file.is_open(); }
    // Sample bytes the last WriteFrame put into the file.
    uint64_t last_stored() const { return m_last_stored; }

private:
    int build_root_atom();
    int write_sample(const uint8_t* data, int len, const uint8_t* rec, int rec_len, uint64_t time,
                     char frame_type);
    int write_free_tag();
    // Writes Annex-B data as length-prefixed units; the bytes written, or -1.
    int64_t ff_avc_parse_nal_units(const uint8_t* data, int len);
    void reset();

    mp4file m_file;
    atom_basic* m_root = nullptr;
    atom_trak* m_audio = nullptr;
    atom_trak* m_video = nullptr;
    atom_mdat* m_mdat = nullptr;
    atom_mvhd* m_mvhd = nullptr;
    uint32_t m_audio_timescale = 0;
    uint32_t m_video_timescale = 90000;
    uint64_t m_last_video_time = 0;
    uint64_t m_last_audio_time = 0;
    bool m_h264 = true;
    uint32_t m_next_track_id = 1;
    int m_g726_rate = 0;
    std::vector<int16_t> m_pcm;
    g726_state_s* m_g726 = nullptr;
    bool m_audio_added = false;
    bool m_video_added = false;
    bool m_force64 = false;
    std::vector<uint8_t> m_scratch;
    uint64_t m_last_stored = 0;
};
