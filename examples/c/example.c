/* A short, complete program on QXDB's C interface: makes a table with two indexes
 * and a memo, adds records, changes and deletes one, then reads the table back in
 * the order of a key. Every index and the memo file follow each write.
 *
 *   cc example.c $(pkg-config --cflags --libs qxdb) -o example && ./example /tmp
 */
#include <qxdb.h>
#include <stdio.h>

static int fail(const char* what) {
    fprintf(stderr, "%s: %s\n", what, qxdb_message());
    if (*qxdb_library_message()) fprintf(stderr, "  the library: %s [error %d]\n", qxdb_library_message(), qxdb_library_error());
    return 1;
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : ".";
    const qxdb_field_def fields[] = {
        {"NAME", QXDB_TEXT, 20, 0},
        {"CITY", QXDB_TEXT, 15, 0},
        {"BORN", QXDB_DATE, 0, 0},
        {"NOTES", QXDB_MEMO, 0, 0},
    };
    const qxdb_key_def keys[] = {
        {"NAME", "NAME", "EXNAME.NTX"},
        {"EXCITY", "UPPER(CITY)+NAME", "EXCITY.NTX"},
    };
    if (qxdb_create(dir, "EXAMPLE", QXDB_CLIPPER, fields, 4, keys, 2) != QXDB_OK) return fail("create");

    qxdb_table* t;
    if (qxdb_open_in(dir, "EXAMPLE", QXDB_WRITE, &t) != QXDB_OK) return fail("open");
    const char* people[][3] = {{"Zoe", "Lyon", "1990-04-01"}, {"Adam", "Paris", "1985-12-24"}, {"Maria", "Lyon", "2001-07-14"}};
    for (int i = 0; i < 3; i++) {
        qxdb_set(t, "NAME", people[i][0]);
        qxdb_set(t, "CITY", people[i][1]);
        qxdb_set(t, "BORN", people[i][2]);
        qxdb_set(t, "NOTES", "a memo, kept in the memo file");
        if (qxdb_append(t, NULL) != QXDB_OK) return fail("append");
    }
    qxdb_set(t, "CITY", "Bordeaux");
    if (qxdb_update(t, 2) != QXDB_OK) return fail("update");
    if (qxdb_delete(t, 1) != QXDB_OK) return fail("delete");

    int name = qxdb_field_index(t, "NAME"), city = qxdb_field_index(t, "CITY");
    for (qxdb_status s = qxdb_first(t, "EXCITY"); s == QXDB_OK; s = qxdb_next(t))
        printf("%lld %s %s%s\n", (long long)qxdb_recno(t), qxdb_value(t, city), qxdb_value(t, name),
               qxdb_deleted(t) ? " (deleted)" : "");
    if (qxdb_seek(t, "NAME", "Maria", 0) == QXDB_OK) printf("found: %s\n", qxdb_record_json(t));
    qxdb_close(t);
    return 0;
}
