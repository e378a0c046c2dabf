#include "engine/core/file_switch.h"

#include <cstring>
#include <vector>

#include "engine/core/engine.h"
#include "engine/core/os.h"

namespace {

const char kMarkTitle[] = "QXDB file switch";

bool is_separator(char c) { return c == '/' || c == '\\' || c == ':'; }

std::string directory_of(const std::string& path) {
    size_t cut = 0;
    for (size_t i = 0; i < path.size(); i++)
        if (is_separator(path[i])) cut = i + 1;
    return path.substr(0, cut);
}

// Names beside the mark are kept without their directory, so that a program
// started elsewhere (another current directory) finds them.
std::string relative_to(const std::string& dir, const std::string& path) {
    if (!dir.empty() && path.compare(0, dir.size(), dir) == 0) {
        std::string rest = path.substr(dir.size());
        bool nested = false;
        for (char c : rest) nested = nested || is_separator(c);
        if (!nested) return rest;
    }
    return path;
}

std::string resolved(const std::string& dir, const std::string& name) {
    for (char c : name)
        if (is_separator(c)) return name;
    return name.empty() ? name : dir + name;
}

bool exists(const std::string& name) { return !name.empty() && xdb_fexists(name.c_str()); }

// The mark is held open and locked (its first byte) by whoever works through it:
// the program switching, or one finishing a stopped switch. Another program's
// open meets the lock and leaves the files alone until the mark is gone.
XDSTATUS write_mark(const std::string& mark, const XdbSwitchStep* steps, int count, uint16_t* held) {
    std::string dir = directory_of(mark), text = std::string(kMarkTitle) + "\n";
    for (int i = 0; i < count; i++) {
        const XdbSwitchStep& s = steps[i];
        for (const std::string* name : {&s.source, &s.target, &s.backup})
            if (name->find_first_of("\t\r\n") != std::string::npos) return xdb_report(XD_BADFILENAME);
        text += relative_to(dir, s.source) + "\t" + relative_to(dir, s.target) + "\t" + relative_to(dir, s.backup) +
                (s.discard_backup ? "\t1\n" : "\t0\n");
    }
    uint16_t sh = 0;
    XDSTATUS s = xdb_fcreate(&sh, mark.c_str());
    if (s) return s;
    s = xdb_flock(sh, 0, 0, 1);
    if (s == XD_OK) s = xdb_fwrite_big(sh, text.data(), (uint32_t)text.size(), 1);
    if (s == XD_OK && !osl_flush(sh)) s = xdb_report(XD_WRITEERR);  // on the disk before any rename
    if (s != XD_OK) {
        xdb_set_status(XD_OK);
        xdb_fclose(sh);
        xdb_fdelete(mark.c_str());
        xdb_set_status(XD_OK);
        return xdb_report(s);
    }
    *held = sh;
    return XD_OK;
}

void let_go(uint16_t sh) {
    xdb_flock(sh, 1, 0, 1);
    xdb_fclose(sh);
    xdb_set_status(XD_OK);
}

// The mark's steps, read through `sh`; false when it cannot be read whole (a mark
// cut short was being written, so no step had begun).
bool read_mark(uint16_t sh, const std::string& mark, std::vector<XdbSwitchStep>* steps) {
    std::string text;
    char buf[512];
    uint32_t at = 0;
    for (uint32_t got = 0; xdb_fread_some_at(sh, at, buf, sizeof buf, &got) == XD_OK && got > 0 && text.size() < 65536;
         at += got)
        text.append(buf, got);
    xdb_set_status(XD_OK);
    // Lines may end in CR LF too (a mark that passed through a text editor).
    std::string plain;
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    text.swap(plain);
    std::string dir = directory_of(mark);
    size_t nl = text.find('\n');
    if (nl == std::string::npos || text.compare(0, nl, kMarkTitle) != 0) return false;
    for (size_t line = nl + 1; line < text.size();) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) return false;  // the last line is cut short
        std::string row = text.substr(line, end - line);
        size_t t1 = row.find('\t'), t2 = t1 == std::string::npos ? t1 : row.find('\t', t1 + 1);
        size_t t3 = t2 == std::string::npos ? t2 : row.find('\t', t2 + 1);
        if (t3 == std::string::npos) return false;
        XdbSwitchStep s;
        s.source = resolved(dir, row.substr(0, t1));
        s.target = resolved(dir, row.substr(t1 + 1, t2 - t1 - 1));
        s.backup = resolved(dir, row.substr(t2 + 1, t3 - t2 - 1));
        s.discard_backup = row.substr(t3 + 1) == "1";
        if (s.source.empty() || s.target.empty()) return false;
        steps->push_back(s);
        line = end + 1;
    }
    return !steps->empty();
}

enum StepState { PENDING, DONE, UNDONE };

StepState state_of(const XdbSwitchStep& s) {
    if (exists(s.source)) return PENDING;
    if (s.backup.empty() || exists(s.backup)) return DONE;
    return UNDONE;
}

XDSTATUS undo_step(const XdbSwitchStep& s) { return xdb_freplace(s.backup.c_str(), s.target.c_str(), nullptr); }

