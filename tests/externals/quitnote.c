/* A class whose every instance installs a quit task that writes one line to
 * standard error: a test sees that (and in which order) quit tasks ran. */
#include <string.h>
#include <unistd.h>

#include "kel/kel.h"

static method_entry *quitnote_class;

static void quitnote_task(void *arg)
{
    const char *line = "quitnote: quit task ran\n";
    (void)arg;
    if (write(STDERR_FILENO, line, strlen(line)) < 0) return;
}

static void *quitnote_new(void)
{
    quittask_install((kel_method)quitnote_task, 0);
    return newobject(quitnote_class);
}

int main(void)
{
    setup(&quitnote_class, (kel_method)quitnote_new, (kel_method)0, (long)sizeof(object), (kel_method)0, 0);
    return 0;
}
