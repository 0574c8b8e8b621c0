// Named connections: servers and clients in either order, replacement,
// refusal of another server class, deletion from any place, also during a
// walk, and names bound to something else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"

namespace {

using kel::test::console_capture;

std::vector<std::string> g_heard;

struct peer {
    object header;
    const char *label;
    peer *link;  // the clients' own list
    void (*on_send)(peer *self);
};

void *peer_newserver(peer *x, peer *server, void *)
{
    g_heard.push_back(std::string(x->label) + " newserver " + server->label);
    return nullptr;
}
void *peer_freeserver(peer *x, peer *server, void *)
{
    g_heard.push_back(std::string(x->label) + " freeserver " + server->label);
    return nullptr;
}
void *peer_hello(peer *x, peer *server, void *argument)
{
    g_heard.push_back(std::string(x->label) + " hello from " + server->label + " " +
                      static_cast<const char *>(argument));
    if (x->on_send) x->on_send(x);
    return nullptr;
}

void *next_peer(void *client, void ***link)
{
    auto *p = static_cast<peer *>(client);
    *link = reinterpret_cast<void **>(&p->link);
    return p->link;
}

kel_class *peer_class(const char *name)
{
    kel_class *c = class_findbyname(gensym("nobox"), gensym(name));
    if (c) return c;
    c = class_new(name, nullptr, nullptr, sizeof(peer), nullptr, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&peer_newserver), "newserver", ATYPE_CANT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&peer_freeserver), "freeserver", ATYPE_CANT, 0);
    class_addmethod(c, reinterpret_cast<kel_method>(&peer_hello), "hello", ATYPE_CANT, 0);
    class_register(gensym("nobox"), c);
    return c;
}

peer *make(const char *label, const char *cls = "conn_peer")
{
    auto *p = static_cast<peer *>(object_alloc(peer_class(cls)));
    p->label = label;
    p->link = nullptr;
    p->on_send = nullptr;
    return p;
}

class NamedConnection : public ::testing::Test {
protected:
    void SetUp() override { g_heard.clear(); }
    symbol *name =
        gensym(("conn-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name())).c_str());
    symbol *cls = gensym("conn_peer");
    void *join(peer *client) { return connection_client(client, name, cls, &next_peer); }
    void send(peer *server) { connection_send(server, name, gensym("hello"), const_cast<char *>("hi")); }
};

using heard = std::vector<std::string>;

TEST_F(NamedConnection, ClientsBeforeAndAfterTheServer)
{
    peer *a = make("a"), *b = make("b"), *s = make("s");
    EXPECT_EQ(join(a), nullptr);  // no server yet
    EXPECT_NE(connection_server(s, name), nullptr);
    EXPECT_EQ(g_heard, heard{"a newserver s"});
    EXPECT_EQ(join(b), s);
    EXPECT_EQ(join(b), s);  // already linked: not twice
    g_heard.clear();
    send(s);
    EXPECT_EQ(g_heard, (heard{"a hello from s hi", "b hello from s hi"}));

    // A second server: the old one is let go, then the new one arrives.
    peer *t = make("t");
    g_heard.clear();
    connection_server(t, name);
    EXPECT_EQ(g_heard, (heard{"a freeserver s", "b freeserver s", "a newserver t", "b newserver t"}));
    g_heard.clear();
    send(s);  // no longer the server
    EXPECT_TRUE(g_heard.empty());

    // Another server class is refused and not linked.
    EXPECT_EQ(connection_client(make("c"), name, gensym("someotherclass"), &next_peer), reinterpret_cast<void *>(-1));
    g_heard.clear();
    send(t);
    EXPECT_EQ(g_heard.size(), 2u);
    for (peer *p : {a, b, s, t}) connection_delete(p, name);
}

TEST_F(NamedConnection, DeletingClientsAndTheServer)
{
    peer *s = make("s"), *a = make("a"), *b = make("b"), *c = make("c");
    connection_server(s, name);
    for (peer *p : {a, b, c}) join(p);
    connection_delete(b, name);  // the middle one
    EXPECT_EQ(a->link, c);
    g_heard.clear();
    send(s);
    EXPECT_EQ(g_heard, (heard{"a hello from s hi", "c hello from s hi"}));

    // The server with clients left: they are told, the name stays bound.
    g_heard.clear();
    connection_delete(s, name);
    EXPECT_EQ(g_heard, (heard{"a freeserver s", "c freeserver s"}));
    symbol *binding = gensym((std::string(name->name) + ".connect").c_str());
    EXPECT_NE(binding->thing, nullptr);

    // The server alone: the name is let go; a later client makes a fresh record.
    connection_delete(a, name);
    connection_delete(c, name);
    connection_server(s, name);
    connection_delete(s, name);
    EXPECT_EQ(binding->thing, nullptr);
    EXPECT_EQ(join(a), nullptr);
    EXPECT_NE(binding->thing, nullptr);
    connection_delete(a, name);
}

// Clients that delete themselves, or the next client, while the server
// sends: the walk never reaches a client that left.
TEST_F(NamedConnection, DeletionsDuringASend)
{
    static symbol *s_name;
    static peer *s_victim;
    s_name = name;
    peer *s = make("s"), *a = make("a"), *b = make("b"), *c = make("c"), *d = make("d");
    connection_server(s, name);
    for (peer *p : {a, b, c, d}) join(p);
    a->on_send = [](peer *self) { connection_delete(self, s_name); };
    s_victim = c;
    b->on_send = [](peer *) { connection_delete(s_victim, s_name); };
    g_heard.clear();
    send(s);
    EXPECT_EQ(g_heard, (heard{"a hello from s hi", "b hello from s hi", "d hello from s hi"}));
    g_heard.clear();
    b->on_send = nullptr;
    send(s);
    EXPECT_EQ(g_heard, (heard{"b hello from s hi", "d hello from s hi"}));
    for (peer *p : {b, d, s}) connection_delete(p, name);
}

TEST_F(NamedConnection, NamesBoundToSomethingElseOrTooLongAreRefused)
{
    symbol *binding = gensym((std::string(name->name) + ".connect").c_str());
    peer *squatter = make("squatter");
    binding->thing = &squatter->header;
    console_capture console;
    EXPECT_EQ(connection_server(make("s"), name), nullptr);
    EXPECT_EQ(join(make("a")), reinterpret_cast<void *>(-1));
    EXPECT_EQ(binding->thing, &squatter->header);
    EXPECT_EQ(console.lines().size(), 2u);
    binding->thing = nullptr;

    const std::string long_name(CONNECTION_NAME_MAX + 1, 'x');
    EXPECT_EQ(connection_server(make("s"), gensym(long_name.c_str())), nullptr);
    EXPECT_NE(connection_server(make("s"), gensym(long_name.substr(1).c_str())), nullptr);
}

}  // namespace
