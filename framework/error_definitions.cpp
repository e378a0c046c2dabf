// gstErrorDef: error identifier -> message id, external code, level. The records
// keep the order of their declaration (the framework's first, then the xBase
// driver's); a lookup takes the first match, so the two duplicated records (29 and
// 1011) are never the ones found.

#include "framework/error.h"

namespace {

// Framework errors: external code = identifier (17..20: their message id).
#define FW(id, msg) {id, msg, id, EL_FATAL}
#define FW_CODE_IS_MSG(id, msg) {id, msg, msg, EL_FATAL}
#define FW_WARN(id, msg) {id, msg, id, EL_ONRETURN}
// xBase driver errors: external code = message id.
#define DRV(id, msg) {id, msg, msg, EL_FATAL}
#define DRV_WARN(id, msg) {id, msg, msg, EL_ONRETURN}

}  // namespace

const ErrorDefinition gstErrorDef[] = {
    FW(1, 25624), FW(2, 25016), FW(4, 25625), FW(5, 25017), FW(6, 25626), FW(12, 28546), FW(34, 28885),
    FW(42, 25524), FW(43, 28575), FW(44, 25574), FW(45, 25602), FW(7, 28432), FW(8, 28437), FW(9, 28536),
    FW(10, 28537), FW(11, 28538), FW(13, 28540), FW(14, 28542), FW(15, 28541), FW(16, 28543),
    FW_CODE_IS_MSG(17, 28544), FW_CODE_IS_MSG(18, 28563), FW_CODE_IS_MSG(19, 28417), FW_CODE_IS_MSG(20, 28565),
    FW_WARN(21, 28576), FW(22, 28585), FW(23, 28586), FW(24, 28587), FW(25, 28588), FW(26, 28589),
    FW(27, 28590), FW(28, 28591), FW(29, 28624), FW(29, 28624), FW(30, 28636), FW(32, 28876), FW(33, 28884),
    FW(35, 28910), FW(37, 28994), FW(38, 25003), FW(39, 25004), FW(40, 25008), FW(41, 25199), FW(46, 25607),
    FW(47, 25609), FW(48, 25613), FW(49, 25615), FW(50, 28583), FW(51, 28584), FW(52, 25616), FW(53, 25621),
    FW(54, 25628), FW(55, 25667), FW(56, 25681), FW(57, 25833), FW(58, 25854), FW(59, 25867), FW(60, 25293),
    FW(61, 25294), FW(62, 25295), FW(63, 25296), FW(64, 25297), FW(65, 25298), FW(66, 25292), FW(67, 25861),
    FW(68, 25862), FW(69, 25863), FW(70, 25864), FW(71, 25865), FW(72, 25866), FW_WARN(73, 25860),
    FW(74, 25868), FW(75, 25871), FW(76, 25872), FW(77, 25873), FW(78, 25575), FW(79, 25877), FW(80, 25878),
    FW(81, 28566), FW(82, 25880), FW(83, 25881),

    DRV(1000, 2621), DRV_WARN(1001, 2622), DRV(1002, 2623), DRV(1003, 2627), DRV_WARN(1004, 2633),
    DRV(1005, 2634), DRV(1006, 2635), DRV(1008, 2642), DRV_WARN(1010, 2649), DRV(1011, 3085), DRV(1011, 3085),
    DRV(1014, 2657), DRV(1015, 2659), DRV(1016, 2661), DRV(1017, 2662), DRV(1018, 2668), DRV(1019, 2758),
    DRV(1020, 2757), DRV(1021, 2759), DRV(1022, 2760), DRV(1023, 2766), DRV(1024, 2767), DRV_WARN(1025, 2775),
    DRV(1026, 2778), DRV(1027, 2777), DRV(1028, 2956), DRV(1029, 2960), DRV(1030, 2961), DRV(1031, 2962),
    DRV(1032, 2963), DRV_WARN(1033, 2964), DRV(1034, 2965), DRV(1035, 2966), DRV(1036, 2969), DRV(1037, 2970),
    DRV(1038, 2974), DRV(1039, 3030), DRV(1040, 3031), DRV_WARN(1041, 3038), DRV(1042, 3044), DRV(1043, 3045),
    DRV(1044, 2971), DRV(1045, 3046), DRV(1046, 3047), DRV(1047, 3048), DRV(1048, 2973), DRV(1049, 2972),
    DRV(1050, 3049), DRV(1051, 2976), DRV(1052, 3050), DRV(1053, 3072), DRV(1054, 3073), DRV(1055, 3084),
    DRV(1056, 3086), DRV(1057, 3087), DRV(1058, 3092), DRV(1059, 3029), DRV(1060, 3343), DRV(1061, 3354),
    DRV(1062, 3356), DRV(1063, 3364), DRV(1064, 3367), DRV(1065, 3393), DRV(1066, 3418), DRV(1067, 3431),
    DRV(1068, 3434), DRV(1069, 3492), DRV(1070, 28954), DRV(1071, 3682),
};

const size_t gstErrorDefCount = sizeof gstErrorDef / sizeof gstErrorDef[0];

const ErrorDefinition* find_error_definition(uint32_t error_id) {
    for (size_t i = 0; i < gstErrorDefCount; i++)
        if (gstErrorDef[i].error_id - error_id == 0) return &gstErrorDef[i];
    return nullptr;
}
