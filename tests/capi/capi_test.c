/* Built with the C compiler: every public header must be plain C99, and
 * every library must link into a C program. Each module adds one call. */
#include <sitekit/sitekit.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                         \
            ++failures;                                                                                      \
        }                                                                                                    \
    } while (0)

static void check_textscan(void) {
    lfr_reader r;
    char line[8];
    CHECK(lfr_open(&r, "/nonexistent/sitekit-capi") == -1);
    CHECK(lfr_getline(&r, line, 7) == -1);
    CHECK(lfr_close(&r) == 0);
}

static void check_chunklines(void) {
    lrb_buffer b;
    char line[8];
    lrb_initialize(&b);
    lrb_add_data(&b, "hi\n", 3);
    CHECK(lrb_getline(&b, line, 7) == 2 && strcmp(line, "hi") == 0);
    lrb_add_eof(&b);
    CHECK(lrb_getline(&b, line, 7) == -2);
    lrb_finalize(&b);
}

static void check_chainlist(void) {
    glist l;
    int *a = malloc(sizeof *a), *b = malloc(sizeof *b);
    *a = 1;
    *b = 2;
    glist_init(&l, GLIST_SORTED);
    glist_add(&l, a, 1.0);
    glist_add(&l, b, 2.0);
    glist_reset(&l);
    CHECK(glist_isgood(&l) && *(int *)glist_get(&l) == 2);
    CHECK(glist_count(&l) == 2);
    glist_deinit(&l);
}

static void check_siteutil(void) {
    st_state st;
    ht_table t, *tree;
    char *p;
    st_initialize(&st, "a::b", ":");
    CHECK(st_count(&st) == 3);
    st_finalize(&st);

    ht_init(&t);
    ht_put(&t, "tmp_x_file", "f");
    tree = ht_get_tree(&t, "tmp_x", '_');
    CHECK(tree != NULL && strcmp(ht_get(tree, "file"), "f") == 0);
    ht_finalize(tree);
    free(tree);
    ht_finalize(&t);

    sitekit_set_root("/srv/site");
    p = sitekit_path("/etc/passwd");
    CHECK(p != NULL && strcmp(p, "/srv/site/etc/passwd") == 0);
    free(p);
    sitekit_set_root(NULL);
}

static void check_sitelogs(void) {
    char text[] = "  a \t b ";
    CHECK(sizeof(dirlog_record) == 288 && sizeof(dupefile_record) == 288);
    CHECK(strcmp(trim(text), "a b") == 0);
    CHECK(gl_site_msg("a", NULL, "x") == 0);
}

static void check_checks(void) {
    char name[64];
    char *base;
    st_state st;
    ht_table table;
    CHECK(release_get_with_subdir("/site/Rel-GRP/CD1", name, sizeof name) == 1 &&
          strcmp(name, "Rel-GRP/CD1") == 0);
    CHECK(nfo_str_trim("  a b\t", name, sizeof name) == 1 && strcmp(name, "a b") == 0);
    CHECK(zip_dupe(NULL, NULL, NULL) == 1);
    ht_init(&table);
    CHECK(upload_check(&table, "a.rar", "/site/Rel-GRP") == 1 && ht_get(&table, "path") != NULL &&
          strcmp(ht_get(&table, "path"), "/site/Rel-GRP/a.rar") == 0);
    ht_finalize(&table);
    st_initialize(&st, "*.nfo", "|");
    base = zip_must_extract("Docs/REL.NFO", &st);
    CHECK(base != NULL && strcmp(base, "rel.nfo") == 0);
    free(base);
    st_finalize(&st);
}

static void check_statfile(void) {
    gl_stats *s = _gl_parse_stats("ALLUP 1 2 3 4 5 6", "u");
    char *text;
    CHECK(s != NULL && s->sections != NULL && s->sections->section == 1);
    text = _gl_tostring_stats(s);
    CHECK(text != NULL && strcmp(text, "ALLUP 1 2 3 4 5 6") == 0);
    free(text);
    _gl_free_stats(s);
    CHECK(_statfile_is_credit("CREDITS 5") == 1 && STAT_LINES[4][0] == '\0');
    CHECK(statfile_add_stats("/nonexistent/sitekit-capi/user", 1, 1, 1, 1, 0, 0) == -1);
}

static void check_acctdb(void) {
    pwd_set_etcdir("/nonexistent/sitekit-capi");
    CHECK(strcmp(_pwd_get_etcdir(), "/nonexistent/sitekit-capi") == 0);
    CHECK(pwd_getpwnam("nobody") == NULL && pwd_getgpgid(0) == NULL);
    pwd_set_etcdir(NULL);
}

static void check_watchview(void) {
    who_record w;
    spy_node a, b;
    char age[WATCHVIEW_AGE_SIZE];
    dirlist_handle h;
    CHECK(sizeof(who_record) == 904);
    memset(&w, 0, sizeof w);
    strcpy(w.status_text, "RETR file.bin");
    w.pid = 1234;
    CHECK(who_transfer_direction(&w) == WHO_TRANSFER_DOWNLOAD);
    a.number = 0;
    a.who = &w;
    a.prev = NULL;
    a.next = &b;
    b.number = 1;
    b.who = &w;
    b.prev = &a;
    b.next = NULL;
    CHECK(spy_list_diff(&a, &b) == 1);
    spy_makeage(0, 3661, age);
    CHECK(strcmp(age, "1h 1m") == 0);
    dirlist_init(&h, "/nonexistent/sitekit-capi");
    CHECK(dirlist_readdir(&h) == 0);
    dirlist_closedir(&h);
}

static void check_penaltylog(void) {
    sortedlist l;
    nukelog_record r;
    nukelog_release *rel;
    sortedlist_init(&l);
    sortedlist_set_compare(&l, _nukelog_sort_by_age);
    CHECK(nukelog_load(&l, "/nonexistent/sitekit-capi-nukelog") == 0);
    CHECK(sizeof(nukelog_record) == 392);
    memset(&r, 0, sizeof r);
    strcpy(r.dirname, "/site/rel");
    r.amount = 1.5f;
    rel = _nukelog_add_release(&l, &r);
    CHECK(rel != NULL && _nukelog_add_nukee(rel, &r) == 1 && rel->total == 1.5f);
    CHECK(sortedlist_count(&l) == 1 && _nukelog_same_release(&r, &r) == 1);
    nukelog_free(&l);
}

static void check_netops(void) {
    struct sockaddr_in a;
    sock_fd *list = sock_fd_add(NULL, 0, 7);
    CHECK(init_sockaddr(&a, "127.0.0.1", 21) == 1 && a.sin_family == AF_INET && a.sin_port == htons(21));
    CHECK(list != NULL && list->tag == 7 && list->ready == 0 && list->next == NULL);
    sock_fd_close(list);
}

int main(void) {
    check_textscan();
    check_chunklines();
    check_chainlist();
    check_siteutil();
    check_sitelogs();
    check_checks();
    check_statfile();
    check_acctdb();
    check_watchview();
    check_penaltylog();
    check_netops();
    if (failures == 0)
        printf("C interface: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
