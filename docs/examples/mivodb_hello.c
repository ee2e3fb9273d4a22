/* A client of the MivoDB server through libmivodb: a text in the current language, the same text in
 * Russian, and a configuration value.
 *
 *   cc mivodb_hello.c $(pkg-config --cflags --libs mivodb) -o mivodb_hello
 *   ./mivodb_hello [MODULE KEY]        (default: Demo Greeting)
 *
 * Exit code: 0 when every call succeeded, 1 otherwise (the library's message on stderr). */
#include <mivodb.h>
#include <stdio.h>

static int report(const char *what) {
  fprintf(stderr, "mivodb_hello: %s: %s %s\n", what, mivodb_error_message(), mivodb_error_name());
  return 1;
}

/* Prints the text of module and key; 0 on success, 1 on failure. */
static int print_text(mivodb_connection *db, const char *module, const char *key) {
  char *text = NULL;
  int found = 0;
  if (mivodb_get_text(db, module, key, &text, &found) != MIVODB_OK) return report("get_text");
  printf("%s\n", text); /* the key itself when no language has the text (found is 0) */
  mivodb_free(text);
  return 0;
}

int main(int argc, char **argv) {
  const char *module = argc > 2 ? argv[1] : "Demo";
  const char *key = argc > 2 ? argv[2] : "Greeting";
  mivodb_connection *db = NULL;
  if (mivodb_open(NULL, 0, &db) != MIVODB_OK) return report("open"); /* NULL: the session bus */

  int failed = print_text(db, module, key);
  int ok = 0;
  if (!failed && (mivodb_set_language(db, 0x0419, 1, &ok) != MIVODB_OK || !ok))
    failed = report("set_language");
  if (!failed) failed = print_text(db, module, key);

  char *value = NULL;
  int found = 0;
  if (!failed && mivodb_get_config(db, "Server", "Host", &value, &found) != MIVODB_OK)
    failed = report("get_config");
  if (!failed) printf("Server Host: %s\n", found ? value : "(none)");
  mivodb_free(value);

  mivodb_close(db);
  return failed;
}
