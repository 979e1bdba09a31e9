/*
 * textfill: fills variables into the site's texts and prints the check
 * modules' messages.
 *
 * A variable is written %{NAME} inside a text, NAME being 1 to 64 letters,
 * digits, "_", "." or "-". It is replaced by its value when a value is known
 * for NAME; a %{...} whose name is unknown, or that is not well formed,
 * stays as it stands, and so does every other character. "%%{" gives a
 * literal "%{" (the escape). Values are inserted as they are and never
 * scanned again, so a value holding "%{" is harmless. Ordinary text (ASCII
 * art, "100%", "${HOME}", "{braces}") is never touched.
 *
 * Two sources of values: a variable list (ml_addstring, starting from NULL;
 * released with ml_free), or a property table (util_replacer and
 * util_replacer_env, where NAME is a key of the table).
 *
 * The message operations (error_printf, msg_printf) take a printf-like
 * format from the site's settings. They honour only "%%" (a "%") and as many
 * "%s" as they have texts to print, plus the %{NAME} variables of the
 * property table; anything else, a stray "%d", "%n" or an extra "%s"
 * included, is printed as it stands. They print to standard output, which
 * the daemon shows to the uploader, and flush it.
 *
 * Every text returned as new is malloc'd and released by the caller with
 * free.
 */
#ifndef SITEKIT_TEXTFILL_H
#define SITEKIT_TEXTFILL_H

#include "proptable.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ml_list {
    char *name;           /* owned copy */
    char *value;          /* owned copy; NULL fills in the empty text */
    struct ml_list *next; /* next variable, in the order they were added */
} ml_list;

/*
 * Sets variable name to value (NULL allowed) in list (NULL starts a new
 * list); a name already present gets the new value. Returns the list to use
 * next; when memory runs out or name is NULL, the list unchanged.
 */
ml_list *ml_addstring(ml_list *list, const char *name, const char *value);

/*
 * A new text: text with the list's variables filled in. NULL when text is
 * NULL or memory runs out.
 */
char *ml_replacebuf(const ml_list *list, const char *text);

/* Releases the list and its copies; NULL is allowed. */
void ml_free(ml_list *list);

/*
 * A new text: text with the values of table filled in (the keys are the
 * variable names). NULL when text is NULL or memory runs out.
 */
char *util_replacer(ht_table *table, const char *text);

/*
 * The same filling, named for its use on a sub-table taken with ht_get_tree
 * (the per-entry values of a ZIP check: file, size, zsize, method, status).
 */
char *util_replacer_env(ht_table *table, const char *text);

/*
 * Prints format with step as its one "%s" (see above). Nothing is printed
 * when format is NULL. Returns the number of bytes printed, or -1 when
 * printing failed.
 */
int error_printf(ht_table *table, const char *format, const char *step);

/*
 * Prints format with first and second as its two "%s" (see above). Nothing
 * is printed when format is NULL. Returns the number of bytes printed, or
 * -1 when printing failed.
 */
int msg_printf(ht_table *table, const char *format, const char *first, const char *second);

#ifdef __cplusplus
}
#endif

#endif
