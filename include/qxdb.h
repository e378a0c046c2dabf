/*
 * qxdb.h: QXDB from any program, in plain C.
 *
 * A table opened here is read and written through the same library a host
 * loads, in the same way: every index of the table and its memo file are kept in
 * step with each write, record and file locks are honoured and taken as other
 * programs sharing the files expect, and the table's dialect, memo file and index
 * set are found as the library finds them.
 *
 * Conventions:
 * - Every call that can fail answers a qxdb_status; QXDB_OK is 0. After a
 *   failure, qxdb_message() says in English what failed and why, and
 *   qxdb_library_message() / qxdb_library_error() give the library's own message
 *   and error number (as a host would show them). Both are kept per thread, until
 *   the next failing call of that thread.
 * - Text is UTF-8 both ways. A table's text is converted from and to the table's
 *   own code page (its header's), so every character shows as it is stored; a
 *   character the code page cannot hold is refused, never stored as another.
 * - Values are given and read as text: numbers in decimal ("12.50"), dates as
 *   "YYYY-MM-DD", date-times as "YYYY-MM-DDTHH:MM:SS", logicals as "T" or "F".
 * - Texts handed out stay valid until the next call on the same table; a field's
 *   value (qxdb_value) until the next read of the table.
 * - A table is used by one thread at a time; different tables may be used from
 *   different threads.
 *
 * The library (libqxdb.so) and the host module (libqxdbhost.so) are loaded at the
 * first open, from beside this library (or from its qxdb/ directory), unless
 * QXDB_LIBRARY and QXDB_HOST_MODULE name them.
 */
#ifndef QXDB_H
#define QXDB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define QXDB_API __declspec(dllimport)
#elif defined(__GNUC__)
#define QXDB_API __attribute__((visibility("default")))
#else
#define QXDB_API
#endif

#define QXDB_VERSION_MAJOR 1
#define QXDB_VERSION_MINOR 0

typedef enum qxdb_status {
    QXDB_OK = 0,
    QXDB_END = 1,        /* a walk went past its last record (or before its first) */
    QXDB_NOT_FOUND = 2,  /* no key matched a seek; no such record; no such table to open */
    QXDB_LOCKED = 3,     /* another program's lock refused the operation, after the wait */
    QXDB_INVALID = 4,    /* a wrong argument (no such field or key), or a value its field cannot take */
    QXDB_REFUSED = 5,    /* the library refused the operation (see the messages) */
    QXDB_NO_LIBRARY = 6  /* the library or the host module could not be loaded or started */
} qxdb_status;

typedef struct qxdb_table qxdb_table;

/* ---- Errors of the last failing call of this thread ---- */
QXDB_API const char* qxdb_message(void);
QXDB_API const char* qxdb_library_message(void);
QXDB_API int qxdb_library_error(void);
/* The English name of a status ("not found"). */
QXDB_API const char* qxdb_status_name(qxdb_status status);
/* "1.0" */
QXDB_API const char* qxdb_version(void);

/* ---- Opening and closing ---- */
#define QXDB_READ 0x0
#define QXDB_WRITE 0x1     /* open for writing (reading too) */
#define QXDB_HOST_TEXT 0x2 /* text as a host sees it (code page 1252) instead of the table's own */

/* Opens the table at `path` (the data file, with or without its extension). */
QXDB_API qxdb_status qxdb_open(const char* path, int flags, qxdb_table** table);
/* Opens the table `name` of the directory `directory`. */
QXDB_API qxdb_status qxdb_open_in(const char* directory, const char* name, int flags, qxdb_table** table);
/* Releases the table's locks and closes it; null is accepted. */
QXDB_API void qxdb_close(qxdb_table* table);

/* ---- Creating ---- */
typedef enum qxdb_type {
    QXDB_TEXT = 1,     /* C */
    QXDB_NUMBER = 2,   /* N (or F) with digits and decimals */
    QXDB_INTEGER = 3,  /* N without decimals (I in Visual FoxPro) */
    QXDB_DATE = 4,     /* D */
    QXDB_DATETIME = 5, /* T, or C(18) where the dialect has none */
    QXDB_LOGICAL = 6,  /* L */
    QXDB_MEMO = 7,     /* M: text in the memo file */
    QXDB_BINARY = 8,   /* binary memo or field */
    QXDB_CURRENCY = 9  /* Y */
} qxdb_type;

