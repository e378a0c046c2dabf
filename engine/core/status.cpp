#include "engine/core/status.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Ordered from 12 down to -59, so a status finds its row by subtraction.
const XdbStatusInfo kStatusTable[] = {
    {XD_KEYNOTFOUNDEND, "XD_KEYNOTFOUNDEND", 2805, 2885, false},
    {XD_EXISTS, "XD_EXISTS", 2798, 2878, false},
    {XD_NOTSUPPORTED, "XD_NOTSUPPORTED", 2799, 2879, false},
    {XD_PARTIALALLOC, "XD_PARTIALALLOC", 2800, 2880, false},
    {XD_UNBUFFERED, "XD_UNBUFFERED", 2801, 2881, true},
    {XD_BADFILESIZE, "XD_BADFILESIZE", 2802, 2882, false},
    {XD_ROUNDED, "XD_ROUNDED", 2803, 2883, false},
    {XD_TRUNCATED, "XD_TRUNCATED", 2804, 2884, false},
    {XD_KEYNOTFOUND, "XD_KEYNOTFOUND", 2805, 2885, false},
    {XD_NOMOREKEYS, "XD_NOMOREKEYS", 2806, 2886, false},
    {XD_EMPTYFILE, "XD_EMPTYFILE", 2807, 2887, false},
    {XD_DELETEDREC, "XD_DELETEDREC", 2808, 2888, false},
    {XD_OK, "XD_OK", 2809, 0, false},
    {XD_WRITEERR, "XD_WRITEERR", 2810, 2889, false},
    {XD_READERR, "XD_READERR", 2811, 2890, false},
    {XD_MEMERR, "XD_MEMERR", 2812, 2891, false},
    {XD_SEEKERR, "XD_SEEKERR", 2813, 2892, false},
    {XD_NOFILE, "XD_NOFILE", 2814, 2893, false},
    {XD_CORRUPT, "XD_CORRUPT", 2815, 2894, false},
    {XD_BADKEYEXPR, "XD_BADKEYEXPR", 2816, 2895, true},
    {XD_NOHANDLE, "XD_NOHANDLE", 2817, 2896, true},
    {XD_NOPAGE, "XD_NOPAGE", 2818, 2897, true},
    {XD_PAGENOTLOADED, "XD_PAGENOTLOADED", 2819, 2898, true},
    {XD_CLOSEERR, "XD_CLOSEERR", 2820, 2899, false},
    {XD_BADCOMMAND, "XD_BADCOMMAND", 2821, 2900, true},
    {XD_BADHANDLE, "XD_BADHANDLE", 2822, 2901, false},
    {XD_BADFILENAME, "XD_BADFILENAME", 2823, 2902, false},
    {XD_BADDATE, "XD_BADDATE", 2824, 2903, false},
    {XD_BADTIME, "XD_BADTIME", 2825, 2904, false},
    {XD_NOTMEMO, "XD_NOTMEMO", 2826, 2905, false},
    {XD_BADVERSION, "XD_BADVERSION", 2828, 2907, false},
    {XD_BADHEADERSIZE, "XD_BADHEADERSIZE", 2835, 2914, false},
    {XD_BADLASTDATE, "XD_BADLASTDATE", 2837, 2916, false},
    {XD_NULLPARAM, "XD_NULLPARAM", 2839, 2918, false},
    {XD_BADKEYTYPE, "XD_BADKEYTYPE", 2840, 2919, true},
    {XD_BADKEYSIZE, "XD_BADKEYSIZE", 2841, 2920, false},
    {XD_BADITEMSIZE, "XD_BADITEMSIZE", 2842, 2921, false},
    {XD_BADROOT, "XD_BADROOT", 2843, 2922, false},
    {XD_BADMAXKEYS, "XD_BADMAXKEYS", 2844, 2923, false},
    {XD_BADFIELDCOUNT, "XD_BADFIELDCOUNT", 2845, 2924, false},
    {XD_BADFIELDNAME, "XD_BADFIELDNAME", 2846, 2925, false},
    {XD_BADFIELDSIZE, "XD_BADFIELDSIZE", 2847, 2926, false},
    {XD_BADDECIMALS, "XD_BADDECIMALS", 2848, 2927, false},
    {XD_BADFIELDTYPE, "XD_BADFIELDTYPE", 2849, 2928, false},
    {XD_BADRECSIZE, "XD_BADRECSIZE", 2850, 2929, false},
    {XD_BADDATA, "XD_BADDATA", 2851, 2930, false},
    {XD_BADMEMOLINE, "XD_BADMEMOLINE", 2852, 2931, false},
    {XD_BADMDXFLAG, "XD_BADMDXFLAG", 2853, 2932, false},
    {XD_READONLY, "XD_READONLY", 2854, 2933, false},
    {XD_LOCKVIOLATION, "XD_LOCKVIOLATION", 2855, 2934, false},
    {XD_LOCKOVERFLOW, "XD_LOCKOVERFLOW", 2856, 2935, false},
    {XD_NOPATH, "XD_NOPATH", 2857, 2936, false},
    {XD_ACCESSDENIED, "XD_ACCESSDENIED", 2858, 2937, false},
    {XD_BADACCESSCODE, "XD_BADACCESSCODE", 2859, 0, false},
    {XD_NOTLOCKED, "XD_NOTLOCKED", 2860, 2938, false},
    {XD_DISKCHANGED, "XD_DISKCHANGED", 2861, 2939, false},
    {XD_BADMINKEYS, "XD_BADMINKEYS", 2862, 2940, false},
    {XD_FILESOPEN, "XD_FILESOPEN", 2863, 2941, true},
    {XD_OPENERR, "XD_OPENERR", 2864, 2942, false},
    {XD_FLUSHERR, "XD_FLUSHERR", 2865, 2943, false},
    {XD_BADTAGID, "XD_BADTAGID", 2866, 2944, false},
    {XD_BADBLOCKSIZE, "XD_BADBLOCKSIZE", 2867, 2945, false},
    {XD_BADTAGNAME, "XD_BADTAGNAME", 2868, 2946, false},
    {XD_BADOFFSET, "XD_BADOFFSET", 2869, 2947, false},
    {XD_BADTAGTABLEMAX, "XD_BADTAGTABLEMAX", 2870, 2948, false},
    {XD_BADTAGITEMSIZE, "XD_BADTAGITEMSIZE", 2871, 2949, false},
    {XD_BADTAGCOUNT, "XD_BADTAGCOUNT", 2872, 2950, false},
    {XD_BADKEYFORMAT, "XD_BADKEYFORMAT", 2873, 2951, false},
    {XD_BADPARAM, "XD_BADPARAM", 2874, 2952, false},
    {XD_TAGINUSE, "XD_TAGINUSE", 2875, 2953, false},
    {XD_LOCKMEMERR, "XD_LOCKMEMERR", 2876, 2954, false},
    {XD_NOTASK, "XD_NOTASK", 2877, 2955, true},
};

}  // namespace

const XdbStatusInfo* xdb_status_info(XDSTATUS status) {
    if (status > 12 || status < -59) return nullptr;
    return &kStatusTable[12 - status];
}

namespace {
char g_fault[200];
bool g_fault_specific;
}  // namespace

XDSTATUS xdb_fault(XDSTATUS status, bool specific, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(g_fault, sizeof g_fault, format, args);
    va_end(args);
    g_fault_specific = specific;
    return status;
}

void xdb_clear_fault() {
    g_fault[0] = 0;
    g_fault_specific = false;
}

const char* xdb_fault_text(bool* specific) {
    if (specific) *specific = g_fault_specific;
    return g_fault;
}
