/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: named connections between one server and its clients.
 *
 * Objects that know each other only by a name: the server registers under
 * it, clients register before or after; every client is told `newserver`
 * when a server arrives and `freeserver` when it goes or is replaced, and
 * the server can call a method of every client. Client methods are called as
 * method(client, server, argument).
 *
 * The client list is kept in the clients themselves: each has a link field,
 * and the next-client function walks and edits those links. Called with a
 * client, it answers the client after it (NULL at the end) and stores the
 * address of that client's own link field in *link.
 *
 * A client that goes away must call connection_delete first.
 */
#ifndef KEL_CONNECTION_H
#define KEL_CONNECTION_H

#include "kel/base.h"

KEL_BEGIN_C

typedef void *(*connection_next_fn)(void *client, void ***link);

/* The longest name: a longer one is refused. */
#define CONNECTION_NAME_MAX 246

/* The server registers; answers the connection record, or NULL for a name
 * that is too long or bound to something that is not a connection. */
KEL_API void *connection_server(void *server, symbol *name);
/* The client registers; answers the server (NULL while there is none), or
 * (void *)-1 when the registered server is not of server_class (the client
 * is then not linked), the name is too long or bound to something else. A
 * client already linked is not linked twice. */
KEL_API void *connection_client(void *client, symbol *name, symbol *server_class, connection_next_fn next);
/* The server calls selector on every client, in order. */
KEL_API void connection_send(void *server, symbol *name, symbol *selector, void *argument);
/* A client leaves, or the server does (its clients are told `freeserver`;
 * without clients the name is let go). */
KEL_API void connection_delete(void *who, symbol *name);

KEL_END_C

#endif
