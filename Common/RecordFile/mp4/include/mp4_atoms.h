// The box tree shared by the MP4 writer and reader: one class per box type.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "mp4_bytes.h"
#include "mp4file.h"

class atom_trak;
class mp4_muxer;

class atom_basic {
public:
    atom_basic(mp4file* file, const char* type, size_t builtin = 0);
    virtual ~atom_basic();
    atom_basic(const atom_basic&) = delete;
    atom_basic& operator=(const atom_basic&) = delete;

    // Serialises the box into its own buffer (containers: an 8-byte header), then the children.
    virtual int write();
    // Parses a payload of len bytes whose header the reader consumed; 0 or -1 when malformed.
    virtual int read(uint64_t len, atom_trak* trak);

    void set_type(const char* type);
    const char* type() const { return m_type; }
    bool is(const char* type) const;

    virtual uint64_t update_size();
    int write_to_file();
    atom_basic* find_child_atom(const char* type);
    void find_all_child_atom(const char* type, std::vector<atom_basic*>& out);
    void delete_child_atom();
    // Takes ownership of the child.
    atom_basic* add_child(atom_basic* child);

    atom_basic* parent() const { return m_parent; }
    const std::vector<atom_basic*>& children() const { return m_children; }
    uint64_t total_size() const { return m_total; }
    uint64_t length() const { return m_len; }
    int64_t file_pos() const { return m_pos; }
    void set_file_pos(int64_t p) { m_pos = p; }
    const uint8_t* bytes() const { return m_data; }

protected:
    // Makes the box's own bytes the buffer's content.
    void publish() { m_data = m_buf.data(); m_len = m_buf.size(); }
    int write_children();
    // Reads the payload into its own block; false on a short read.
    bool load(uint64_t len);

    mp4file* m_file;
    char m_type[5] = {0, 0, 0, 0, 0};
    const uint8_t* m_data = nullptr;
    uint64_t m_len = 0;
    int64_t m_pos = 0;
    bool m_written = false;
    uint64_t m_total = 0;
    atom_basic* m_parent = nullptr;
    std::vector<atom_basic*> m_children;
    atom_buffer m_buf;
    std::unique_ptr<uint8_t[]> m_loaded; // a payload read from the file
};

struct atom_moov : atom_basic { explicit atom_moov(mp4file* f) : atom_basic(f, "moov") {} };
struct atom_mdia : atom_basic { explicit atom_mdia(mp4file* f) : atom_basic(f, "mdia") {} };
struct atom_minf : atom_basic { explicit atom_minf(mp4file* f) : atom_basic(f, "minf") {} };
struct atom_dinf : atom_basic { explicit atom_dinf(mp4file* f) : atom_basic(f, "dinf") {} };
struct atom_stbl : atom_basic { explicit atom_stbl(mp4file* f) : atom_basic(f, "stbl") {} };

class atom_ftyp : public atom_basic {
public:
    atom_ftyp(mp4file* f, bool avc1 = true);
    int write() override { return 0; }
};

// 8-byte "free" then the "mdat" header; the sample data follow in the file.
class atom_mdat : public atom_basic {
public:
    explicit atom_mdat(mp4file* f);
    int write() override { return 0; }
    // Its two headers carry their own sizes; the final one comes from update_file_size.
    uint64_t update_size() override { return m_total = m_len; }
    // Puts the final size of data_bytes sample bytes into the header written earlier.
    int update_file_size(uint64_t data_bytes, bool force64 = false);
};

class atom_mvhd : public atom_basic {
public:
    explicit atom_mvhd(mp4file* f) : atom_basic(f, "mvhd", 108) {}
    int write() override;
    uint64_t duration_ms = 0;
    uint32_t next_track_id = 1;
};

class atom_tkhd : public atom_basic {
public:
    explicit atom_tkhd(mp4file* f) : atom_basic(f, "tkhd", 104) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    uint32_t track_id = 0;
    uint64_t duration_ms = 0;
    bool audio = false;
    uint16_t width = 0, height = 0;
};

class atom_mdhd : public atom_basic {
public:
    explicit atom_mdhd(mp4file* f) : atom_basic(f, "mdhd", 48) {}
    int write() override;
    uint32_t timescale = 0;
    uint64_t duration = 0;
    uint16_t language = 0x55C4;
};

class atom_hdlr : public atom_basic {
public:
    explicit atom_hdlr(mp4file* f) : atom_basic(f, "hdlr", 45) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    bool audio = false;
};

class atom_vmhd : public atom_basic {
public:
    explicit atom_vmhd(mp4file* f) : atom_basic(f, "vmhd", 20) {}
    int write() override;
};

class atom_smhd : public atom_basic {
public:
    explicit atom_smhd(mp4file* f) : atom_basic(f, "smhd", 16) {}
    int write() override;
};

class atom_dref : public atom_basic {
public:
    explicit atom_dref(mp4file* f) : atom_basic(f, "dref", 32) {}
    int write() override;
};

class atom_stsd : public atom_basic {
public:
    explicit atom_stsd(mp4file* f) : atom_basic(f, "stsd", 16) {}
    int write() override;
};

// "avc1" or "hvc1" sample entry; its child is the decoder configuration.
class atom_video : public atom_basic {
public:
    atom_video(mp4file* f, bool h264) : atom_basic(f, h264 ? "avc1" : "hvc1", 88) {}
    int write() override;
    uint16_t width = 0, height = 0;
};

