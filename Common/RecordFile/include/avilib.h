// A small AVI (RIFF) library for the AVI record file. Every chunk carries its frame head
// behind the data (40 bytes video, 48 audio, not counted in the chunk size), key frames
// go to "00db" chunks and other video frames to "00dc", and the file ends behind "idx1"
// with a "JUNK" chunk holding the time of every video frame.
#ifndef KV_AVILIB_H
#define KV_AVILIB_H

#include <stdint.h>

#include <vector>

enum {
    AVI_ERR_NONE = 0,
    AVI_ERR_SIZELIM = 1,
    AVI_ERR_OPEN = 2,
    AVI_ERR_READ = 3,
    AVI_ERR_WRITE = 4,
    AVI_ERR_WRITE_INDEX = 5,
    AVI_ERR_CLOSE = 6,
    AVI_ERR_NOT_PERM = 7,
    AVI_ERR_NO_MEM = 8,
    AVI_ERR_NO_AVI = 9,
    AVI_ERR_NO_HDRL = 10,
    AVI_ERR_NO_MOVI = 11,
    AVI_ERR_NO_VIDS = 12,
    AVI_ERR_NO_IDX = 13
};

// The error of the calling thread's last failing AVI_ call.
extern thread_local int AVI_errno;

#define AVI_MODE_WRITE 0
#define AVI_MODE_READ 1
#define AVI_HEADER_BYTES 2048
#define AVI_VIDEO_RECORD 40
#define AVI_AUDIO_RECORD 48

struct avi_index_entry {
    char     fourcc[4];
    uint32_t flags;
    uint32_t pos;  // absolute offset of the chunk's fourcc
    uint32_t len;  // data bytes
};

struct avi_video_entry {
    uint64_t pos;       // data position
    uint64_t len;
    uint8_t  key;       // seek point: "00db" chunk or 'V' frame
    uint64_t refPos;    // data position of its reference 'I' frame
    uint32_t refIndex;
    uint8_t  refOnly;   // first frame that is only the reference of the 'V' frame behind it
};

struct avi_audio_entry {
    uint64_t pos;
    uint64_t len;
    uint64_t tot;  // audio bytes before this chunk
};

struct avi_handle {
    int      fd = -1;
    int      mode = AVI_MODE_WRITE;
    uint64_t firstTime = 0;  // whole seconds of the first and last chunk
    uint64_t lastTime = 0;
    bool     haveTime = false;

    int      width = 0, height = 0, bitCount = 0;
    double   fps = 0;
    char     compressor[8] = {0};
    int64_t  videoFrames = 0;
    char     videoTag[5] = "00db";
    char     audioTag[5] = "01wb";
    int64_t  videoPos = 0;   // current video frame of a reader

    int      audioFormat = 0, audioChannels = 0, audioRate = 0, audioBits = 0;
    int      audioBlock = 0;  // data bytes per audio chunk
    int64_t  audioBitRate = 0;
    uint64_t audioBytes = 0;
    uint64_t audioChunks = 0;
    int64_t  audioPos = 0;    // current audio chunk
    uint64_t audioPosc = 0;   // byte offset in it
    uint32_t audioScaleRead = 0;

    uint64_t pos = 0;         // writer: current length; reader: read position
    uint64_t fileSize = 0;    // reader
    uint64_t sizeLimit = 0;
    std::vector<avi_index_entry> idx;
    std::vector<avi_video_entry> vidx;
    std::vector<avi_audio_entry> aidx;
    uint64_t lastVideoPos = 0, lastVideoLen = 0;
    int      mustUseIndex = 0;
    uint64_t moviStart = 0;   // just behind "movi"
    std::vector<uint64_t> times;
    bool     timesSorted = false;
    int      headerUpdates = 0;
    int      markNext = 1;          // 0: the next video frame read gets the mark bit
    int      firstEntryCounts = 1;  // 0: the first frame is only a reference
    uint64_t pendingPos = 0;        // chunk to jump to after the next video frame; 0 none
};

// The write size limit (2 000 000 000 bytes); changeable so tests reach it quickly.
void AVI_set_size_limit(uint64_t bytes);
uint64_t AVI_get_size_limit();

avi_handle* AVI_open_output_file(const char* path);
void AVI_set_video(avi_handle* a, int width, int height, double fps, const char* compressor,
                   int bitCount);
void AVI_set_audio(avi_handle* a, int channels, long rate, int bits, int blockBytes,
                   long bitRate, int format);
int AVI_write_frame(avi_handle* a, const uint8_t* data, long len, int keyframe,
                    const uint8_t* head, int headLen);
int AVI_write_audio(avi_handle* a, const uint8_t* data, long len, const uint8_t* head,
                    int headLen);
int AVI_dup_frame(avi_handle* a);
long AVI_bytes_remain(avi_handle* a);
int AVI_close(avi_handle* a);

avi_handle* AVI_open_input_file(const char* path, int getIndex);
// Next frame in file order into buf: 1 video, 2 audio, 0 end or error, -1 / -2 video /
// audio frame larger than the capacity (skipped).
int AVI_read_data(avi_handle* a, uint8_t* buf, long capacity);
void AVI_read_ref_frame_info(avi_handle* a);
void AVI_seek_by_time(avi_handle* a, uint64_t time);
void AVI_get_time_range(avi_handle* a, uint64_t* first, uint64_t* last);
uint64_t AVI_get_first_frame_time(avi_handle* a);
int AVI_repair(const char* path);
int AVI_seek_start(avi_handle* a);
int AVI_set_video_position(avi_handle* a, long frame, long* len);
long AVI_read_frame(avi_handle* a, uint8_t* buf);
long AVI_frame_size(avi_handle* a, long frame);
int AVI_set_audio_position(avi_handle* a, long byte);
int AVI_set_audio_frame(avi_handle* a, long chunk, long* len);
long AVI_read_audio(avi_handle* a, uint8_t* buf, long bytes);

long AVI_video_frames(avi_handle* a);
int AVI_video_width(avi_handle* a);
int AVI_video_height(avi_handle* a);
double AVI_video_frame_rate(avi_handle* a);
const char* AVI_video_compressor(avi_handle* a);
int AVI_audio_channels(avi_handle* a);
int AVI_audio_bits(avi_handle* a);
int AVI_audio_format(avi_handle* a);
long AVI_audio_rate(avi_handle* a);
long AVI_audio_bytes(avi_handle* a);

void AVI_print_error(const char* text);
const char* AVI_strerror();

#endif
