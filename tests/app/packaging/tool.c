/* A small tool built against an installed sitekit: it includes the
 * umbrella header, sets a site root and reads a file through a library. */
#include <sitekit/sitekit.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tool ROOT\n");
        return 2;
    }
    if (sitekit_set_root(argv[1]) != 0)
        return 1;
    char *path = sitekit_path("/etc/motd");
    if (path == NULL)
        return 1;
    lfr_reader r;
    char line[64];
    if (lfr_open(&r, path) != 0) {
        fprintf(stderr, "tool: cannot read %s\n", path);
        free(path);
        return 1;
    }
    free(path);
    while (lfr_getline(&r, line, sizeof line - 1) >= 0)
        printf("%s\n", line);
    lfr_close(&r);
    return 0;
}
