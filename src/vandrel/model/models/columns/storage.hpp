// How pandas keeps a column of texts, for the native paths that write one in
// that very storage: the option table that decides it, the Arrow type of a
// column, and the comparison a two-row probe of the reference steps makes.
#pragma once

#include "core/refs.hpp"

namespace vandrel {

// How a column of the pipeline's dtype keeps its texts, hence how it is built here.
enum class Column : long { objects, arrow_string, arrow_large_string };

// A module attribute as `getattr` finds it for the names the columns read (in
// the module's dictionary), or an empty Ref when absent.
Ref module_item(PyObject* module, PyObject* name);

// The Arrow type of a Series' values ("string", "large_string", ...), or None
// when its dtype keeps them elsewhere (it has no pyarrow `storage`).
Ref arrow_type_name(PyObject* series);

// Whether a chunk of an Arrow-backed Series' array carries a validity bitmap.
bool arrow_chunks_have_validity(PyObject* series);

// How a column whose values have the Arrow type `arrow` (None: not Arrow) is
// built: Arrow buffers where a pyarrow to hand them to is loaded, else objects.
Column column_for(PyObject* arrow);

// Whether two Series of two rows are alike to the last detail a probe can see:
// dtype (type and value), values, exact str items, Arrow type (`piped_arrow`
// is arrow_type_name(piped)).
bool same_series(PyObject* ours, PyObject* piped, PyObject* piped_arrow);

// The pandas options that may decide the dtype and values of a column of
// texts, as a hashable tuple; NULL when the table is not where pandas 2 and 3
// keep it.
Ref dtype_options(PyObject* pd);

// What the pandas steps reach when they make a column of texts in Arrow
// storage, or that the Arrow columns made here go through, by identity:
// pyarrow's module and its `array`, Series.__init__,
// ArrowStringArray._from_sequence and StringDtype.__from_arrow__, as a tuple
// when each is pyarrow's or pandas' own (a function whose code is its module
// source's), else False: then a column
// the steps would keep in Arrow is left to them, unprobed. None when pyarrow is
// not loaded.
Ref pipeline_objects(PyObject* pd);

// The options and the objects above, for a column made under them (a key
// that compares equal while nothing of either changed); NULL when the options
// cannot be read.
Ref column_key(PyObject* pd);

}  // namespace vandrel
