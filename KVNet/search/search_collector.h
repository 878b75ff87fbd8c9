// The shared collector of one search, held through a reference-counted holder: the last
// holder released de-duplicates the records by MAC text, delivers them, then the final
// null record, on the releasing thread, and destroys the collector.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "KVNetTypes.h"
#include "kv_lock.h"

class SearchCollector {
public:
    SearchCollector(KVNetSearchDevCallback cb, void* user, uint8_t variant)
        : cb_(cb), user_(user), variant_(variant)
    {
    }
    uint8_t variant() const { return variant_; }
    // Appends one task's records, in their order of arrival.
    void Append(std::vector<SearchDevRsp>& records);
    // De-duplication and delivery (see above).
    void Deliver();

private:
    KVNetSearchDevCallback cb_;
    void* user_;
    uint8_t variant_;
    Mutex mu_;
    std::vector<SearchDevRsp> list_;
};

// Object pointer, shared 64-bit count, deleter. Copies take a reference; the last
// release runs the deleter.
class SearchHolder {
public:
    SearchHolder() = default;
    explicit SearchHolder(SearchCollector* c);
    SearchHolder(const SearchHolder& o);
    SearchHolder(SearchHolder&& o) noexcept;
    SearchHolder& operator=(const SearchHolder&) = delete;
    SearchHolder& operator=(SearchHolder&&) = delete;
    ~SearchHolder() { Release(); }
    void Release();
    SearchCollector* get() const { return obj_; }

private:
    SearchCollector* obj_ = nullptr;
    std::atomic<int64_t>* count_ = nullptr;
    void (*deleter_)(SearchCollector*) = nullptr;
};

// Keeps the first record of each MAC text (empty texts count as equal), in order.
void kv_search_dedup(std::vector<SearchDevRsp>& list);
