// Envelope seal and open throughput beside the two primitives it is made of (AES-128-OFB
// and SHA-1 over the same bytes): the bound is 1 / (1/aes + 1/sha1). The bound is taken
// in the same run twice: from the primitives called here, and from `openssl speed` at the
// same sizes (BM_OpenSslSpeedSeries: counters aes, sha1 and their series bound, MB/s).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <vector>

#include "msg_types.h"
#include "srp6/kv_envelope.h"

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kIv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

std::vector<uint8_t> Plain(size_t body)
{
    std::vector<uint8_t> buf(kvenv::kBlock + sizeof(MsgHeadWrap) + body, 0x5A);
    memset(buf.data(), 0, kvenv::kBlock);
    const uint32_t L = kvenv::kBlock, counter = 7;
    memcpy(buf.data(), &L, 4);
    memcpy(buf.data() + 4, &counter, 4);
    MsgHeadWrap h;
    h.MsgType = 111;
    h.MsgSize = static_cast<uint32_t>(body);
    memcpy(buf.data() + kvenv::kBlock, &h, sizeof h);
    return buf;
}

void BM_Seal(benchmark::State& st)
{
    const size_t body = static_cast<size_t>(st.range(0));
    auto tmpl = Plain(body);
    auto buf = tmpl;
    for (auto _ : st) {
        memcpy(buf.data(), tmpl.data(), kvenv::kBlock); // a fresh block each time
        benchmark::DoNotOptimize(kvenv::Seal(kKey, kIv, buf.data(), buf.size()));
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * body));
}

void BM_Open(benchmark::State& st)
{
    const size_t body = static_cast<size_t>(st.range(0));
    auto sealed = Plain(body);
    kvenv::Seal(kKey, kIv, sealed.data(), sealed.size());
    std::vector<uint8_t> buf(sealed.size());
    for (auto _ : st) {
        memcpy(buf.data(), sealed.data(), sealed.size()); // the receive's copy into its buffer
        size_t off, len;
        if (!kvenv::OpenBody(kKey, kIv, buf.data(), buf.size(), &off, &len))
            st.SkipWithError("open failed");
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * body));
}

void BM_AesOfbOnly(benchmark::State& st)
{
    std::vector<uint8_t> buf(static_cast<size_t>(st.range(0)), 1);
    for (auto _ : st) {
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(c, EVP_aes_128_ofb(), nullptr, kKey, kIv);
        int out;
        EVP_EncryptUpdate(c, buf.data(), &out, buf.data(), static_cast<int>(buf.size()));
        EVP_CIPHER_CTX_free(c);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * buf.size()));
}

void BM_Sha1Only(benchmark::State& st)
{
    std::vector<uint8_t> buf(static_cast<size_t>(st.range(0)), 1);
    uint8_t d[20];
    for (auto _ : st) {
        SHA1(buf.data(), buf.size(), d);
        benchmark::DoNotOptimize(d);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * buf.size()));
}

// Bytes per second of one `openssl speed -evp` algorithm at one block size; 0 on failure.
double OpenSslSpeed(const char* algo, long bytes)
{
    const std::string cmd = "openssl speed -mr -seconds 1 -bytes " + std::to_string(bytes) + " -evp " + algo +
                            " 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    if (!f)
        return 0;
    char line[512];
    double v = 0;
    while (fgets(line, sizeof line, f)) {
        // "+F:<n>:<name>:<bytes per second>"
        if (strncmp(line, "+F:", 3) == 0) {
            const char* last = strrchr(line, ':');
            if (last)
                v = strtod(last + 1, nullptr);
        }
    }
    pclose(f);
    return v;
}

void BM_OpenSslSpeedSeries(benchmark::State& st)
{
    double aes = 0, sha = 0;
    for (auto _ : st) {
        aes = OpenSslSpeed("aes-128-ofb", st.range(0));
        sha = OpenSslSpeed("sha1", st.range(0));
    }
    if (aes <= 0 || sha <= 0) {
        st.SkipWithError("openssl speed gave no figure");
        return;
    }
    st.counters["aes_MBps"] = aes / 1e6;
    st.counters["sha1_MBps"] = sha / 1e6;
    st.counters["series_bound_MBps"] = 1.0 / (1.0 / aes + 1.0 / sha) / 1e6;
}

} // namespace

BENCHMARK(BM_OpenSslSpeedSeries)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Seal)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Open)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_AesOfbOnly)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1Only)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK_MAIN();
