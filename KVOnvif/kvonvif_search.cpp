#include <new>
#include <system_error>
#include "kvonvif_search.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "kvonvif_soap.h"
#include "kvonvif_util.h"
#include "soapwsddProxy.h"
#include "wsaapi.h"

namespace kvonvif {

namespace {

const char kProbeTo[] = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
const char kProbeAction[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe";
const char kProbeTypes[] = "dn:NetworkVideoTransmitter";

// One datagram is at most 64 KiB; nesting and lists of an answer are small.
const soap_limits kDatagramLimits = {65536, 32, 64, 16384};

// Port text: decimal digits right after ':' up to the next '/'. Bounded: more than five
// digits or a value above 65535 is unusable (0).
unsigned parse_port(const char* p, const char* end) {
    unsigned v = 0;
    int digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (++digits > 5) return 0;
        v = v * 10 + (unsigned)(*p - '0');
        ++p;
    }
    return v > 65535 ? 0 : v;
}

// Value of a scope key: starts `skip` characters after the match and runs to the next
// space or the end, at most `max` characters. A start past the end gives no value.
std::string scope_value(const std::string& text, size_t match, size_t skip, size_t max) {
    size_t start = match + skip;
    if (start >= text.size()) return std::string();
    size_t stop = text.find(' ', start);
    if (stop == std::string::npos) stop = text.size();
    size_t n = stop - start;
    if (n > max) n = max;
    return text.substr(start, n);
}

void copy_text(char* dst, size_t cap, const std::string& s) {
    size_t n = s.size() < cap - 1 ? s.size() : cap - 1;
    memcpy(dst, s.data(), n);
    dst[n] = 0;
}

int remaining_ms(std::chrono::steady_clock::time_point until) {
    auto now = std::chrono::steady_clock::now();
    if (now >= until) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    return (int)ms + 1;
}

} // namespace

bool probe_match_to_record(const char* xaddrs, const char* epr, const char* scopes,
                           SearchDevRsp* rec) {
    // 1. Address: host and port of the first "http://" service address.
    unsigned port = 0;
    std::string host;
    const char* h = xaddrs ? strstr(xaddrs, "http://") : nullptr;
    if (h) {
        h += 7;
        const char* stop = strpbrk(h, ":/");
        if (stop) {
            host.assign(h, (size_t)(stop - h));
            if (*stop == ':') {
                const char* slash = strchr(stop + 1, '/');
                port = slash ? parse_port(stop + 1, slash) : 0;
            } else {
                port = 80;
            }
        }
    }
    if (port == 0) return false;
    // The address field holds 51 characters and its terminator; longer hosts are cut.
    copy_text(rec->szIP, sizeof rec->szIP, host);
    rec->nWebPort = port;

    // 2. MAC text: six pairs after the endpoint address's last '-'. A shorter tail gives
    // the pairs it has, never reading past its end.
    const char* dash = epr ? strrchr(epr, '-') : nullptr;
    if (dash) {
        const char* t = dash + 1;
        size_t avail = strlen(t);
        if (avail > 12) avail = 12;
        std::string mac;
        for (size_t i = 0; i < avail; i += 2) {
            if (i) mac += '-';
            mac.append(t + i, avail - i >= 2 ? 2 : 1);
        }
        copy_text(rec->szMac, sizeof rec->szMac, mac);
    }

    // 3. Scopes: device type from "vender", else from "name", else "IPC"; values keep
    // their case, the keys are found regardless of it.
    if (scopes) {
        std::string orig(scopes);
        std::string lower(orig);
        for (char& c : lower) c = (char)tolower((unsigned char)c);
        size_t v = lower.find("vender");
        if (v != std::string::npos) {
            std::string val = scope_value(orig, v, 7, 35);
            copy_text(rec->szDevType, sizeof rec->szDevType, val);
        }
        std::string name = "IPC";
        size_t n = lower.find("name");
        if (n != std::string::npos) name = scope_value(orig, n, 5, 32);
        if (rec->szDevType[0] == 0) copy_text(rec->szDevType, sizeof rec->szDevType, name);
        rec->nChannelCount = 1;
    }
    return true;
}

probe_parser::probe_parser() : proxy_(new wsddProxy(SOAP_IO_UDP)) {
    setup_context(proxy_->soap, kDatagramLimits);
}

probe_parser::~probe_parser() { delete proxy_; }

probe_parser::result probe_parser::parse(const char* data, size_t len, SearchDevRsp* rec) {
    mem_source src{data, len};
    read_from_memory(proxy_->soap, &src);
    struct __wsdd__ProbeMatches pm;
    result r = unparsable;
    if (proxy_->recv_ProbeMatches(pm) == SOAP_OK) {
        r = unusable;
        const wsdd__ProbeMatchesType* m = pm.wsdd__ProbeMatches;
        if (m && m->__sizeProbeMatch > 0 && m->ProbeMatch) {
            const wsdd__ProbeMatchType& first = m->ProbeMatch[0];
            const char* scopes = first.Scopes ? first.Scopes->__item : nullptr;
            if (probe_match_to_record(first.XAddrs, first.wsa__EndpointReference.Address,
                                      scopes, rec))
                r = usable;
        }
    }
    // Free everything of this datagram before the next one.
    proxy_->destroy();
    proxy_->soap->user = nullptr;
    proxy_->soap->error = SOAP_OK;
    return r;
}

search_device_result::~search_device_result() {
    // Duplicates by exact MAC text; the earliest record stays.
    for (size_t i = 0; i + 1 < records_.size(); ++i) {
        if (!records_[i]) continue;
        for (size_t j = i + 1; j < records_.size(); ++j)
            if (records_[j] && strcmp(records_[i]->szMac, records_[j]->szMac) == 0)
                records_[j].reset();
    }
    for (auto& r : records_)
        if (r) callback_(r.get(), user_);
    callback_(nullptr, user_);
}

void search_device_result::append(std::vector<std::unique_ptr<SearchDevRsp>>& batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& r : batch) records_.push_back(std::move(r));
    batch.clear();
}

