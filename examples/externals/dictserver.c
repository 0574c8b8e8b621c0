/* dictserver: sends a dictionary to every dictclient of its name, through a
 * named connection.
 *
 *   [dictserver NAME]   bang: builds { pitch: 60, level: 0.5, tag: NAME,
 *                       steps: [1 2 3] } and hands it to every client;
 *                       an int sets the pitch.
 */
#include "kel/kel.h"

typedef struct dictserver {
    object header;
    symbol *name;
    long pitch;
} dictserver;

static kel_class *dictserver_class;

static void *dictserver_new(symbol *name)
{
    dictserver *x = (dictserver *)object_alloc(dictserver_class);
    if (!x) return 0;
    x->name = name;
    x->pitch = 60;
    connection_server(x, name);
    return x;
}

static void dictserver_free(dictserver *x) { connection_delete(x, x->name); }

static void dictserver_int(dictserver *x, long n) { x->pitch = n; }

static void dictserver_bang(dictserver *x)
{
    atom dict_atom, steps;
    linklist *dict = dict_new(&dict_atom);
    long k;
    if (!dict) return;
    dict_appendlong(dict, "pitch", x->pitch);
    dict_appendfloat(dict, "level", 0.5);
    dict_appendsym(dict, "tag", x->name);
    if (dictarray_new(&steps, 0, 0) == 0) {
        for (k = 0; k < 3; k++) dictarray_setlong(&steps, k, k + 1);
        dict_appendatom(dict, "steps", &steps); /* the dictionary owns the array now */
    }
    connection_send(x, x->name, gensym("dict"), &dict_atom);
    freeobject(dict); /* and the array with it */
}

int main(void)
{
    dictserver_class = class_new("dictserver", (kel_method)dictserver_new, (kel_method)dictserver_free,
                                 (long)sizeof(dictserver), (kel_method)0, ATYPE_DEFSYM, 0);
    class_addmethod(dictserver_class, (kel_method)dictserver_bang, "bang", 0);
    class_addmethod(dictserver_class, (kel_method)dictserver_int, "int", ATYPE_LONG, 0);
    class_register(gensym("box"), dictserver_class);
    return 0;
}
