/* dictclient: hears the dictserver of its name and reads what it sends.
 *
 *   [dictclient NAME]   out of its outlet, for each dictionary: the list
 *                       pitch level steps... ; `server 1` / `server 0` when
 *                       a server arrives or goes, and on bang whether there
 *                       is one.
 */
#include "kel/kel.h"

typedef struct dictclient {
    object header;
    symbol *name;
    struct dictclient *next_client; /* the connection's list lives in its clients */
    void *server;
    outlet *out;
} dictclient;

static kel_class *dictclient_class;

static void *dictclient_next(void *client, void ***link)
{
    dictclient *x = (dictclient *)client;
    *link = (void **)&x->next_client;
    return x->next_client;
}

static void dictclient_server(dictclient *x, long present)
{
    atom a;
    atom_setlong(&a, present);
    outlet_anything(x->out, gensym("server"), 1, &a);
}

static void *dictclient_newserver(dictclient *x, void *server, void *unused)
{
    (void)unused;
    x->server = server;
    dictclient_server(x, 1);
    return 0;
}

static void *dictclient_freeserver(dictclient *x, void *server, void *unused)
{
    (void)server;
    (void)unused;
    x->server = 0;
    dictclient_server(x, 0);
    return 0;
}

static void *dictclient_dict(dictclient *x, void *server, atom *dict_atom)
{
    linklist *dict = (linklist *)atom_getobj(dict_atom);
    atom out[8], steps;
    long pitch = 0, n = 0, length = 0, k;
    double level = 0;
    (void)server;
    if (dict_getlong(dict, "pitch", &pitch) == 0) atom_setlong(&out[n++], pitch);
    if (dict_getfloat(dict, "level", &level) == 0) atom_setfloat(&out[n++], level);
    if (dict_getatom(dict, "steps", &steps) == 0 && dictarray_getlength(&steps, &length) == 0)
        for (k = 0; k < length && n < 8; k++) {
            long step = 0;
            if (dictarray_getlong(&steps, k, &step) == 0) atom_setlong(&out[n++], step);
        }
    outlet_list(x->out, 0, n, out);
    return 0;
}

static void dictclient_bang(dictclient *x) { dictclient_server(x, x->server != 0); }

static void *dictclient_new(symbol *name)
{
    dictclient *x = (dictclient *)object_alloc(dictclient_class);
    if (!x) return 0;
    x->name = name;
    x->next_client = 0;
    x->out = outlet_new(x, 0);
    x->server = connection_client(x, name, gensym("dictserver"), dictclient_next);
    if (x->server == (void *)-1) x->server = 0; /* a server of another kind: none for us */
    return x;
}

static void dictclient_free(dictclient *x) { connection_delete(x, x->name); }

int main(void)
{
    dictclient_class = class_new("dictclient", (kel_method)dictclient_new, (kel_method)dictclient_free,
                                 (long)sizeof(dictclient), (kel_method)0, ATYPE_DEFSYM, 0);
    class_addmethod(dictclient_class, (kel_method)dictclient_newserver, "newserver", ATYPE_CANT, 0);
    class_addmethod(dictclient_class, (kel_method)dictclient_freeserver, "freeserver", ATYPE_CANT, 0);
    class_addmethod(dictclient_class, (kel_method)dictclient_dict, "dict", ATYPE_CANT, 0);
    class_addmethod(dictclient_class, (kel_method)dictclient_bang, "bang", 0);
    class_register(gensym("box"), dictclient_class);
    return 0;
}
