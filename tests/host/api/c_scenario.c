/* The C interface's scenario, run by the tests as separate processes:
 *   c_scenario DIR create             a table SCEN with two NTX indexes and a memo
 *   c_scenario DIR add N              N records added
 *   c_scenario DIR work 0|1           worker 0 deletes every tenth record and rewrites
 *                                     the memo of those ending in 5; worker 1 changes
 *                                     CITY and AMOUNT of every third live record.
 *                                     Both run at once: each record is locked, read
 *                                     under its lock, then written.
 *   c_scenario DIR walk KEY           prints recno and NAME in the key's order
 * Exit 0 on success; a failure prints the call, its status and the messages.
 * Compiled as C99 with -pedantic: the header must stay plain C. */
#include <qxdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failed(const char* what, qxdb_status s) {
    fprintf(stderr, "%s: %s: %s [%s, error %d]\n", what, qxdb_status_name(s), qxdb_message(), qxdb_library_message(),
            qxdb_library_error());
    return 1;
}

#define CHECK(call)                                  \
    do {                                             \
        qxdb_status s_ = (call);                     \
        if (s_ != QXDB_OK) return failed(#call, s_); \
    } while (0)

static const char* const kCities[7] = {"Lyon", "Paris", "Zürich", "Köln", "Oslo", "Bern", "Nice"};

static int create(const char* dir) {
    const qxdb_field_def fields[] = {
        {"NAME", QXDB_TEXT, 20, 0},
        {"CITY", QXDB_TEXT, 15, 0},
        {"AMOUNT", QXDB_NUMBER, 10, 2},
        {"NOTES", QXDB_MEMO, 0, 0},
    };
    const qxdb_key_def keys[] = {
        {"NAME", "NAME", "SNAME.NTX"},
        {"SCITY", "UPPER(CITY)+NAME", "SCITY.NTX"},
    };
    CHECK(qxdb_create(dir, "SCEN", QXDB_CLIPPER, fields, 4, keys, 2));
    return 0;
}

static int add(qxdb_table* t, int n) {
    char name[32], amount[32], notes[32];
    for (int i = 1; i <= n; i++) {
        int64_t recno = 0;
        snprintf(name, sizeof name, "R%05d", i);
        snprintf(amount, sizeof amount, "%d.%02d", i / 2, i % 2 ? 50 : 0);
        snprintf(notes, sizeof notes, "memo %d", i);
        CHECK(qxdb_set(t, "NAME", name));
        CHECK(qxdb_set(t, "CITY", kCities[i % 7]));
        CHECK(qxdb_set(t, "AMOUNT", amount));
        CHECK(qxdb_set(t, "NOTES", notes));
        CHECK(qxdb_append(t, &recno));
        if (recno != i) {
            fprintf(stderr, "record %d added as %lld\n", i, (long long)recno);
            return 1;
        }
    }
    return 0;
}

static int work(qxdb_table* t, int worker) {
    int64_t count = 0;
    char text[32];
    CHECK(qxdb_count(t, NULL, NULL, NULL, &count));
    for (int64_t r = 1; r <= count; r++) {
        const int mine = worker == 0 ? (r % 10 == 0 || r % 10 == 5) : r % 3 == 0;
        if (!mine) continue;
        CHECK(qxdb_lock_record(t, r, 30.0));
        CHECK(qxdb_goto(t, r));
        if (worker == 0 && r % 10 == 0) {
            CHECK(qxdb_delete(t, r));
        } else if (worker == 0) {
            snprintf(text, sizeof text, "w0 %lld", (long long)r);
            CHECK(qxdb_set(t, "NOTES", text));
            CHECK(qxdb_update(t, r));
        } else if (!qxdb_deleted(t)) {
            snprintf(text, sizeof text, "%lld", (long long)r);
            CHECK(qxdb_set(t, "CITY", "Changed"));
            CHECK(qxdb_set(t, "AMOUNT", text));
            CHECK(qxdb_update(t, r));
        }
        CHECK(qxdb_unlock_record(t, r));
    }
    return 0;
}

static int walk(qxdb_table* t, const char* key) {
    const int name = qxdb_field_index(t, "NAME");
    qxdb_status s;
    for (s = qxdb_first(t, key); s == QXDB_OK; s = qxdb_next(t))
        printf("%lld %s%s\n", (long long)qxdb_recno(t), qxdb_value(t, name), qxdb_deleted(t) ? " *" : "");
    return s == QXDB_END ? 0 : failed("walk", s);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs("usage: c_scenario DIR create|add N|work 0|1|walk KEY\n", stderr);
        return 2;
    }
    const char* dir = argv[1];
    const char* what = argv[2];
    if (strcmp(what, "create") == 0) return create(dir);
    qxdb_table* t = NULL;
    CHECK(qxdb_open_in(dir, "SCEN", QXDB_WRITE, &t));
    int code = 2;
    if (strcmp(what, "add") == 0 && argc == 4) code = add(t, atoi(argv[3]));
    else if (strcmp(what, "work") == 0 && argc == 4) code = work(t, atoi(argv[3]));
    else if (strcmp(what, "walk") == 0 && argc == 4) code = walk(t, argv[3]);
    qxdb_close(t);
    return code;
}
