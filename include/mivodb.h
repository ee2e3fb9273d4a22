/* libmivodb: the client library of MivoDB, the server of multilingual message texts and configuration
 * strings on the D-Bus session bus ("Mivo.DataBase.OLEServer").
 *
 * A connection (mivodb_connection *) keeps what it has read: a text or configuration value once read is
 * answered from the connection's cache, without a system call, until a change signal of the server
 * (language changed, configuration item changed, store reloaded) updates or drops it. The signals are
 * processed by the library's own thread, and by every call the connection makes, in the order the server
 * sent them, so a cached value is never older than one the connection has already returned. After a call
 * that changes something (mivodb_set_language, mivodb_set_config, the refreshes), the next read returns
 * what the server now holds. MIVODB_OPEN_NO_CACHE makes every read a call to the server.
 *
 * Threads: every function may be called from any thread, also at the same time on one connection; calls to
 * the server are made one at a time per connection. mivodb_close must not run at the same time as another
 * call on the same connection.
 *
 * Strings are UTF-8. Texts the library returns are owned by the caller and freed with mivodb_free (or
 * mivodb_free_answers for a batch). No exception leaves the library: every function returns a status, and
 * on failure mivodb_error_message (and, for MIVODB_E_CALL, mivodb_error_name) describe it.
 */
#ifndef MIVODB_H
#define MIVODB_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define MIVODB_API __attribute__((visibility("default")))
#else
#define MIVODB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mivodb_connection mivodb_connection;

typedef enum mivodb_status {
  MIVODB_OK = 0,
  MIVODB_E_ARGUMENT = 1, /* a null connection or pointer where one is needed */
  MIVODB_E_CONNECT = 2,  /* the bus cannot be reached */
  MIVODB_E_CALL = 3,     /* the server refused the call or is not there: see mivodb_error_name */
  MIVODB_E_MEMORY = 4    /* out of memory */
} mivodb_status;

/* Flags of mivodb_open. */
#define MIVODB_OPEN_NO_CACHE 1u

/* Connects to the bus at `address` (a D-Bus address such as "unix:path=/run/user/1000/bus"), or to the
 * session bus when it is NULL. On success *out is the new connection; on failure it is NULL. */
MIVODB_API mivodb_status mivodb_open(const char *address, unsigned flags, mivodb_connection **out);
/* Ends the connection and its thread. NULL does nothing. */
MIVODB_API void mivodb_close(mivodb_connection *db);

/* The failure of the last function on this thread that did not return MIVODB_OK ("" before any): a
 * message, and the D-Bus error name for MIVODB_E_CALL ("Mivo.DataBase.Error.InvalidArgument",
 * "org.freedesktop.DBus.Error.ServiceUnknown", ...; "" otherwise). Valid until the thread's next call. */
MIVODB_API const char *mivodb_error_message(void);
MIVODB_API const char *mivodb_error_name(void);

/* Frees a text the library returned. NULL does nothing. */
MIVODB_API void mivodb_free(void *text);

/* The ten methods' language part. *ok is the server's result. */
MIVODB_API mivodb_status mivodb_set_language(mivodb_connection *db, int16_t language, int user_flag, int *ok);
/* The server's current language id. */
MIVODB_API mivodb_status mivodb_get_language(mivodb_connection *db, int16_t *language);
/* The text of module and key in the current language, else the fallback language (*found 1), else the key
 * itself (*found 0). `found` may be NULL. */
MIVODB_API mivodb_status mivodb_get_text(mivodb_connection *db, const char *module, const char *key, char **text, int *found);
/* The character-set code of the current language. */
MIVODB_API mivodb_status mivodb_get_charset(mivodb_connection *db, int16_t *code);
/* Where a text comes from: *source is "current", "fallback" or "none", *language the id of the store that
 * answered (0 for "none"). Always asks the server. */
MIVODB_API mivodb_status mivodb_explain(mivodb_connection *db, const char *module, const char *key, char **text, char **source,
                             int16_t *language);

/* Configuration: the value (*found 0 and "" when there is none), and a write (*ok the server's result). */
MIVODB_API mivodb_status mivodb_get_config(mivodb_connection *db, const char *module, const char *key, char **value, int *found);
MIVODB_API mivodb_status mivodb_set_config(mivodb_connection *db, const char *module, const char *key, const char *value, int *ok);

/* Re-reading the server's databases. */
MIVODB_API mivodb_status mivodb_refresh_texts(mivodb_connection *db, int *ok);
MIVODB_API mivodb_status mivodb_refresh_config(mivodb_connection *db, int *ok);

/* Batches: answers[i] for items[i], as mivodb_get_text / mivodb_get_config answer one item. What the
 * cache holds is answered from it; the rest is asked in as few calls as the server's batch limit allows.
 * On failure no answer holds a text. Free the texts with mivodb_free_answers. */
typedef struct mivodb_item {
  const char *module;
  const char *key;
} mivodb_item;
typedef struct mivodb_answer {
  int found;
  char *text;
} mivodb_answer;
MIVODB_API mivodb_status mivodb_get_texts(mivodb_connection *db, const mivodb_item *items, size_t count, mivodb_answer *answers);
MIVODB_API mivodb_status mivodb_get_configs(mivodb_connection *db, const mivodb_item *items, size_t count, mivodb_answer *answers);
MIVODB_API void mivodb_free_answers(mivodb_answer *answers, size_t count);

/* Change signals. The callback runs on the library's thread or inside a call of this connection, after
 * the cache took the change; the strings are valid during the callback only. It must not call functions of
 * the same connection (they fail with MIVODB_E_CALL there); other connections may be used. */
typedef enum mivodb_change_kind {
  MIVODB_LANGUAGE_CHANGED = 1, /* language */
  MIVODB_CONFIG_CHANGED = 2,   /* module, key, value */
  MIVODB_RELOADED = 3          /* store: "language" or "config" */
} mivodb_change_kind;
typedef struct mivodb_change {
  mivodb_change_kind kind;
  int16_t language;
  const char *module;
  const char *key;
  const char *value;
  const char *store;
} mivodb_change;
typedef void (*mivodb_change_callback)(const mivodb_change *change, void *user);
/* Sets the connection's one callback (NULL removes it). */
MIVODB_API mivodb_status mivodb_on_change(mivodb_connection *db, mivodb_change_callback callback, void *user);

#ifdef __cplusplus
}
#endif

#endif /* MIVODB_H */