kvonvif_search_device::kvonvif_search_device()
    : cancel_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

kvonvif_search_device::~kvonvif_search_device() {
    stop();
    futures_.clear();
    if (cancel_fd_ >= 0) close(cancel_fd_);
}

void kvonvif_search_device::start(const KVNetSearchDevParam& p, const search_rules& rules) {
    auto result = std::make_shared<search_device_result>(p.callback, p.user);
    try {
        futures_.push_back(std::async(std::launch::async, &kvonvif_search_device::run,
                                      std::string("0.0.0.0"), result, rules, cancel_fd_));
    } catch (const std::system_error&) {
        // No thread: dropping the last reference below delivers the final call at once.
    }
    // The running task now holds the only reference: its end delivers the results.
    result.reset();
}

void kvonvif_search_device::stop() {
    if (cancel_fd_ >= 0) {
        uint64_t one = 1;
        ssize_t w = write(cancel_fd_, &one, sizeof one);
        (void)w;
    }
    for (auto& f : futures_)
        if (f.valid()) f.wait();
}

void kvonvif_search_device::run(std::string ifaddr, std::shared_ptr<search_device_result> result,
                                search_rules rules, int cancel_fd) {
    seed_random_once();
    std::vector<std::unique_ptr<SearchDevRsp>> found;
    {
        wsddProxy sender(SOAP_IO_UDP);
        struct soap* soap = sender.soap;
        setup_context(soap, kDatagramLimits);
        soap->recv_timeout = -250000;
        soap->send_timeout = 1;
        soap->connect_timeout = 1;
        soap->rcvbuf = 1 << 20;
        struct in_addr mcif;
        if (inet_pton(AF_INET, ifaddr.c_str(), &mcif) != 1) mcif.s_addr = INADDR_ANY;
        soap->ipv4_multicast_if = reinterpret_cast<char*>(&mcif);

        const char* msgid = soap_wsa_rand_uuid(soap);
        sender.soap_header(const_cast<char*>(msgid), nullptr, nullptr, nullptr, nullptr,
                           const_cast<char*>(kProbeTo), const_cast<char*>(kProbeAction),
                           nullptr, nullptr);
        struct wsdd__ProbeType probe;
        soap_default_wsdd__ProbeType(soap, &probe);
        struct wsdd__ScopesType scopes;
        soap_default_wsdd__ScopesType(soap, &scopes);
        scopes.__item = const_cast<char*>("");
        probe.Types = const_cast<char*>(kProbeTypes);
        probe.Scopes = &scopes;

        using clock = std::chrono::steady_clock;
        if (sender.send_Probe(rules.endpoint, kProbeAction, &probe) == SOAP_OK &&
            soap_valid_socket(soap->socket)) {
            int fd = soap->socket;
            // Many devices answer at once: give the socket room beyond the default.
            int big = 4 << 20;
            if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
                setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);

            const auto t0 = clock::now();
            const auto hard_end = t0 + std::chrono::milliseconds(rules.max_total_ms);
            auto quiet_from = t0 + std::chrono::milliseconds(rules.min_listen_ms);
            probe_parser parser;
            std::vector<char> buf(65536);
            bool done = false;
            while (!done) {
                auto end = quiet_from + std::chrono::milliseconds(rules.silence_ms);
                if (end > hard_end) end = hard_end;
                int wait = remaining_ms(end);
                if (wait <= 0) break;
                struct pollfd pfd[2] = {{fd, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
                int n = poll(pfd, cancel_fd >= 0 ? 2 : 1, wait);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    break;
                }
                if (n == 0) continue;  // re-checks the end
                if (cancel_fd >= 0 && (pfd[1].revents & POLLIN)) break;
                if (!(pfd[0].revents & POLLIN)) break;
                // Drain what is queued; each datagram is parsed and freed on its own.
                for (;;) {
                    ssize_t len = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
                    if (len < 0) break;
                    auto now = clock::now();
                    if (now > quiet_from) quiet_from = now;
                    std::unique_ptr<SearchDevRsp> rec(new (std::nothrow) SearchDevRsp);
                    if (!rec) break;
                    memset(rec.get(), 0, sizeof *rec);
                    if (parser.parse(buf.data(), (size_t)len, rec.get()) == probe_parser::usable) {
                        found.push_back(std::move(rec));
                        if (found.size() >= rules.max_records) { done = true; break; }
                    }
                    if (now >= hard_end) { done = true; break; }
                }
            }
        }
        sender.destroy();
    }
    if (!found.empty()) result->append(found);
    // Dropping the last reference delivers, still on this thread.
    result.reset();
}

} // namespace kvonvif
