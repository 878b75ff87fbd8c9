// The AVI reader: open with and without the index, read every frame through the record
// class, seek by time, and the index-driven video and audio access of the AVI library.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "avi_record_file.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t opt = data[0];
    FuzzInputFile file(data + 1, size - 1);
    if (!file.ok())
        return 0;
    std::vector<uint8_t> buf((opt & 1) ? 300 : 1 << 16);

    CKVAVIRecordFile r;
    if (r.Open(file.path(), true) == 0) {
        for (int i = 0; i < 4096; i++) {
            int n = (int)buf.size();
            int rc = r.ReadFrame(buf.data(), n);
            if (rc != 0) {
                // -1 for a frame too large for the buffer goes on with the next one.
                if (r.Handle()->pos + 8 > r.Handle()->fileSize)
                    break;
                continue;
            }
            if (n < 40 || n > (int)buf.size())
                __builtin_trap();
        }
        uint64_t first = 0, last = 0;
        r.GetTimeRange(first, last);
        const uint64_t times[] = {0, first, last, (first + last) / 2 + 1, ~0ull};
        for (uint64_t t : times) {
            r.SeekByTime(t);
            for (int i = 0; i < 3; i++) {
                int n = (int)buf.size();
                r.ReadFrame(buf.data(), n);
            }
        }
        avi_handle* a = r.Handle();
        long frames = AVI_video_frames(a);
        for (long f = 0; f < frames && f < 64; f++) {
            long len = 0;
            if (AVI_set_video_position(a, f, &len) != 0)
                break;
            if (len >= 0 && (size_t)len <= buf.size())
                AVI_read_frame(a, buf.data());
            AVI_frame_size(a, f);
        }
        AVI_set_audio_position(a, 100);
        AVI_read_audio(a, buf.data(), (long)buf.size());
        long len = 0;
        AVI_set_audio_frame(a, 0, &len);
        AVI_read_audio(a, buf.data(), 64);
        AVI_seek_start(a);
        AVI_get_first_frame_time(a);
        r.Close();
    }
    avi_handle* a = AVI_open_input_file(file.path(), 0);
    if (a) {
        for (int i = 0; i < 4096; i++)
            if (AVI_read_data(a, buf.data(), (long)buf.size()) == 0)
                break;
        AVI_close(a);
    }
    return 0;
}
