/*
 * tokenizer: splits a text at delimiter characters and hands out the pieces
 * one by one.
 *
 * Every character of the delimiter text is a delimiter. Each delimiter ends
 * one token, so two adjacent delimiters give an empty token, and so does a
 * delimiter at the start or end of the text ("a::b" gives a, "" and b). An
 * empty text, or a null one, gives no token; a null delimiter text leaves
 * the whole text as one token.
 *
 * Calling order: st_initialize, any of the others, st_finalize. The caller
 * owns the st_state record (usually a local variable); the tokenizer keeps
 * its own copy of the text, so the caller's text is never changed. Tokens
 * stay valid until st_finalize.
 */
#ifndef SITEKIT_TOKENIZER_H
#define SITEKIT_TOKENIZER_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct st_state {
    char *copy;    /* the text with each delimiter replaced by NUL */
    char **tokens; /* start of each token inside copy */
    int count;     /* number of tokens */
    int next;      /* index of the token st_next hands out next */
} st_state;

/*
 * Prepares the tokens of text. Returns 0, or -1 when memory runs out, in
 * which case the state gives no token (st_finalize is still harmless).
 */
int st_initialize(st_state *state, const char *text, const char *delimiters);

/* The next token, or NULL once none is left. */
char *st_next(st_state *state);

/* The number of tokens not yet handed out. */
int st_count(const st_state *state);

/* Non-zero while a token is left. */
int st_hasnext(const st_state *state);

/*
 * The token that st_next would hand out after skipping ahead more, without
 * handing anything out (st_peek(state, 0) is the next token), or NULL when
 * fewer are left or ahead is negative.
 */
const char *st_peek(const st_state *state, int ahead);

/* The next st_next starts again at the first token. */
void st_reset(st_state *state);

/* Releases what st_initialize took; the state gives no token afterwards. */
void st_finalize(st_state *state);

#ifdef __cplusplus
}
#endif

#endif