XDSTATUS do_step(const XdbSwitchStep& s) {
    return xdb_freplace(s.source.c_str(), s.target.c_str(), s.backup.empty() ? nullptr : s.backup.c_str());
}

// The mark goes before the sources and the discarded backups: were one of them to
// go first, its step would look done (or undone) to the next open.
// While the mark stays (its delete failed), nothing else goes: the next open
// must find the files as the mark describes them.
void drop_mark_and_sources(const std::string& mark, const std::vector<XdbSwitchStep>& steps) {
    xdb_fdelete(mark.c_str());
    xdb_set_status(XD_OK);
    if (exists(mark)) return;
    for (const XdbSwitchStep& s : steps) {
        if (exists(s.source)) xdb_fdelete(s.source.c_str());
        if (s.discard_backup && exists(s.backup)) xdb_fdelete(s.backup.c_str());
    }
    xdb_set_status(XD_OK);
}

// Undoes the done steps, last first.
XDSTATUS undo_done(const std::vector<XdbSwitchStep>& steps, size_t upto) {
    for (size_t i = upto; i-- > 0;) {
        if (state_of(steps[i]) != DONE || steps[i].backup.empty()) continue;
        XDSTATUS s = undo_step(steps[i]);
        if (s < 0) return s;
    }
    return XD_OK;
}

}  // namespace

std::string xdb_free_temp_name(const std::string& dir, const char* extension) {
    for (int k = 0;; k++) {
        std::string name = dir + std::to_string(k) + extension;
        if (!xdb_fexists(name.c_str())) return name;
    }
}

std::string xdb_switch_mark_name(const char* table_name) {
    std::string path = table_name ? table_name : "";
    std::string dir = directory_of(path), base = path.substr(dir.size());
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.resize(dot);
    return dir + base + ".SWT";
}

XDSTATUS xdb_switch_files(const std::string& mark, const XdbSwitchStep* steps, int count) {
    if (!steps || count <= 0) return xdb_report(XD_BADPARAM);
    // No backup may be there before the mark: its presence tells a step done.
    for (int i = 0; i < count; i++)
        if (exists(steps[i].backup)) {
            XDSTATUS s = xdb_fdelete(steps[i].backup.c_str());
            if (s < 0) return s;
        }
    uint16_t held = 0;
    XDSTATUS s = write_mark(mark, steps, count, &held);
    if (s) return s;
    std::vector<XdbSwitchStep> list(steps, steps + count);
    for (int i = 0; i < count; i++) {
        if ((s = do_step(steps[i])) == XD_OK) continue;
        XDSTATUS failure = s;
        xdb_set_status(XD_OK);
        const bool undone = undo_done(list, (size_t)i) >= 0;
        let_go(held);
        // Undone, the mark goes with the new files; else it stays, and the next
        // open of the table finishes or undoes the switch.
        if (undone) drop_mark_and_sources(mark, list);
        return xdb_report(failure);
    }
    let_go(held);
    drop_mark_and_sources(mark, list);
    return XD_OK;
}

XDSTATUS xdb_finish_switch(const std::string& mark) {
    if (!exists(mark)) return XD_OK;
    uint16_t sh = 0, file_mode = 0;
    if (xdb_fopen(&sh, mark.c_str(), XDB_OPEN_DENYNONE | XDB_OPEN_SHARED, &file_mode)) {
        xdb_set_status(XD_OK);
        return exists(mark) ? xdb_report(XD_OPENERR) : XD_OK;  // gone meanwhile: finished by another program
    }
    if (xdb_flock(sh, 0, 0, 1)) {
        // Another program is switching the files (or finishing a stopped switch):
        // they are whole again once it lets go of the mark.
        xdb_fclose(sh);
        xdb_fault(XD_LOCKVIOLATION, false, "another program is switching this table's rebuilt files (%s)", mark.c_str());
        return xdb_report(XD_LOCKVIOLATION);
    }
    std::vector<XdbSwitchStep> steps;
    if (!read_mark(sh, mark, &steps)) {
        let_go(sh);
        xdb_fdelete(mark.c_str());
        xdb_set_status(XD_OK);
        return XD_OK;
    }
    // A replace cut between its two renames (a system that renames the old file
    // away first) leaves the target missing: the backup goes back.
    for (const XdbSwitchStep& st : steps)
        if (!exists(st.target) && exists(st.source) && exists(st.backup)) xdb_frename(st.backup.c_str(), st.target.c_str());
    xdb_set_status(XD_OK);
    bool undoing = false;
    for (const XdbSwitchStep& st : steps) undoing = undoing || state_of(st) == UNDONE;
    XDSTATUS s = XD_OK;
    if (undoing || state_of(steps[0]) == PENDING) {
        s = undo_done(steps, steps.size());
    } else {
        for (const XdbSwitchStep& st : steps)
            if (s == XD_OK && state_of(st) == PENDING) s = do_step(st);
    }
    xdb_set_status(XD_OK);
    let_go(sh);
    if (s == XD_OK) {
        drop_mark_and_sources(mark, steps);
        return XD_OK;
    }
    xdb_fault(s, false, "an interrupted switch of rebuilt files (%s) could not be finished or undone", mark.c_str());
    return xdb_report(s);
}
