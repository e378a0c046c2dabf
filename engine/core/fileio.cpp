// The engine's file primitives over the operating-system layer, with the statuses
// the file formats report.

#include <cerrno>

#include "engine/core/engine.h"
#include "engine/core/os.h"
#include "engine/core/os_platform.h"

namespace {

const uint32_t kPiece = 32767;  // the largest count a 16-bit primitive takes

}  // namespace

uint16_t xdb_expand_open_mode(uint16_t mode) {
    if (mode & XDB_OPEN_SHORTHAND) {
        mode |= XDB_OPEN_DENYNONE | XDB_OPEN_SHARED;
        if (mode & XDB_OPEN_READONLY) mode &= (uint16_t)~XDB_OPEN_SHORTHAND;
    }
    return mode;
}

XDSTATUS xdb_fcreate(uint16_t* sh, const char* name) {
    if (!sh || !name) return xdb_report(XD_NULLPARAM);
    if (!*name) return xdb_report(XD_BADFILENAME);
    if (!osl_create(name, sh)) return xdb_report(XD_OPENERR);
    return XD_OK;
}

XDSTATUS xdb_fopen(uint16_t* sh, const char* name, uint16_t open_mode, uint16_t* file_mode) {
    if (!sh || !name || !file_mode) return xdb_report(XD_NULLPARAM);
    if (!*name) return xdb_report(XD_BADFILENAME);
    uint16_t flags;
    if (open_mode & XDB_OPEN_READONLY) {
        flags = OSL_READ;
        *file_mode |= XDB_FILE_READONLY;
    } else {
        flags = OSL_READ | OSL_WRITE;
        *file_mode &= (uint16_t)~XDB_FILE_READONLY;
    }
    if (open_mode & XDB_OPEN_SHARED) {
        flags |= OSL_SHARE_READ | OSL_SHARE_WRITE;
        *file_mode |= XDB_FILE_SHARED;
    } else {
        *file_mode &= (uint16_t)~XDB_FILE_SHARED;
    }
    if (osl_open(name, flags, sh)) return XD_OK;
    // A file we may not write (or that someone holds) is still offered for reading.
    *file_mode |= XDB_FILE_READONLY | XDB_FILE_SHARED;
    if (osl_open(name, OSL_READ | OSL_SHARE_READ | OSL_SHARE_WRITE, sh)) return XD_OK;
    return xdb_report(XD_OPENERR);
}

XDSTATUS xdb_fclose(uint16_t sh) {
    osl_flush(sh);
    if (!osl_close(sh)) return xdb_report(XD_BADHANDLE);
    return XD_OK;
}

XDSTATUS xdb_fclose_discarded(uint16_t sh) {
    if (!osl_close(sh)) return xdb_report(XD_BADHANDLE);
    return XD_OK;
}

XDSTATUS xdb_fdelete(const char* name) {
    if (!name) return xdb_report(XD_NULLPARAM);
    if (osl_delete(name)) return XD_OK;
    uint32_t e = osl_last_error();
    if (e == kErrFileNotFound) return xdb_report(XD_KEYNOTFOUND);
    if (e == kErrAccessDenied) return xdb_report(XD_ACCESSDENIED);
    return xdb_report(xdb_system_status(e));
}

XDSTATUS xdb_frename(const char* old_name, const char* new_name) {
    if (!old_name || !new_name) return xdb_report(XD_NULLPARAM);
    if (osl_rename(old_name, new_name)) return XD_OK;
    int e = osl_last_runtime_error();
    if (e == ENOENT) return xdb_report(XD_NOFILE);
    if (e == EACCES) return xdb_report(XD_ACCESSDENIED);
    return xdb_report(xdb_system_status((unsigned)e));
}

XDSTATUS xdb_freplace(const char* source, const char* target, const char* backup) {
    if (!source || !target) return xdb_report(XD_NULLPARAM);
    if (osl_replace(source, target, backup)) return XD_OK;
    uint32_t e = osl_last_error();
    if (e == kErrFileNotFound) return xdb_report(XD_NOFILE);
    if (e == kErrAccessDenied) return xdb_report(XD_ACCESSDENIED);
    return xdb_report(xdb_system_status(e));
}

int xdb_fexists(const char* name) { return name && plat_exists(name) ? 1 : 0; }

XDSTATUS xdb_fsize(uint16_t sh, uint32_t* size) {
    uint32_t end = 0;
    if (!osl_size(sh, &end)) {
        // The layer refuses a size its 32-bit positions cannot say.
        if (osl_last_error() == kErrInvalidParameter)
            xdb_fault(XD_SEEKERR, false, "the file is larger than 4 GiB: xBase files are addressed with 32-bit offsets");
        return xdb_report(XD_SEEKERR);
    }
    *size = end;
    return XD_OK;
}

XDSTATUS xdb_fpos(uint16_t sh, uint32_t* pos) {
    if (!osl_seek(sh, 0, 1, pos)) return xdb_report(XD_SEEKERR);
    return XD_OK;
}