typedef struct qxdb_field_def {
    const char* name;
    qxdb_type type;
    int size;     /* text: its length; numbers: their digits */
    int decimals; /* numbers: their decimals */
} qxdb_field_def;

/* A key of an index file that holds one key (NDX, NTX) is named after its file
   when the table is opened again: name such keys so (EXCITY for EXCITY.NTX). */
typedef struct qxdb_key_def {
    const char* name;       /* the key's name (a field's name when `expression` is that field) */
    const char* expression; /* an xBase key expression: NAME, UPPER(NAME)+DTOS(BORN) ... */
    const char* file;       /* its index file, in the table's directory (its extension chooses the format) */
} qxdb_key_def;

#define QXDB_DBASE3 2  /* dBASE III: NDX indexes, DBT memos */
#define QXDB_DBASE4 3  /* dBASE IV */
#define QXDB_FOXBASE 4 /* FoxBASE */
#define QXDB_CLIPPER 6 /* Clipper: NTX indexes */

/* Creates the table `name` in `directory` with its index files and, when a field
   is a memo, its memo file. Refused when the table exists. */
QXDB_API qxdb_status qxdb_create(const char* directory, const char* name, int format, const qxdb_field_def* fields,
                                 int field_count, const qxdb_key_def* keys, int key_count);

/* ---- Describing ---- */
typedef struct qxdb_field_info {
    const char* name;
    qxdb_type type;
    char xbase_type; /* the field's letter: 'C', 'N', 'D', 'L', 'M' ... */
    int size;        /* text: its length in bytes; numbers: their width; dates 8, logicals 1; 0 for memos */
    int decimals;
} qxdb_field_info;

typedef struct qxdb_key_info {
    const char* name;       /* the name to walk, seek and count by */
    const char* expression; /* its key expression */
    const char* file;       /* the index file that holds it */
    int unique;
    int descending;
} qxdb_key_info;

QXDB_API int qxdb_field_count(qxdb_table* table);
/* Fields are counted from 0. */
QXDB_API qxdb_status qxdb_field(qxdb_table* table, int field, qxdb_field_info* info);
/* The field's number, or -1. */
QXDB_API int qxdb_field_index(qxdb_table* table, const char* name);
QXDB_API int qxdb_key_count(qxdb_table* table);
QXDB_API qxdb_status qxdb_key(qxdb_table* table, int key, qxdb_key_info* info);
/* The data file's path. */
QXDB_API const char* qxdb_path(qxdb_table* table);

/* ---- Reading ----
   A walk goes in record order (key null: deleted records are passed over) or in
   the order of a key (deleted records included, qxdb_deleted says so). Each step
   reads the record; QXDB_END when there is none. */
QXDB_API qxdb_status qxdb_first(qxdb_table* table, const char* key);
QXDB_API qxdb_status qxdb_last(qxdb_table* table, const char* key);
QXDB_API qxdb_status qxdb_next(qxdb_table* table);
QXDB_API qxdb_status qxdb_prev(qxdb_table* table);
/* A walk of `key` between `from` and `to` (either null: open), positioned on its
   first record. Text bounds are prefixes: from "B" to "C" takes every key from B
   to C... */
QXDB_API qxdb_status qxdb_range(qxdb_table* table, const char* key, const char* from, const char* to);
/* From now on, walks (qxdb_first ... qxdb_range) show only the records that meet
   an xBase condition: CITY = "Lyon" .AND. AMOUNT > 1000, EMPTY(BORN), !DELETED().
   Null or "" shows every record again. QXDB_INVALID when the condition does not
   parse or names no field. Seeks, qxdb_goto and counts are not filtered. */
QXDB_API qxdb_status qxdb_filter(qxdb_table* table, const char* condition);
/* Reads the first record whose key equals `value` (with `prefix`, begins with it)
   and continues the walk of `key` from there; QXDB_NOT_FOUND when none does. */
