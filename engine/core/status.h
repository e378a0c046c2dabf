#pragma once
// Engine statuses: every engine operation returns one of these and records it
// as the last status. Positive values are warnings (the work was done), negative
// values are errors that stay pending until the caller resets the status to 0.
// Values below -59 are system errors (0xC000 | error number) and carry no message.

#include <cstdint>

typedef int16_t XDSTATUS;

constexpr XDSTATUS XD_KEYNOTFOUNDEND = 12;
constexpr XDSTATUS XD_EXISTS = 11;
constexpr XDSTATUS XD_NOTSUPPORTED = 10;
constexpr XDSTATUS XD_PARTIALALLOC = 9;
constexpr XDSTATUS XD_UNBUFFERED = 8;
constexpr XDSTATUS XD_BADFILESIZE = 7;
constexpr XDSTATUS XD_ROUNDED = 6;
constexpr XDSTATUS XD_TRUNCATED = 5;
constexpr XDSTATUS XD_KEYNOTFOUND = 4;
constexpr XDSTATUS XD_NOMOREKEYS = 3;
constexpr XDSTATUS XD_EMPTYFILE = 2;
constexpr XDSTATUS XD_DELETEDREC = 1;
constexpr XDSTATUS XD_OK = 0;
constexpr XDSTATUS XD_WRITEERR = -1;
constexpr XDSTATUS XD_READERR = -2;
constexpr XDSTATUS XD_MEMERR = -3;
constexpr XDSTATUS XD_SEEKERR = -4;
constexpr XDSTATUS XD_NOFILE = -5;
constexpr XDSTATUS XD_CORRUPT = -6;
constexpr XDSTATUS XD_BADKEYEXPR = -7;
constexpr XDSTATUS XD_NOHANDLE = -8;
constexpr XDSTATUS XD_NOPAGE = -9;
constexpr XDSTATUS XD_PAGENOTLOADED = -10;
constexpr XDSTATUS XD_CLOSEERR = -11;
constexpr XDSTATUS XD_BADCOMMAND = -12;
constexpr XDSTATUS XD_BADHANDLE = -13;
constexpr XDSTATUS XD_BADFILENAME = -14;
constexpr XDSTATUS XD_BADDATE = -15;
constexpr XDSTATUS XD_BADTIME = -16;
constexpr XDSTATUS XD_NOTMEMO = -17;
constexpr XDSTATUS XD_BADVERSION = -18;
constexpr XDSTATUS XD_BADHEADERSIZE = -19;
constexpr XDSTATUS XD_BADLASTDATE = -20;
constexpr XDSTATUS XD_NULLPARAM = -21;
constexpr XDSTATUS XD_BADKEYTYPE = -22;
constexpr XDSTATUS XD_BADKEYSIZE = -23;
constexpr XDSTATUS XD_BADITEMSIZE = -24;
constexpr XDSTATUS XD_BADROOT = -25;
constexpr XDSTATUS XD_BADMAXKEYS = -26;
constexpr XDSTATUS XD_BADFIELDCOUNT = -27;
constexpr XDSTATUS XD_BADFIELDNAME = -28;
constexpr XDSTATUS XD_BADFIELDSIZE = -29;
constexpr XDSTATUS XD_BADDECIMALS = -30;
constexpr XDSTATUS XD_BADFIELDTYPE = -31;
constexpr XDSTATUS XD_BADRECSIZE = -32;
constexpr XDSTATUS XD_BADDATA = -33;
constexpr XDSTATUS XD_BADMEMOLINE = -34;
constexpr XDSTATUS XD_BADMDXFLAG = -35;
constexpr XDSTATUS XD_READONLY = -36;
constexpr XDSTATUS XD_LOCKVIOLATION = -37;
constexpr XDSTATUS XD_LOCKOVERFLOW = -38;
constexpr XDSTATUS XD_NOPATH = -39;
constexpr XDSTATUS XD_ACCESSDENIED = -40;
constexpr XDSTATUS XD_BADACCESSCODE = -41;
constexpr XDSTATUS XD_NOTLOCKED = -42;
constexpr XDSTATUS XD_DISKCHANGED = -43;
constexpr XDSTATUS XD_BADMINKEYS = -44;
constexpr XDSTATUS XD_FILESOPEN = -45;
constexpr XDSTATUS XD_OPENERR = -46;
constexpr XDSTATUS XD_FLUSHERR = -47;
constexpr XDSTATUS XD_BADTAGID = -48;
constexpr XDSTATUS XD_BADBLOCKSIZE = -49;
constexpr XDSTATUS XD_BADTAGNAME = -50;
constexpr XDSTATUS XD_BADOFFSET = -51;
constexpr XDSTATUS XD_BADTAGTABLEMAX = -52;
constexpr XDSTATUS XD_BADTAGITEMSIZE = -53;
constexpr XDSTATUS XD_BADTAGCOUNT = -54;
constexpr XDSTATUS XD_BADKEYFORMAT = -55;
constexpr XDSTATUS XD_BADPARAM = -56;
constexpr XDSTATUS XD_TAGINUSE = -57;
constexpr XDSTATUS XD_LOCKMEMERR = -58;
constexpr XDSTATUS XD_NOTASK = -59;

// One row of the status table: the short message and the explanation are ids of
// the message table; an explanation flagged as debug goes to an error's debug
// information rather than its user message.
struct XdbStatusInfo {
    XDSTATUS status;
    const char* name;
    unsigned short message_id;
    unsigned short explanation_id;  // 0 when there is none
    bool explanation_is_debug;
};

// The row of a status, or nullptr for values outside -59..12.
const XdbStatusInfo* xdb_status_info(XDSTATUS status);

// Builds the status that reports system or runtime error number `error`.
inline XDSTATUS xdb_system_status(unsigned error) { return (XDSTATUS)(uint16_t)(0xC000u | (error & 0xFFFFu)); }

// What the last open found wrong in a file, in English words, for a program to
// show beside the status (empty when it gave no reason of the file's). An open
// clears it first. `specific`: the file passed the checks of the kind of file
// asked for (a dialect's version byte), so that the fault is the file's own.
XDSTATUS xdb_fault(XDSTATUS status, bool specific, const char* format, ...) __attribute__((format(printf, 3, 4)));
void xdb_clear_fault();
const char* xdb_fault_text(bool* specific);
