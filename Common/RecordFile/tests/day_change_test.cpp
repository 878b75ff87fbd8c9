// The format writers report a new UTC day with 2, after writing the frame.
#include <gtest/gtest.h>

#include <memory>

#include "avi_record_file.h"
#include "private_record_file.h"
#include "test_util.h"

TEST(DayChange, FormatWritersReturnTwoOnTheTenthKeyFrame)
{
    // Key frames one minute apart from 23:55 UTC, a 'P' and an audio frame between them:
    // only key frames are counted; the 5th (23:59) records the day, the 10th (00:04) is
    // on the next day.
    const uint64_t t0 = 1710028500ull * 1000000ull;  // 2024-03-09 23:55:00 UTC
    for (int fmt = 0; fmt < 2; fmt++) {
        SCOPED_TRACE(fmt ? "avi" : "private");
        TempDir tmp;
        std::unique_ptr<CBaseRecordFile> w;
        if (fmt)
            w = std::make_unique<CKVAVIRecordFile>();
        else
            w = std::make_unique<CKVPrivateRecordFile>();
        ASSERT_EQ(0, w->Open(tmp.Path("d").c_str(), false));
        for (int i = 0; i < 12; i++) {
            uint64_t t = t0 + (uint64_t)i * 60000000u;
            TestFrame k = MakeFrame('I', (uint32_t)(3 * i + 1), t, 20);
            TestFrame p = MakeFrame('P', (uint32_t)(3 * i + 2), t + 40000, 10);
            TestFrame a = MakeAudio(1, (uint32_t)i + 1, t + 50000, 324, 1);
            int size = (int)k.bytes.size();
            EXPECT_EQ(i == 9 ? 2 : 0, w->WriteFrame(k.bytes.data(), size)) << "key frame " << i;
            EXPECT_GT(w->LastStoredBytes(), 0u) << "2 means written";
            size = (int)p.bytes.size();
            EXPECT_EQ(0, w->WriteFrame(p.bytes.data(), size));
            size = (int)a.bytes.size();
            EXPECT_EQ(0, w->WriteFrame(a.bytes.data(), size));
        }
        uint64_t first = 0, last = 0;
        EXPECT_EQ(0, w->GetTimeRange(first, last));
        EXPECT_EQ(t0, first);
        // The private writer's last time follows key frames only; AVI's every frame.
        EXPECT_EQ(t0 + 11 * 60000000ull + (fmt ? 50000 : 0), last);
        EXPECT_EQ(0, w->Close());
    }
}
