/* A program hosting patches through the kel library's C API: it starts the
 * engine in virtual time, opens a patch written here, runs it for 250 ms of
 * scheduler time twice, and checks every console line that arrived.
 *   host_check FOLDER   (a writable folder for the patch) */
#include <stdio.h>
#include <string.h>

#include "kel/host.h"

static char lines[64][128];
static int count = 0;

static void keep_line(void *context, const char *line)
{
    (void)context;
    if (count < 64) snprintf(lines[count++], sizeof lines[0], "%s", line);
}

static int expect(int at, const char *line)
{
    if (at < count && strcmp(lines[at], line) == 0) return 0;
    fprintf(stderr, "line %d: expected \"%s\", got \"%s\"\n", at, line, at < count ? lines[at] : "(none)");
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 2) return 2;
    char name[4096];
    snprintf(name, sizeof name, "%s/hosted \xc3\xa9t\xc3\xa9.pat", argv[1]);
    FILE *f = fopen(name, "w");
    if (!f) return 2;
    /* loadbang -> print hosted; loadbang -> metro 100 -> print tick */
    fputs("#N vpatcher 20 74 620 474;\n"
          "#P newex 20 20 60 196617 loadbang;\n"
          "#P newex 20 50 60 196617 print hosted;\n"
          "#P newex 120 50 60 196617 metro 100;\n"
          "#P newex 120 80 60 196617 print tick;\n"
          "#P connect 3 0 2 0;\n"
          "#P connect 3 0 1 0;\n"
          "#P connect 1 0 0 0;\n"
          "#P pop;\n",
          f);
    fclose(f);

    int failures = 0;
    if (kel_host_start(keep_line, NULL, 1) != ERR_NONE) return 1;
    if (kel_host_start(keep_line, NULL, 1) != ERR_GENERIC) failures++; /* once per process */
    if (!kel_host_open(name)) return 1;
    kel_host_run(250); /* ticks at 0, 100, 200 */
    kel_host_run(100); /* and 300 */
    if (kel_host_open("no such patch.pat")) failures++;
    kel_host_stop();

    /* The metro's first tick waits for the first run. */
    failures += expect(0, "hosted: bang");
    for (int tick = 1; tick <= 4; tick++) failures += expect(tick, "tick: bang");
    const char *missing = "\xe2\x80\xa2 error: no such patch.pat";
    if (count < 6 || strncmp(lines[5], missing, strlen(missing)) != 0) failures += expect(5, missing);
    if (count != 6) {
        fprintf(stderr, "%d lines:\n", count);
        for (int i = 0; i < count; i++) fprintf(stderr, "  %s\n", lines[i]);
        failures++;
    }
    remove(name);
    return failures ? 1 : 0;
}
