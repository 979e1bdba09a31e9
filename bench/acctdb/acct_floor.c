/*
 * acct_floor FILE NAME: the floor of a one-name lookup, a read of the whole
 * file into memory and a search for the line that starts with "NAME:",
 * which it prints. Exit status 0 when found, 1 when not, 2 on an error.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return 2;
    size_t size = (size_t)st.st_size, got = 0;
    char *data = malloc(size + 1);
    if (!data)
        return 2;
    while (got < size) {
        ssize_t n = read(fd, data + got, size - got);
        if (n <= 0)
            return 2;
        got += (size_t)n;
    }
    close(fd);
    char key[256];
    int len = snprintf(key, sizeof key, "\n%s:", argv[2]);
    if (len < 0 || (size_t)len >= sizeof key)
        return 2;
    const char *line = NULL;
    if (size >= (size_t)len - 1 && memcmp(data, key + 1, (size_t)len - 1) == 0)
        line = data;
    else if ((line = memmem(data, size, key, (size_t)len)) != NULL)
        ++line;
    if (!line)
        return 1;
    const char *end = memchr(line, '\n', size - (size_t)(line - data));
    fwrite(line, 1, end ? (size_t)(end - line) : size - (size_t)(line - data), stdout);
    putchar('\n');
    free(data);
    return 0;
}
