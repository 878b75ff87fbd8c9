/* WS-Discovery search: one Probe by UDP multicast, answers turned into search records,
 * duplicates removed by MAC text, delivery at the end on the search's own thread. */
#ifndef KVONVIF_SEARCH_H
#define KVONVIF_SEARCH_H

#include <atomic>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KVNetTypes.h"

class wsddProxy;

namespace kvonvif {

/* Timing and size rules of one search; tests may shorten nothing here, the defaults are
 * what the interface uses. */
struct search_rules {
    int min_listen_ms = 600;    // devices may wait up to 500 ms before answering
    int silence_ms = 250;       // then the search ends after this long without a datagram
    int max_total_ms = 5000;    // hard end, so a chatty host cannot hold the caller
    size_t max_records = 2048;  // usable answers kept at most
    const char* endpoint = "soap.udp://239.255.255.250:3702/";
};

/* Fills rec (zeroed by the caller) from one ProbeMatch; true when the answer is usable
 * (an "http://" address with a port from 1 to 65535). Any of the texts may be null. */
bool probe_match_to_record(const char* xaddrs, const char* epr_address, const char* scopes,
                           SearchDevRsp* rec);

/* Parses one received datagram and converts its first ProbeMatch. Keeps one SOAP
 * context for many datagrams and frees its data after each. */
class probe_parser {
public:
    enum result { unparsable = -1, unusable = 0, usable = 1 };
    probe_parser();
    ~probe_parser();
    probe_parser(const probe_parser&) = delete;
    probe_parser& operator=(const probe_parser&) = delete;
    result parse(const char* data, size_t len, SearchDevRsp* rec);

private:
    wsddProxy* proxy_;
};

/* The result collector of one search; its destruction delivers. */
class search_device_result {
public:
    search_device_result(KVNetSearchDevCallback cb, void* user) : callback_(cb), user_(user) {}
    ~search_device_result();
    void append(std::vector<std::unique_ptr<SearchDevRsp>>& batch);

private:
    KVNetSearchDevCallback callback_;
    void* user_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<SearchDevRsp>> records_;
};

/* The handle of one search. */
class kvonvif_search_device {
public:
    kvonvif_search_device();
    ~kvonvif_search_device();
    kvonvif_search_device(const kvonvif_search_device&) = delete;
    kvonvif_search_device& operator=(const kvonvif_search_device&) = delete;

    void start(const KVNetSearchDevParam& p, const search_rules& rules = search_rules());
    void stop();

    static void run(std::string ifaddr, std::shared_ptr<search_device_result> result,
                    search_rules rules, int cancel_fd);

private:
    std::list<std::future<void>> futures_;
    int cancel_fd_;   // eventfd: a stop wakes the receive loop
};

} // namespace kvonvif

#endif
