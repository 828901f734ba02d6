// The lines of the module's source file ("vandrel/model/models/string") that
// traceback entries show, each named once: `line::fsm_sample_rows` is the line
// of FormattedStringModel.sample's rows. The table below is read by the tests
// too (tests/conftest.py, LINES): one X(name, line) an entry.
#pragma once

// clang-format off
#define VANDREL_LINES(X) \
    /* The module body */ \
    X(body_first, 1) /* typing's import, and the body's own steps */ \
    X(body_numpy, 3) \
    X(body_pandas, 4) \
    X(body_rstr, 5) \
    X(body_association, 7) \
    X(body_value, 9) \
    X(body_base, 10) \
    X(body_exceptions, 11) \
    /* FormattedStringModel */ \
    X(fsm_class, 14) \
    X(fsm_init, 25) /* def __init__ */ \
    X(fsm_init_super, 26) \
    X(fsm_categories, 28) /* def categories */ \
    X(fsm_categories_test, 30) \
    X(fsm_categories_raise, 31) \
    X(fsm_categories_return, 33) \
    X(fsm_pattern, 35) /* def pattern */ \
    X(fsm_pattern_test, 37) \
    X(fsm_pattern_raise, 38) \
    X(fsm_pattern_return, 39) \
    X(fsm_sample, 41) /* def sample */ \
    X(fsm_sample_rows, 48) \
    X(fsm_sample_nan_test, 50) \
    X(fsm_sample_nan_draw, 51) \
    X(fsm_sample_nan_assign, 52) \
    X(fsm_sample_frame, 54) \
    X(fsm_from_dict, 56) /* def from_dict */ \
    X(fsm_from_dict_meta, 58) \
    X(fsm_from_dict_host, 59) \
    X(fsm_from_dict_return, 60) \
    /* SequentialFormattedString */ \
    X(sfs_class, 65) \
    X(sfs_init, 75) /* def __init__ */ \
    X(sfs_init_super, 82) \
    X(sfs_init_length, 83) \
    X(sfs_init_prefix, 84) \
    X(sfs_init_suffix, 85) \
    X(sfs_init_fitted_test, 87) \
    X(sfs_init_fitted, 88) \
    X(sfs_categories, 90) /* def categories */ \
    X(sfs_categories_test, 92) \
    X(sfs_categories_raise, 93) \
    X(sfs_categories_return, 95) \
    X(sfs_sample, 97) /* def sample */ \
    X(sfs_sample_rows, 104) \
    X(sfs_sample_length, 105) \
    X(sfs_sample_prefix_test, 107) \
    X(sfs_sample_prefix, 108) \
    X(sfs_sample_suffix_test, 110) \
    X(sfs_sample_suffix, 111) \
    X(sfs_sample_nan_test, 113) \
    X(sfs_sample_nan_draw, 114) \
    X(sfs_sample_nan_assign, 115) \
    X(sfs_sample_frame, 117) \
    X(sfs_from_dict, 119) /* def from_dict */ \
    X(sfs_from_dict_meta, 121) \
    X(sfs_from_dict_host, 122) \
    X(sfs_from_dict_return, 123) \
    X(sfs_from_dict_prefix, 125) \
    X(sfs_from_dict_suffix, 126) \
    X(sfs_from_dict_length, 127)
// clang-format on

namespace vandrel::line {

#define VANDREL_LINE(name, number) constexpr int name = number;
VANDREL_LINES(VANDREL_LINE)
#undef VANDREL_LINE

}  // namespace vandrel::line
