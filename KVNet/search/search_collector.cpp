#include "search_collector.h"

#include <cstring>
#include <string>
#include <unordered_set>

namespace {
void DeliverAndDelete(SearchCollector* c)
{
    c->Deliver();
    delete c;
}
} // namespace

void kv_search_dedup(std::vector<SearchDevRsp>& list)
{
    std::unordered_set<std::string> seen;
    seen.reserve(list.size());
    size_t out = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        const SearchDevRsp& r = list[i];
        // The MAC field need not be terminated: compare within its 36 bytes.
        std::string mac(r.szMac, strnlen(r.szMac, sizeof r.szMac));
        if (!seen.insert(std::move(mac)).second)
            continue;
        if (out != i)
            list[out] = list[i];
        ++out;
    }
    list.resize(out);
}

void SearchCollector::Append(std::vector<SearchDevRsp>& records)
{
    ScopedLock lock(mu_);
    list_.insert(list_.end(), records.begin(), records.end());
}

void SearchCollector::Deliver()
{
    // Only the last holder gets here: no other thread can touch the list any more.
    std::vector<SearchDevRsp> list;
    {
        ScopedLock lock(mu_);
        list.swap(list_);
    }
    kv_search_dedup(list);
    if (!cb_)
        return;
    for (const SearchDevRsp& r : list)
        cb_(&r, user_);
    cb_(nullptr, user_);
}

SearchHolder::SearchHolder(SearchCollector* c)
    : obj_(c), count_(new std::atomic<int64_t>(1)), deleter_(DeliverAndDelete)
{
}

SearchHolder::SearchHolder(const SearchHolder& o) : obj_(o.obj_), count_(o.count_), deleter_(o.deleter_)
{
    if (count_)
        count_->fetch_add(1, std::memory_order_relaxed);
}

SearchHolder::SearchHolder(SearchHolder&& o) noexcept : obj_(o.obj_), count_(o.count_), deleter_(o.deleter_)
{
    o.obj_ = nullptr;
    o.count_ = nullptr;
}

void SearchHolder::Release()
{
    if (!count_)
        return;
    std::atomic<int64_t>* count = count_;
    SearchCollector* obj = obj_;
    count_ = nullptr;
    obj_ = nullptr;
    if (count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete count;
        deleter_(obj);
    }
}
