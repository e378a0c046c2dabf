// The free pages of an index file (see free_pages.h).

#include "engine/index/free_pages.h"

#include "engine/core/engine.h"
#include "engine/index/ordered_commit.h"

XDSTATUS free_pages_take(const FreePages& f, BlockChanges& changes, uint32_t* page) {
    XDSTATUS s;
    if (*f.head) {
        uint32_t next = 0;
        if (f.next_of(f.context, *f.head, &next)) {
            // A page this change freed is taken back inside it: the head word the
            // change writes after its switch covers it (written now, it would
            // name pages the old tree still uses).
            if (f.counted) f.counted(f.context, -1);  // before the head word, which carries the count
            if (f.write_head && !changes.is_freed(*f.head) && (s = f.write_head(f.context, next))) return s;
            *page = *f.head;
            *f.head = next;
            changes.fresh.insert(*page);
            return XD_OK;
        }
        if (!f.stale_head_forgotten) return xdb_report(XD_CORRUPT);
        xdb_set_status(XD_OK);  // a failed look at a stale page is no error
        *f.head = 0;
    }
    if ((s = f.append(f.context, page))) return s;
    changes.fresh.insert(*page);
    return XD_OK;
}

XDSTATUS free_pages_release(const FreePages& f, BlockChanges& changes, uint32_t page) {
    XDSTATUS s = f.write_freed(f.context, page, *f.head);
    if (s) return s;
    changes.freed.insert(page);
    if (f.counted) f.counted(f.context, 1);
    *f.head = page;
    return XD_OK;
}
