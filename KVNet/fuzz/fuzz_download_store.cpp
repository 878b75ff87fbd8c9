// Received bytes into the record downloads: the first byte chooses the download (list
// into .dat, .avi or .mp4, pictures, named into .dat, .avi or .mp4), the rest arrives on a
// real socket pair and goes through the downloads' pack reader into their storage step.
// Signal packs end files, data packs become frames that the record files store.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "dev_download_record.h"
#include "download_record.h"
#include "fuzz_socketpair.h"

namespace {
const std::string& Dir()
{
    static const std::string dir = [] {
        char t[] = "/tmp/kvfuzz-dl-XXXXXX";
        const char* d = mkdtemp(t);
        return std::string(d ? d : "/tmp");
    }();
    return dir;
}
void Ignore(uint32_t, uint32_t, uint32_t, void*) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const char* kExt[] = {".dat", ".avi", ".mp4"};
    const unsigned mode = data[0] % 7;
    ++data;
    --size;
    const std::string base = Dir() + "/f";
    RecordDetailRsp items[2] = {};
    items[0].StructSize = 28;
    items[0].Size = 1u << 20;
    items[1] = items[0];
    std::unique_ptr<DevDownloadRecord> list;
    std::unique_ptr<DownloadRecord> named;
    if (mode < 4) {
        std::vector<DownloadFileEntry> files(2);
        for (int i = 0; i < 2; ++i)
            snprintf(files[i].path, sizeof files[i].path, "%s%d%s", base.c_str(), i, kExt[mode % 3]);
        list = std::make_unique<DevDownloadRecord>(nullptr, 0, std::vector<RecordDetailRsp>(items, items + 2), files,
                                                   false, false, mode == 3, nullptr, &Ignore, nullptr);
    } else {
        char names[2][512] = {};
        for (int i = 0; i < 2; ++i)
            snprintf(names[i], sizeof names[i], "%sn%d%s", base.c_str(), i, kExt[mode - 4]);
        KVNetDownloadByFileParam p{};
        p.nItemKind = 1;
        p.pItems = items;
        p.pNames = &names[0][0];
        p.nCount = 2;
        p.callback = &Ignore;
        p.nSplitMiB = 1;
        named.reset(DownloadRecord::ByFile(nullptr, p));
    }
    FedWrapper feed(data, size, true);
    kvdl::PackReader reader;
    auto pack = std::make_unique<PackBuf>();
    bool closed = false;
    while (reader.Next(feed.get().fd(), *pack, &closed)) {
        if (list) {
            if (list->Index() >= 2 || !list->EnsureFile())
                break;
            if (list->HandlePack(*pack) == DevDownloadRecord::Step::kStoreFail)
                break;
        } else if (named->HandlePack(*pack) != DownloadRecord::Step::kGoOn) {
            break;
        }
    }
    return 0;
}
