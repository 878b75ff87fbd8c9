// Parameter replies, temporary replies, record item deliveries and set bodies, as tables of
// byte layouts and what the caller must see.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "params_parse.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// A structure or element of `size` bytes: StructSize, then bytes tag, tag+1, ...
Bytes Item(uint32_t size, uint8_t tag)
{
    Bytes b;
    Put32(b, size);
    for (uint32_t i = 4; i < size; ++i)
        b.push_back(static_cast<uint8_t>(tag + i));
    return b;
}

struct Entry {
    uint32_t stride;
    Bytes elem;
};

// total, structure, [list bytes, entries]
Bytes ParamReply(const Bytes& st, const std::vector<Entry>* list = nullptr)
{
    Bytes body = st;
    if (list) {
        Bytes l;
        for (const Entry& e : *list) {
            Put32(l, e.stride);
            l.insert(l.end(), e.elem.begin(), e.elem.end());
            l.resize(l.size() + (e.stride > e.elem.size() ? e.stride - e.elem.size() : 0), 0xEE);
        }
        Put32(body, static_cast<uint32_t>(l.size()));
        body.insert(body.end(), l.begin(), l.end());
    }
    Bytes out;
    Put32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

struct Collected {
    std::vector<Bytes> items;
    uint32_t size = 0;
    int nulls = 0;
};

template <uint32_t N>
void CollectN(void* item, void* user)
{
    auto* c = static_cast<Collected*>(user);
    if (!item) {
        ++c->nulls;
        return;
    }
    const uint8_t* p = static_cast<const uint8_t*>(item);
    c->items.emplace_back(p, p + N);
}

TEST(ParamsParse, StructureIsFittedToTheCallersSize)
{
    struct Case {
        const char* name;
        uint32_t deviceSize, S, type, wantStructSize;
    } cases[] = {
        {"short is zero-extended", 40, 64, 505, 64},
        {"type 524 keeps the short size", 40, 64, 524, 40},
        {"long is cut", 100, 64, 505, 64},
        {"long 524 is cut too", 100, 64, 524, 64},
        {"exact", 64, 64, 511, 64},
        {"version block 600 into 588", 600, 588, 502, 588},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes st = Item(c.deviceSize, 0x10);
        // Into a destination, and through a callback: the same bytes.
        Bytes reply = ParamReply(st);
        Bytes dest(c.S + 8, 0xCC);
        ASSERT_TRUE(kvparam::ParseParamReply(reply.data(), reply.size(), dest.data(), c.S, nullptr, 0,
                                             nullptr, nullptr, c.type));
        EXPECT_EQ(Get32(dest.data()), c.wantStructSize);
        for (uint32_t i = 4; i < c.S; ++i)
            ASSERT_EQ(dest[i], i < c.deviceSize ? st[i] : 0) << i;
        for (uint32_t i = c.S; i < dest.size(); ++i)
            ASSERT_EQ(dest[i], 0xCC) << "wrote beyond the caller's size at " << i;

        reply = ParamReply(st);
        Collected got;
        Collected* u = &got;
        auto cb = +[](void* item, void* user) {
            auto* c = static_cast<Collected*>(user);
            const uint8_t* p = static_cast<uint8_t*>(item);
            c->items.emplace_back(p, p + c->size);
        };
        got.size = c.S;
        ASSERT_TRUE(kvparam::ParseParamReply(reply.data(), reply.size(), nullptr, c.S, cb, 0, nullptr, u,
                                             c.type));
        ASSERT_EQ(got.items.size(), 1u);
        EXPECT_EQ(Bytes(dest.begin(), dest.begin() + c.S), got.items[0]);
    }
}

TEST(ParamsParse, ListElementsAreFittedAndBounded)
{
    std::vector<Entry> list = {{272, Item(272, 1)}, {300, Item(20, 2)}, {272, Item(272, 3)}};
    Bytes reply = ParamReply(Item(48, 0), &list);
    Collected got;
    ASSERT_TRUE(kvparam::ParseParamReply(reply.data(), reply.size(), nullptr, 48, nullptr, 28,
                                         CollectN<28>, &got, 505));
    ASSERT_EQ(got.items.size(), 3u);
    for (const Bytes& b : got.items)
        EXPECT_EQ(Get32(b.data()), 28u);
    // The 20-byte element arrives zero-extended.
    EXPECT_EQ(Bytes(got.items[1].begin() + 4, got.items[1].begin() + 20),
              Bytes(list[1].elem.begin() + 4, list[1].elem.end()));
    for (int i = 20; i < 28; ++i)
        EXPECT_EQ(got.items[1][i], 0);
}

TEST(ParamsParse, MalformedRepliesAreRefused)
{
    const Bytes st = Item(48, 0);
    struct Case {
        const char* name;
        Bytes reply;
        size_t wantItemsBeforeFault; // the structure counts as one
    };
    std::vector<Entry> good = {{28, Item(28, 1)}};
    std::vector<Entry> bigElem = {{28, Item(28, 1)}, {16, Item(20, 2)}};
    std::vector<Entry> zero = {{28, Item(28, 1)}, {0, Bytes{0, 0, 0, 0}}};
    Bytes wrongTotal = ParamReply(st);
    wrongTotal[0] += 1;
    Bytes listBeyond = ParamReply(st, &good);
    listBeyond[4 + 48] += 4; // list byte count claims more than arrived
    Bytes structBeyond = ParamReply(Item(48, 0));
    structBeyond[4] = 200;
    Bytes trailing3 = ParamReply(st);
    trailing3.insert(trailing3.end(), {1, 2, 3});
    trailing3[0] += 3;
    Bytes structTiny = ParamReply(Bytes{2, 0, 0, 0});
    Bytes headOnly{4, 0, 0, 0};
    Case cases[] = {
        {"total is not size - 4", wrongTotal, 0},
        {"only the total", headOnly, 0},
        {"list byte count beyond the reply", listBeyond, 1},
        {"structure beyond the reply", structBeyond, 0},
        {"1-3 bytes where the list count belongs", trailing3, 1},
        {"element larger than its stride", ParamReply(st, &bigElem), 2},
        {"zero element does not loop", ParamReply(st, &zero), 2},
        {"structure size below 4", structTiny, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Collected e;
        EXPECT_FALSE(kvparam::ParseParamReply(c.reply.data(), c.reply.size(), nullptr, 48,
                                              CollectN<48>, 28, CollectN<28>, &e, 0));
        EXPECT_EQ(e.items.size(), c.wantItemsBeforeFault);
    }
    Bytes r = ParamReply(st);
    EXPECT_FALSE(kvparam::ParseParamReply(nullptr, 10, nullptr, 48, nullptr, 0, nullptr, nullptr, 0));
    EXPECT_FALSE(kvparam::ParseParamReply(r.data(), 0, nullptr, 48, nullptr, 0, nullptr, nullptr, 0));
    // Caller sizes below 4 are refused before any copy.
    Bytes dest(8, 0xCC);
    EXPECT_FALSE(kvparam::ParseParamReply(r.data(), r.size(), dest.data(), 3, nullptr, 0, nullptr, nullptr, 0));
    EXPECT_EQ(dest, Bytes(8, 0xCC));
}

TEST(ParamsParse, TemporaryReplies)
{
    // No destination: equal items, each fitted to E.
    Bytes run;
    for (uint8_t t = 0; t < 3; ++t) {
        Bytes i = Item(12, t * 16);
        run.insert(run.end(), i.begin(), i.end());
    }
    Collected got;
    ASSERT_TRUE(kvparam::ParseTemporaryParamReply(run.data(), run.size(), nullptr, 0, nullptr, 16,
                                                  CollectN<16>, &got));
    ASSERT_EQ(got.items.size(), 3u);
    EXPECT_EQ(Get32(got.items[2].data()), 16u);
    EXPECT_EQ(got.items[2][11], run[24 + 11]);
    EXPECT_EQ(got.items[2][12], 0);

    Bytes odd = run;
    odd.push_back(0);
    EXPECT_FALSE(kvparam::ParseTemporaryParamReply(odd.data(), odd.size(), nullptr, 0, nullptr, 16,
                                                   CollectN<16>, &got));
    EXPECT_TRUE(kvparam::ParseTemporaryParamReply(run.data(), 0, nullptr, 0, nullptr, 16, CollectN<16>, &got));

    // Destination: total, a 20-byte structure, 10 extra bytes; capacity 8 after S = 32.
    Bytes reply;
    Put32(reply, 24);
    Bytes st = Item(20, 0x40);
    reply.insert(reply.end(), st.begin(), st.end());
    for (uint8_t i = 0; i < 10; ++i)
        reply.push_back(0xA0 + i);
    Bytes dest(32 + 4 + 16, 0xCC);
    const uint32_t cap = 8;
    std::memcpy(dest.data() + 32, &cap, 4);
    ASSERT_TRUE(kvparam::ParseTemporaryParamReply(reply.data(), reply.size(), dest.data(), 32, nullptr, 0,
                                                  nullptr, nullptr));
    EXPECT_EQ(Get32(dest.data()), 32u);
    EXPECT_EQ(dest[19], st[19]);
    EXPECT_EQ(dest[20], 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(dest[36 + i], 0xA0 + i);
    for (size_t i = 44; i < dest.size(); ++i)
        EXPECT_EQ(dest[i], 0xCC) << "capacity exceeded at " << i;

    // Total above S, a structure that does not fit, S of 0: refused, nothing copied.
    Bytes d2(64, 0xCC);
    EXPECT_FALSE(kvparam::ParseTemporaryParamReply(reply.data(), reply.size(), d2.data(), 16, nullptr, 0,
                                                   nullptr, nullptr));
    EXPECT_FALSE(kvparam::ParseTemporaryParamReply(reply.data(), reply.size(), d2.data(), 0, nullptr, 0,
                                                   nullptr, nullptr));
    Bytes cut(reply.begin(), reply.begin() + 16);
    EXPECT_FALSE(kvparam::ParseTemporaryParamReply(cut.data(), cut.size(), d2.data(), 32, nullptr, 0,
                                                   nullptr, nullptr));
    EXPECT_EQ(d2, Bytes(64, 0xCC));

    // An item of length 0 in the walk ends it with false.
    Bytes zeroItem = Item(12, 0);
    zeroItem.resize(24, 0);
    Collected z;
    EXPECT_FALSE(kvparam::ParseTemporaryParamReply(zeroItem.data(), zeroItem.size(), nullptr, 0, nullptr,
                                                   12, CollectN<12>, &z));
    EXPECT_EQ(z.items.size(), 1u);
}

TEST(ParamsParse, ItemDeliveries)
{
    struct Case {
        const char* name;
        uint32_t deviceSize, size, N;
        size_t wantItems;
    } cases[] = {
        {"140 bytes of 20-byte items as 28", 20, 140, 28, 7},
        {"48-byte items as 28, in place", 48, 96, 28, 2},
        {"new record items as 48", 48, 100, 48, 2},
        {"month items as 12", 12, 36, 12, 3},
        {"empty reply", 20, 0, 28, 0},
        {"item size 0", 0, 40, 28, 0},
        {"item size below 4", 2, 40, 28, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes p;
        while (p.size() + c.deviceSize <= c.size && c.deviceSize >= 4) {
            Bytes i = Item(c.deviceSize, static_cast<uint8_t>(p.size()));
            p.insert(p.end(), i.begin(), i.end());
        }
        if (c.deviceSize < 4) {
            p.assign(c.size, 0);
            p[0] = static_cast<uint8_t>(c.deviceSize);
        }
        p.resize(c.size, 0x77);
        const Bytes orig = p;
        Collected got;
        got.size = c.N;
        auto cb = +[](void* item, void* user) {
            auto* g = static_cast<Collected*>(user);
            if (!item) {
                ++g->nulls;
                return;
            }
            ASSERT_EQ(g->nulls, 0) << "item after the end mark";
            const uint8_t* q = static_cast<uint8_t*>(item);
            g->items.emplace_back(q, q + g->size);
        };
        kvparam::DeliverItems(p.empty() ? nullptr : p.data(), c.size, c.N, cb, &got);
        ASSERT_EQ(got.items.size(), c.wantItems);
        EXPECT_EQ(got.nulls, 1);
        for (size_t k = 0; k < got.items.size(); ++k) {
            EXPECT_EQ(Get32(got.items[k].data()), c.N);
            for (uint32_t b = 4; b < c.N; ++b)
                ASSERT_EQ(got.items[k][b], b < c.deviceSize ? orig[k * c.deviceSize + b] : 0);
        }
    }
    // A callback without a user pointer is not called at all.
    Bytes p = Item(28, 0);
    Collected none;
    kvparam::DeliverItems(p.data(), 28, 28, CollectN<28>, nullptr);
    EXPECT_EQ(kvparam::CountItems(p.data(), 28), 1u);
}

TEST(ParamsParse, SetBodies)
{
    Bytes b;
    const Bytes def = Item(12, 1);
    ASSERT_TRUE(kvparam::MakeReqData(def.data(), nullptr, 0, &b));
    ASSERT_EQ(b.size(), 16u);
    EXPECT_EQ(Get32(b.data()), 12u);
    EXPECT_EQ(Bytes(b.begin() + 4, b.end()), def);

    const Bytes st = Item(280, 2);
    Bytes list = Item(272, 3);
    const Bytes second = Item(272, 4);
    list.insert(list.end(), second.begin(), second.end());
    ASSERT_TRUE(kvparam::MakeReqData(st.data(), list.data(), 2, &b));
    ASSERT_EQ(b.size(), 4u + 280 + 4 + 2 * 276);
    EXPECT_EQ(Get32(b.data()), 836u);
    EXPECT_EQ(Get32(b.data() + 284), 552u);
    EXPECT_EQ(Get32(b.data() + 288), 272u);
    EXPECT_EQ(Bytes(b.begin() + 292, b.begin() + 292 + 272), Bytes(list.begin(), list.begin() + 272));
    EXPECT_EQ(Get32(b.data() + 292 + 272), 272u);

    ASSERT_TRUE(kvparam::MakeReqData(nullptr, nullptr, 0, &b));
    EXPECT_TRUE(b.empty());
    ASSERT_TRUE(kvparam::MakeReqData(nullptr, list.data(), 1, &b)); // empty structure stands in
    EXPECT_EQ(Get32(b.data()), 4u + 4 + 276);
    EXPECT_EQ(Get32(b.data() + 4), 4u);

    const Bytes tiny{3, 0, 0, 0};
    EXPECT_FALSE(kvparam::MakeReqData(tiny.data(), nullptr, 0, &b));
    EXPECT_FALSE(kvparam::MakeReqData(st.data(), tiny.data(), 1, &b));
    // 0x10000 elements of 0x100 bytes exceed the 16 MiB message.
    Bytes big = Item(0x100, 0);
    EXPECT_FALSE(kvparam::MakeReqData(st.data(), big.data(), 0x10000, &b));

    Bytes blob = Item(24, 5);
    ASSERT_TRUE(kvparam::LengthPrefixed(blob.data(), &b));
    ASSERT_EQ(b.size(), 28u);
    EXPECT_EQ(Get32(b.data()), 24u);
    EXPECT_EQ(Get32(b.data() + 4), 24u);
}

TEST(ParamsParse, PassthroughElementsAreConcatenated)
{
    std::vector<Entry> list = {{40, Item(24, 1)}, {16, Item(16, 2)}};
    Bytes reply = ParamReply(Item(8, 0), &list);
    Bytes joined = kvparam::ConcatListElements(reply.data(), reply.size());
    Bytes want = list[0].elem;
    want.insert(want.end(), list[1].elem.begin(), list[1].elem.end());
    EXPECT_EQ(joined, want);
    Bytes cut(reply.begin(), reply.end() - 1);
    EXPECT_TRUE(kvparam::ConcatListElements(cut.data(), cut.size()).empty());
    Bytes noList = ParamReply(Item(8, 0));
    EXPECT_TRUE(kvparam::ConcatListElements(noList.data(), noList.size()).empty());
}

TEST(ParamsParse, ExAdaptersStopAtCapacity)
{
    std::vector<Entry> list;
    for (uint8_t i = 0; i < 6; ++i)
        list.push_back({272, Item(272, i)});
    Bytes reply = ParamReply(Item(48, 9), &list);
    Bytes st(48, 0), lb(4 * 272 + 16, 0xCC);
    kvparam::ExAdapter a{st.data(), 48, lb.data(), 272, 4, 0};
    ASSERT_TRUE(kvparam::ParseParamReply(reply.data(), reply.size(), nullptr, 48, kvparam::ParamCallbackEx,
                                         272, kvparam::ListParamCallbackEx, &a, 505));
    EXPECT_EQ(a.count, 4u);
    EXPECT_EQ(lb[3 * 272 + 5], list[3].elem[5]);
    for (size_t i = 4 * 272; i < lb.size(); ++i)
        ASSERT_EQ(lb[i], 0xCC);
    EXPECT_EQ(st[47], Item(48, 9)[47]);
}

} // namespace
