// The rows of one FormattedStringModel.sample, kept where pandas will keep
// the column: when `pd.Series(rows)` of texts ends in pandas' Arrow-backed
// string dtype, native rows are written as UTF-8 straight into Arrow buffers
// and pandas is handed an array of that very dtype and Arrow type; otherwise
// the rows are the list of str the steps make. The storage is found once per
// set of pandas options by running the step itself on two rows and checking
// that an array built here is alike.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "columns/arrow_strings.hpp"
#include "columns/missing.hpp"
#include "core/refs.hpp"
#include "regex/program.hpp"

namespace vandrel {

class XegerColumn {
  public:
    // `pd` is the module the steps read, `series` the pd.Series they looked up.
    XegerColumn(PyObject* pd, PyObject* series);

    // The sample has `rows` rows in all: the list has room for them from the
    // start, and Arrow buffers are sized for them at the first native rows
    // (exactly, for rows of one length), neither grown row by row.
    void expect(int64_t rows);
    // `count` native rows of `program`.
    void native(const xeger::Program* program, int64_t count);
    // A row a call gave.
    void value(Ref v);
    // series(rows, name=name) when the steps' Series is to be made now (their
    // list); else none: the rows are kept for finish().
    Ref seal(PyObject* name);
    // The Series of the rows kept by seal(), with `missing` (if any) in it:
    // applied to the Arrow buffers where that leaves what the assignment
    // would, else assigned to the Series.
    Ref finish(MissingRows* missing);

  private:
    void to_list();
    void reserve_for(const xeger::Program* program);

    PyObject* pd_;      // borrowed from the caller, alive for the sample
    PyObject* series_;  // borrowed from the caller, alive for the sample
    Ref key_;           // column_key(pd_) when the Arrow column began
    Ref list_;
    std::unique_ptr<ArrowStringBuilder> arrow_;
    Ref dtype_;
    Ref name_;  // read by the steps before seal()
    Column column_ = Column::objects;
    PyObject* importer_ = nullptr;
    int64_t expected_ = 0;
    bool reserved_ = false;
    std::vector<std::pair<int64_t, Ref>> called_;  // rows calls gave, as objects
};

}  // namespace vandrel
