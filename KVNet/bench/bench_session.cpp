// The client's CPU for one SRP-6a login beside OpenSSL's own SRP client arithmetic for
// the same exchange (a, A, u, x, S: the bound) and one bare 1024-bit modular exponentiation,
// and 256 idle logged-in sessions against the simulated device: threads, memory, idle CPU
// and the heartbeat period.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <openssl/bn.h>
#include <openssl/rand.h>
#include <openssl/srp.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KVNet.h"
#include "dev_connection.h"
#include "srp6/kv_srp6_client.h"

#include "test_kit.h"

namespace {

// The device's side computed once with the library: B for a known verifier.
struct Device {
    std::string I = std::string(64, 'C'), P = "admin123";
    std::string B, salt = "A1B2C3D4E5F60718";
    Device()
    {
        SRP_gN* gN = SRP_get_default_gN("1024");
        BIGNUM* s = nullptr;
        BN_hex2bn(&s, salt.c_str());
        BIGNUM* v = nullptr;
        BIGNUM* sc = BN_dup(s);
        SRP_create_verifier_BN(I.c_str(), P.c_str(), &sc, &v, gN->N, gN->g);
        BIGNUM* b = BN_new();
        BN_rand(b, 256, -1, 0);
        BIGNUM* Bn = SRP_Calc_B(b, gN->N, gN->g, v);
        char* t = BN_bn2hex(Bn);
        B = t;
        OPENSSL_free(t);
        BN_free(s);
        BN_free(sc);
        BN_free(v);
        BN_free(b);
        BN_free(Bn);
    }
};

void BM_SrpClientLogin(benchmark::State& st)
{
    static Device dev;
    kv_srp6_client cl;
    for (auto _ : st) {
        cl.init_user_password({dev.I.data(), 64}, {dev.P.data(), static_cast<uint32_t>(dev.P.size())}, "1024");
        string_piece M1;
        cl.get_M1({dev.B.data(), static_cast<uint32_t>(dev.B.size())},
                  {dev.salt.data(), static_cast<uint32_t>(dev.salt.size())}, &M1);
        benchmark::DoNotOptimize(M1.data);
    }
}

// The bound: OpenSSL's SRP client arithmetic alone for the same exchange (a random a, A,
// u, x and the premaster S), without texts, hashing of proofs or key derivation.
void BM_OpenSslSrpClientArithmetic(benchmark::State& st)
{
    static Device dev;
    SRP_gN* gN = SRP_get_default_gN("1024");
    BIGNUM* B = nullptr;
    BIGNUM* s = nullptr;
    BN_hex2bn(&B, dev.B.c_str());
    BN_hex2bn(&s, dev.salt.c_str());
    for (auto _ : st) {
        BIGNUM* a = BN_new();
        BN_rand(a, 256, -1, 0);
        BIGNUM* A = SRP_Calc_A(a, gN->N, gN->g);
        BIGNUM* u = SRP_Calc_u(A, B, gN->N);
        BIGNUM* x = SRP_Calc_x(s, dev.I.c_str(), dev.P.c_str());
        BIGNUM* S = SRP_Calc_client_key(gN->N, B, gN->g, x, a, u);
        benchmark::DoNotOptimize(S);
        BN_free(a);
        BN_free(A);
        BN_free(u);
        BN_free(x);
        BN_free(S);
    }
    BN_free(B);
    BN_free(s);
}

void BM_BareModExp1024(benchmark::State& st)
{
    SRP_gN* gN = SRP_get_default_gN("1024");
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* e = BN_new();
    BIGNUM* base = BN_new();
    BIGNUM* r = BN_new();
    BN_rand_range(e, gN->N);
    BN_rand_range(base, gN->N);
    for (auto _ : st)
        BN_mod_exp(r, base, e, gN->N, ctx);
    BN_free(e);
    BN_free(base);
    BN_free(r);
    BN_CTX_free(ctx);
}

size_t CountDir(const char* path)
{
    size_t n = 0;
    if (DIR* d = opendir(path)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 2;
}

long RssKb()
{
    FILE* f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = 0;
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld", &kb) == 1)
            break;
    if (f)
        fclose(f);
    return kb;
}

double CpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::atomic<int> gLoggedIn{0};
void OnMsg(unsigned code, void*)
{
    if (code == 101)
        ++gLoggedIn;
}

// One pass: 256 sessions log in to an SRP device, then idle for a measured window.
void BM_IdleSessions256(benchmark::State& st)
{
    const int n = 256;
    const unsigned idleMs = static_cast<unsigned>(st.range(0));
    for (auto _ : st) {
        kvtest::SimProcess sim;
        if (!sim.Start({"--scenario", "device-kind=srp"})) {
            st.SkipWithError("simulator did not start");
            return;
        }
        const size_t threads0 = CountDir("/proc/self/task");
        const long rss0 = RssKb();
        std::vector<DevConnection*> s(n);
        gLoggedIn = 0;
        for (int i = 0; i < n; ++i) {
            KVNetConnectionParam p{};
            p.szAddr = "127.0.0.1";
            p.nPort = sim.tcp_port();
            p.szUser = "admin";
            p.szPwd = "admin123";
            p.bAutoReconnect = 1;
            p.msgCallback = &OnMsg;
            s[i] = KVNetConnectionStartEx(&p);
        }
        const auto t0 = std::chrono::steady_clock::now();
        while (gLoggedIn < n && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(120))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const double loginSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const size_t beats0 = sim.LogLines().size();
        const double cpu0 = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
        const double cpu = CpuSeconds() - cpu0;
        const size_t msgs = sim.LogLines().size() - beats0;
        st.counters["logged_in"] = gLoggedIn.load();
        st.counters["login_all_s"] = loginSec;
        st.counters["threads_added"] = static_cast<double>(CountDir("/proc/self/task") - threads0);
        st.counters["rss_added_kb"] = static_cast<double>(RssKb() - rss0);
        st.counters["idle_cpu_pct"] = 100.0 * cpu / (idleMs / 1000.0);
        // Each heartbeat is logged twice by the device (the envelope and its content).
        st.counters["heartbeats_per_session_per_s"] = msgs / 2.0 / n / (idleMs / 1000.0);
        for (auto*& x : s)
            KVNetConnectionStop(&x);
    }
}

} // namespace

BENCHMARK(BM_SrpClientLogin)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSslSrpClientArithmetic)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareModExp1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleSessions256)->Arg(15000)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