XDSTATUS xdb_fseek(uint16_t sh, uint32_t offset) {
    if (!osl_seek(sh, (int32_t)offset, 0, nullptr)) return xdb_report(XD_SEEKERR);
    return XD_OK;
}

XDSTATUS xdb_fread(uint16_t sh, void* buf, int16_t count) {
    if (!buf) return xdb_report(XD_NULLPARAM);
    if (count < 0) return xdb_report(XD_READERR);
    uint32_t got = 0;
    if (!osl_read(sh, buf, (uint32_t)count, &got) || got != (uint32_t)count) return xdb_report(XD_READERR);
    return XD_OK;
}

XDSTATUS xdb_fwrite(uint16_t sh, const void* buf, int16_t count, int commit) {
    if (!buf) return xdb_report(XD_NULLPARAM);
    if (count < 0) return xdb_report(XD_WRITEERR);
    if (!osl_write(sh, buf, (uint32_t)count)) return xdb_report(XD_WRITEERR);
    // The commit hands the bytes to the system at once (there is no buffer of our
    // own in between); it does not wait for the disk, and it cannot fail.
    (void)commit;
    return XD_OK;
}

XDSTATUS xdb_fread_big(uint16_t sh, void* buf, uint32_t count) {
    for (uint32_t done = 0; done < count;) {
        uint32_t n = count - done < kPiece ? count - done : kPiece;
        XDSTATUS s = xdb_fread(sh, (char*)buf + done, (int16_t)n);
        if (s) return s;
        done += n;
    }
    return XD_OK;
}

XDSTATUS xdb_fwrite_big(uint16_t sh, const void* buf, uint32_t count, int commit) {
    for (uint32_t done = 0; done < count;) {
        uint32_t n = count - done < kPiece ? count - done : kPiece;
        XDSTATUS s = xdb_fwrite(sh, (const char*)buf + done, (int16_t)n, commit);
        if (s) return s;
        done += n;
    }
    return XD_OK;
}

XDSTATUS xdb_fread_some(uint16_t sh, void* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!buf) return xdb_report(XD_NULLPARAM);
    while (*got < count) {
        uint32_t want = count - *got < kPiece ? count - *got : kPiece;
        uint32_t n = 0;
        if (!osl_read(sh, (char*)buf + *got, want, &n)) return xdb_report(XD_READERR);
        *got += n;
        if (n < want) break;
    }
    return XD_OK;
}

XDSTATUS xdb_fread_at(uint16_t sh, uint32_t offset, void* buf, uint32_t count) {
    if (!buf) return xdb_report(XD_NULLPARAM);
    uint32_t got = 0;
    if (!osl_read_at(sh, buf, count, offset, &got) || got != count) return xdb_report(XD_READERR);
    return XD_OK;
}

XDSTATUS xdb_fwrite_at(uint16_t sh, uint32_t offset, const void* buf, uint32_t count, int commit) {
    if (!buf) return xdb_report(XD_NULLPARAM);
    if (!osl_write_at(sh, buf, count, offset)) return xdb_report(XD_WRITEERR);
    (void)commit;  // as for xdb_fwrite: the bytes are with the system at once
    return XD_OK;
}

XDSTATUS xdb_fread_some_at(uint16_t sh, uint32_t offset, void* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!buf) return xdb_report(XD_NULLPARAM);
    if (!osl_read_at(sh, buf, count, offset, got)) return xdb_report(XD_READERR);
    return XD_OK;
}

void xdb_fset_size(uint16_t sh, uint32_t size) {
    osl_seek(sh, (int32_t)size, 0, nullptr);
    osl_set_eof(sh, size);
}

XDSTATUS xdb_fat_end(uint16_t sh, int* at_end) {
    uint32_t pos = 0, size = 0;
    if (!osl_seek(sh, 0, 1, &pos)) return xdb_report(XD_SEEKERR);
    XDSTATUS s = xdb_fsize(sh, &size);
    if (s) return s;
    *at_end = pos >= size;
    return XD_OK;
}

XDSTATUS xdb_lock_status(uint32_t system_error) {
    switch (system_error) {
    case kErrInvalidFunction: return XD_BADCOMMAND;
    case kErrInvalidHandle: return XD_BADHANDLE;
    case kErrLockViolation: return XD_LOCKVIOLATION;
    case kErrSharingBufferExceeded: return XD_LOCKOVERFLOW;
    default: return xdb_system_status(system_error);
    }
}

XDSTATUS xdb_flock(uint16_t sh, int unlock, uint32_t offset, uint32_t length) {
    if (sh == 0) return xdb_report(XD_NULLPARAM);
    int ok = unlock ? osl_unlock(sh, offset, length) : osl_lock(sh, offset, length);
    if (!ok) return xdb_report(xdb_lock_status(osl_last_error()));
    return XD_OK;
}