QXDB_API qxdb_status qxdb_seek(qxdb_table* table, const char* key, const char* value, int prefix);
/* Reads record `recno` (counted from 1), deleted or not. */
QXDB_API qxdb_status qxdb_goto(qxdb_table* table, int64_t recno);
/* With key null: the table's records, deleted ones included. With a key: its
   keys between `from` and `to` (null: open), as qxdb_range takes them. */
QXDB_API qxdb_status qxdb_count(qxdb_table* table, const char* key, const char* from, const char* to, int64_t* count);

/* The record read: its number (0 when none), whether it is deleted, and each
   field's value as text (null when the field holds none: a blank date or number,
   an unknown logical, an empty memo). */
QXDB_API int64_t qxdb_recno(qxdb_table* table);
QXDB_API int qxdb_deleted(qxdb_table* table);
QXDB_API const char* qxdb_value(qxdb_table* table, int field);
/* The record read as one JSON object: field names to values (numbers and logicals
   as JSON numbers and booleans, the rest as strings, null where there is none). */
QXDB_API const char* qxdb_record_json(qxdb_table* table);

/* From the record read on, up to `max` records of the walk as one JSON array of
   such objects (*json, valid until the next call on the table), *count of them;
   their numbers and deleted flags in `recnos` and `deleted` when given (arrays of
   `max`). The walk then stands on the record after the last one given: QXDB_OK
   while there is one, QXDB_END when the walk is done. Reading many records in one
   call is for programs whose every call costs (an interpreter's foreign calls). */
QXDB_API qxdb_status qxdb_read_json(qxdb_table* table, int max, const char** json, int* count, int64_t* recnos,
                                    int* deleted);

/* ---- Writing ----
   Values are set first (qxdb_set), then written by qxdb_append or qxdb_update,
   which clear them; every index of the table and its memo file follow. */
/* Sets `field` to `value` (null: blank) for the next append or update. */
QXDB_API qxdb_status qxdb_set(qxdb_table* table, const char* field, const char* value);
QXDB_API void qxdb_clear(qxdb_table* table);
/* Adds a record of the values set (the other fields blank); *recno (may be null)
   receives its number. */
QXDB_API qxdb_status qxdb_append(qxdb_table* table, int64_t* recno);
/* Changes the fields set of record `recno`, locking it meanwhile (unless the
   caller holds its lock). The record is read under the lock, so fields not set
   keep what the record holds then. Updates, deletes and recalls do not wait: a
   record another program holds answers QXDB_LOCKED at once; to wait, take its
   lock first with qxdb_lock_record. */
QXDB_API qxdb_status qxdb_update(qxdb_table* table, int64_t recno);
QXDB_API qxdb_status qxdb_delete(qxdb_table* table, int64_t recno);
QXDB_API qxdb_status qxdb_recall(qxdb_table* table, int64_t recno);

/* ---- Locks ----
   Taken as other xBase programs take them; a lock another program holds is
   waited for up to `wait_seconds` (0: not at all), then QXDB_LOCKED. */
QXDB_API qxdb_status qxdb_lock_record(qxdb_table* table, int64_t recno, double wait_seconds);
QXDB_API qxdb_status qxdb_unlock_record(qxdb_table* table, int64_t recno);
/* The whole table (FLOCK()): other programs may read, not write. */
QXDB_API qxdb_status qxdb_lock_table(qxdb_table* table, double wait_seconds);
/* Releases every lock the table holds. */
QXDB_API qxdb_status qxdb_unlock_table(qxdb_table* table);

/* ---- Maintenance ----
   Both need the table to themselves (no other program has it open). The progress
   callback, when given, is called as the work goes on with the steps done and the
   steps in all (the old files kept as .BAK are made before the first). */
typedef void (*qxdb_progress)(void* context, uint64_t done, uint64_t total);
/* Removes the deleted records (and their memos), then builds every index again. */
QXDB_API qxdb_status qxdb_pack(qxdb_table* table, qxdb_progress progress, void* context);
/* Builds every index of the table again. */
QXDB_API qxdb_status qxdb_reindex(qxdb_table* table, qxdb_progress progress, void* context);

#ifdef __cplusplus
}
#endif

#endif /* QXDB_H */
