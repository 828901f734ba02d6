// Step 2 of validation (validator.hpp): what xeger subscripts and calls in
// typing, `Pattern[str]` and `cast`.
#include "core/compat.hpp"
#include "guard/genuine.hpp"
#include "guard/lookups.hpp"
#include "guard/refusal.hpp"
#include "guard/validator.hpp"

namespace vandrel::xeger {

// 2. What xeger subscripts and calls in typing: `Pattern[str]` and `cast`.
void Validator::typing_reads() {
    PyObject* typing = s_.get(xg_, "typing");
    need(typing != nullptr && PyModule_CheckExact(typing));
    td_ = PyModule_GetDict(typing);
    s_.watch_dict(td_);
    need(is_ascii(s_.get(td_, "__name__"), "typing"));
    function(s_.get(td_, "cast"), td_, "cast", {});
    PyObject* alias = s_.get(td_, "Pattern");
    need(alias != nullptr && s_.get(xg_, "Pattern") == alias);
    PyObject* alias_type = s_.get(td_, "_SpecialGenericAlias");
    need(reinterpret_cast<PyObject*>(Py_TYPE(alias)) == alias_type);
    s_.watch_type(alias_type);
    // Hashed as the key of typing's cache: by identity, no code of its own.
    need(mro_lookup(alias_type, "__hash__") == object_slot("__hash__") &&
         mro_lookup(alias_type, "__eq__") == object_slot("__eq__"));
    Ref adict = s_.watch_attributes(alias);
    PyObject* origin = s_.get(adict.get(), "__origin__");
    need(exact_int(s_.get(adict.get(), "_nparams"), 1) && c_type_of(origin, "re.Pattern", "_sre"));
    PyObject* getitem = mro_lookup(alias_type, "__getitem__");
    need(getitem != nullptr && Py_TYPE(getitem) == &PyFunction_Type);
    function(getitem, td_, "_tp_cache.<locals>.decorator.<locals>.inner", {}, true);
    PyObject* cl = PyFunction_GET_CLOSURE(getitem);
    Ref names = Ref::steal(PyObject_GetAttrString(PyFunction_GET_CODE(getitem), "co_freevars"));
    PyObject* freevars = names.get();
    need(PyTuple_Check(freevars));
    need(cl != nullptr && PyTuple_GET_SIZE(cl) == PyTuple_GET_SIZE(freevars));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cl); ++i) {
        PyObject* v = PyCell_GET(PyTuple_GET_ITEM(cl, i));
        PyObject* var = PyTuple_GET_ITEM(freevars, i);
        if (is_ascii(var, "func")) {
            need(v != nullptr && Py_TYPE(v) == &PyFunction_Type);
            // Runs only when typing's cache misses (Pattern[str] is cached
            // once made): its own callees are typing's internals, not followed.
            function(v, td_, "_SpecialGenericAlias.__getitem__", {}, false, false);
        } else {
            need(is_ascii(var, "cached") && v != nullptr &&
                 c_type_of(reinterpret_cast<PyObject*>(Py_TYPE(v)), "functools._lru_cache_wrapper",
                           "_functools"));
        }
    }
}

}  // namespace vandrel::xeger