class atom_audio : public atom_basic {
public:
    atom_audio(mp4file* f, int encode_type);
    int write() override;
    int encode_type = 0;
    uint16_t channels = 0, bits = 0;
    uint32_t timescale = 0;
    uint32_t block_size = 0; // for the four extra fields of the version-1 entry
};

// Decoder configuration record ("avcC" or "hvcC"), built by the writer.
class atom_config : public atom_basic {
public:
    atom_config(mp4file* f, const char* type, std::vector<uint8_t> record)
        : atom_basic(f, type, 1024), m_record(std::move(record)) {}
    int write() override;
    const std::vector<uint8_t>& record() const { return m_record; }

private:
    std::vector<uint8_t> m_record;
};
struct atom_avcC : atom_config {
    atom_avcC(mp4file* f, std::vector<uint8_t> r) : atom_config(f, "avcC", std::move(r)) {}
};
struct atom_hvcC : atom_config {
    atom_hvcC(mp4file* f, std::vector<uint8_t> r) : atom_config(f, "hvcC", std::move(r)) {}
};

class atom_stts : public atom_basic {
public:
    explicit atom_stts(mp4file* f) : atom_basic(f, "stts", 4) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    struct entry { uint32_t count; uint32_t duration; };
    std::vector<entry> entries;
};

class atom_stss : public atom_basic {
public:
    explicit atom_stss(mp4file* f) : atom_basic(f, "stss", 4) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    std::vector<uint32_t> samples; // 1-based
};

class atom_stsc : public atom_basic {
public:
    explicit atom_stsc(mp4file* f) : atom_basic(f, "stsc", 4) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    struct entry { uint32_t first_chunk; uint32_t per_chunk; };
    std::vector<entry> entries;
};

class atom_stsz : public atom_basic {
public:
    explicit atom_stsz(mp4file* f) : atom_basic(f, "stsz", 4) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    uint32_t common_size = 0;
    uint32_t count = 0;
    std::vector<uint32_t> sizes; // empty when common_size is set
};

// "stco", or "co64" when set_64 is on.
class atom_stco : public atom_basic {
public:
    atom_stco(mp4file* f, bool co64 = false) : atom_basic(f, co64 ? "co64" : "stco", 4) {}
    int write() override;
    int read(uint64_t len, atom_trak* trak) override;
    std::vector<uint64_t> offsets;
};

// The trailing box with the saved frame heads, as the reader sees it.
class atom_free : public atom_basic {
public:
    explicit atom_free(mp4file* f) : atom_basic(f, "free") {}
    int read(uint64_t len, atom_trak* trak) override;
    struct record { uint32_t id; uint32_t samples; const uint8_t* data; uint32_t len; };
    std::vector<record> records;
};

// Sample of a track: where it lies, how long it is, its time and kind.
struct mp4_sample {
    uint64_t pos;
    uint64_t time;  // microseconds (writer)
    uint32_t size;
    uint8_t flags;  // 1 key sample, 2 other
};

class atom_trak : public atom_basic {
public:
    explicit atom_trak(mp4file* f) : atom_basic(f, "trak") {}

    // Writer side.
    void update_samle_info(uint64_t pos, uint32_t size, uint64_t time, bool key);
    void add_extra_data(const uint8_t* rec, int len, char frame_type, bool decoded);
    void build_chunks_write(uint32_t max_chunk = 0xFFFFF);
    // Fills the track's boxes; false when the track has no samples.
    bool build_atoms(bool h264, bool force_co64);
    atom_basic* build_stbl_tag(bool h264, bool force_co64);
    // Sample k's duration in timescale units, from the frame times.
    std::vector<uint32_t> sample_durations() const;
    // The track's duration in 1/1000 s, rounded up; 0 without a timescale.
    uint64_t duration_ms() const;

    // Reader side: locates every sample from the chunk tables; 0 or -1.
    int build_chunks_read(uint64_t file_size);

    int kind = -1;          // 0 video, 1 audio
    uint32_t track_id = 0;
    int encode_type = 0;
    uint16_t language = 0x55C4;
    uint32_t timescale = 0;
    uint64_t duration = 0;
    uint16_t channels = 0, bits = 0, width = 0, height = 0;
    uint32_t block_size = 0;
    std::vector<mp4_sample> samples;
    uint32_t key_samples = 0;
    uint64_t total_bytes = 0;
    struct chunk { uint64_t offset; uint32_t samples; };
    std::vector<chunk> chunks;
    std::vector<uint8_t> first_key; // start of the first key frame, up to 1024 bytes
    bool first_key_cut = false;     // the key frame was longer than its saved start
    std::vector<uint8_t> saved;     // writer: 48 bytes per sample

    // Reader side.
    const uint8_t* saved_heads = nullptr;
    uint64_t saved_len = 0;
    uint32_t next_sample = 0;
    uint32_t stsz_count = 0;
    struct key_entry { uint64_t time; uint64_t pos; uint64_t ref_pos; uint8_t ref_only; };
    std::vector<key_entry> keys;
    bool keys_sorted = true;        // key times never go backwards: seeks search by halves
    std::vector<uint32_t> by_pos;   // sample indices in file order when positions do not ascend
    bool pos_sorted = true;
};

