/*
 * watchview: the full-screen terminal view of the site's online users
 * ("zem-spy"): four status lines, the user list (or a listing of the
 * selected user's directory) and three detail lines on the selected user.
 *
 * Calling order for the linking tool: build a doubly linked list of
 * spy_node, one per slot of the online-user table in slot order, each
 * pointing at its slot's who_record; fill status.root_path; call
 * watchview_init, then watchview_handler (which returns on the q key), then
 * watchview_deinit. The other operations are the steps of one redraw and are
 * exported for the key loop and for tools that draw on their own.
 *
 * The caller owns the node list and the records; the view never changes
 * them and keeps no copy, so every redraw shows the records as they stand.
 * The view owns the three panes from watchview_init to watchview_deinit.
 * watchview_init sets up the terminal with initscr unless the caller has
 * already made a screen current (for example with newterm).
 *
 * Screen of R rows and C columns: border; status pane rows 1-4; a line at
 * row 5; the middle pane rows 6 to R-6 (userlist_size = R-11 rows); a line at
 * row R-5; the info pane rows. Every pane is w_x = C-2 columns
 * wide. A terminal of fewer than 12 rows (or 3 columns) shows a one-line
 * notice instead of the panes; a change of size re-lays the screen.
 */
#ifndef SITEKIT_WATCHVIEW_H
#define SITEKIT_WATCHVIEW_H

#include <stdint.h>

#include "whorecord.h"

/* The panes are curses windows (WINDOW of <curses.h>, which is this
 * structure). Naming the structure instead of including <curses.h> keeps
 * the curses macros (clear, erase, refresh, timeout, ...) out of every
 * program that includes this header or the umbrella header. */
struct _win_st;

#ifdef __cplusplus
extern "C" {
#endif

#define WATCHVIEW_BANNER "zem-spy"
#define WATCHVIEW_LINE_SIZE 300 /* bytes of the line buffer of one user-list row */
#define WATCHVIEW_AGE_SIZE 64   /* bytes of an age text buffer */
#define WATCHVIEW_MIN_ROWS 12
#define WATCHVIEW_REFRESH_MS 500

typedef struct spy_node {
    int32_t number;        /* slot number, first column of the user list */
    who_record *who;       /* the slot's record; never NULL */
    struct spy_node *next; /* NULL at the end */
    struct spy_node *prev; /* NULL at the head */
} spy_node;

typedef struct spy_status {
    int32_t up_count;     /* uploads counted during the current redraw */
    int32_t down_count;   /* downloads counted during the current redraw */
    double up_speed;      /* sum of the upload speeds, kilobytes per second */
    double down_speed;    /* sum of the download speeds, kilobytes per second */
    int32_t online_count; /* occupied slots counted during the current redraw */
    int32_t max_users;    /* slot count given to watchview_init */
    double up_max;        /* highest up_speed of any redraw; never lowered */
    double down_max;      /* highest down_speed of any redraw; never lowered */
    int32_t view_mode;    /* 1 user list, 2 directory of the selected user */
    char root_path[300];  /* prefix of every current_dir on the local disk; NUL-terminated */
} spy_status;

extern spy_status status;
extern struct _win_st *wstatus;   /* status pane, 4 rows; NULL when the terminal is too small */
extern struct _win_st *wuserlist; /* middle pane; NULL when the terminal is too small */
extern struct _win_st *wuserinfo; /* info pane, 3 rows; NULL when the terminal is too small */
extern int32_t userlist_size;     /* rows of the middle pane; -1 before set-up, 0 when too small */
extern int32_t w_x;               /* width of every pane; -1 before set-up */

/* Sets up the terminal and lays out the screen; stores max_users. */
void watchview_init(int32_t max_users);

/* Releases the panes and ends full-screen mode (endwin). */
void watchview_deinit(void);

/* Puts the three panes on the terminal in one update. */
void watchview_refresh(void);

/* Formats like printf and writes the text at the window's cursor cut or
 * padded with spaces to exactly w_x characters; the text is not read as a
 * format again, and bytes other than printable ASCII show as '?'. Returns
 * the window write's status, ERR when win is NULL. */
int watchview_fit_buf(struct _win_st *win, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Writes the age of start at now into out (WATCHVIEW_AGE_SIZE bytes):
 * "%dd %dh", "%dh %dm" or "%dm %ds" by the largest unit that is not 0;
 * "0m 0s" when start is not earlier than now. */
void spy_makeage(int64_t start, int64_t now, char *out);

/* Composes the user-list row of node into line (WATCHVIEW_LINE_SIZE bytes,
 * longer rows are cut) and, for an occupied slot, counts it in status:
 * online_count, and the count and speed of its upload or download. Nothing
 * happens when node is NULL. */
void watchview_userlist_render_user(int64_t now, spy_node *node, char *line);

/* Composes and counts every node from head; in user-list view draws the
 * nodes from top on the middle pane, selected in reverse video. */
void watchview_userlist_render(spy_node *head, spy_node *top, spy_node *selected);

/* Draws the four status lines from status. An average with no transfer
 * shows 0.0; the Total line's maximum is the highest combined rate seen. */
void watchview_status_render(void);

/* Draws the selected user's info lines; an empty slot (or NULL) leaves the
 * pane as it was. */
void watchview_userinfo_render(spy_node *selected);

/* Runs the key loop until q or Q: arrows move the selection, d and u switch
 * between directory view and user list, k sends SIGTERM to the selected
 * user's process when its pid is above 100. Redraws after every key and
 * every 500 ms. head may be NULL (an empty table). */
void watchview_handler(spy_node *head);

/* In directory view, lists the selected user's current directory (or the
 * directory holding it when it names a file) two entries to a row from row
 * 2. Draws nothing when the path cannot be looked at or does not lie below
 * the root path. */
void watchview_dirlist_render(spy_node *selected);

/* Number of next steps from from to to; 0 when they are the same node. When
 * to cannot be reached, the steps to the end of the list. */
uint32_t spy_list_diff(spy_node *from, spy_node *to);

#ifdef __cplusplus
}
#endif

#endif
