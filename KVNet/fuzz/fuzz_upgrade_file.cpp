// Firmware file validation: the head, the part table and the parts must stay inside the
// file whatever the counts, offsets and lengths say. Input: one byte choosing the upgrade
// type, then the file.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crc32.h"
#include "upgrade_proto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const uint32_t types[] = {3, 6, 4, 5, 7, 0, 2, 8};
    const uint32_t type = types[data[0] & 7];
    // An exact-size copy so any read beyond the file is caught.
    std::vector<uint8_t> file(data + 1, data + size);
    std::vector<kvupg::Part> parts;
    const kvupg::FileError e = kvupg::ValidateFirmware(type, file.data(), file.size(), &parts);
    if (e != kvupg::FileError::kNone)
        return 0;
    if (kvupg::IsPartType(type)) {
        // What the upgrade then does with a valid file: the start request and the parts.
        auto body = kvupg::PartsStartBody(1, file.data(), parts.size(), "f.bin");
        if (body.size() != 536 + 92 * parts.size())
            __builtin_trap();
        uint32_t crc = 0;
        for (const auto& p : parts)
            crc = kv_crc32_update(crc, file.data() + p.offset, p.length);
        volatile uint32_t sink = crc;
        (void)sink;
    }
    // Names from arbitrary text.
    std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* name = kvupg::FileName(path.c_str());
    auto plain = kvupg::PlainStartBody(1, static_cast<uint32_t>(file.size()), name);
    if (plain.size() != 328)
        __builtin_trap();
    return 0;
}
