// Dictionaries and named connections: a lookup by C name among 8 and 64
// entries (to compare with BM_HashtabLookup), an array grown one index at a
// time, a three-level structure built and freed, and a server's send to 100
// clients (per client, to compare with BM_TypedmessInt).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kel/kel.h"

namespace {

void BM_DictGetLong(benchmark::State &state)
{
    const long n = state.range(0);
    linklist *d = dict_new(nullptr);
    std::vector<std::string> keys;
    for (long k = 0; k < n; k++) keys.push_back("key" + std::to_string(k));
    for (long k = 0; k < n; k++) dict_appendlong(d, keys[static_cast<size_t>(k)].c_str(), k);
    const char *middle = keys[static_cast<size_t>(n / 2)].c_str();
    long out = 0;
    for (auto _ : state) {
        dict_getlong(d, middle, &out);
        benchmark::DoNotOptimize(out);
    }
    freeobject(d);
}
BENCHMARK(BM_DictGetLong)->Arg(8)->Arg(64);

void BM_DictArraySetGrow(benchmark::State &state)
{
    for (auto _ : state) {
        atom a;
        dictarray_new(&a, 0, nullptr);
        for (long k = 0; k < 100000; k++) dictarray_setlong(&a, k, k);
        freeobject(a.word.w_obj);
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_DictArraySetGrow)->Unit(benchmark::kMillisecond);

// 10,000 atoms in three levels: 10 dictionaries of 10 arrays of 100 atoms.
void BM_DictFreeNested(benchmark::State &state)
{
    for (auto _ : state) {
        atom top_atom;
        linklist *top = dict_new(&top_atom);
        for (int i = 0; i < 10; i++) {
            atom mid_atom;
            linklist *mid = dict_new(&mid_atom);
            for (int j = 0; j < 10; j++) {
                atom arr;
                dictarray_new(&arr, 0, nullptr);
                for (long k = 0; k < 100; k++) dictarray_setlong(&arr, k, k);
                dict_appendatom(mid, "a", &arr);
            }
            dict_appendatom(top, "d", &mid_atom);
        }
        freeobject(top);
    }
}
BENCHMARK(BM_DictFreeNested)->Unit(benchmark::kMillisecond);

struct peer {
    object header;
    peer *link;
    long heard;
};

void *peer_ping(peer *x, void *, void *)
{
    x->heard++;
    return nullptr;
}

void *next_peer(void *c, void ***link)
{
    auto *p = static_cast<peer *>(c);
    *link = reinterpret_cast<void **>(&p->link);
    return p->link;
}

void BM_ConnectionSend(benchmark::State &state)
{
    static kel_class *c = [] {
        kel_class *made = class_new("bench_peer", nullptr, nullptr, sizeof(peer), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&peer_ping), "ping", ATYPE_CANT, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    const long n = state.range(0);
    symbol *name = gensym("bench_connection");
    auto *server = static_cast<peer *>(object_alloc(c));
    connection_server(server, name);
    std::vector<peer *> clients;
    for (long k = 0; k < n; k++) {
        auto *p = static_cast<peer *>(object_alloc(c));
        p->link = nullptr;
        p->heard = 0;
        connection_client(p, name, gensym("bench_peer"), &next_peer);
        clients.push_back(p);
    }
    symbol *ping = gensym("ping");
    for (auto _ : state) connection_send(server, name, ping, nullptr);
    if (clients.back()->heard != static_cast<long>(state.iterations())) state.SkipWithError("a client missed a send");
    state.SetItemsProcessed(state.iterations() * n);  // per client
    for (peer *p : clients) {
        connection_delete(p, name);
        freeobject(p);
    }
    connection_delete(server, name);
    freeobject(server);
}
BENCHMARK(BM_ConnectionSend)->Arg(100);

}  // namespace
