#include "core/names.hpp"

#include <string>
#include <unordered_map>

namespace vandrel {

Constants K{};

namespace {

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (o == nullptr) raise_set();
    return o;
}

PyObject* text(const char* s) {
    PyObject* o = PyUnicode_FromString(s);
    if (o == nullptr) raise_set();
    return o;
}

PyObject* pack(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (t == nullptr) raise_set();
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t, i++, o);
    }
    return t;
}

// Assigns only once: a retried import keeps what the first attempt made.
template <class F>
void once(PyObject*& slot, F make) {
    if (slot == nullptr) slot = make();
}

}  // namespace

PyObject* name_of(const char* text) {
    // Made once and never destroyed: at exit the interpreter may be gone.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* table = new std::unordered_map<std::string, PyObject*>();
    auto found = table->find(text);
    if (found != table->end()) return found->second;
    PyObject* name = intern(text);
    table->emplace(text, name);
    return name;
}

void make_strings() {
#define VANDREL_MAKE(id) once(K.str_##id, [] { return intern(#id); });
    VANDREL_IDENTIFIERS(VANDREL_MAKE)
#undef VANDREL_MAKE
    once(K.str_module_name, [] { return intern("vandrel.model.models.string"); });
    once(K.str_source_path, [] { return intern("vandrel/model/models/string"); });
    once(K.str_init_funcname, [] { return intern("init vandrel.model.models.string"); });
    once(K.str_assoc_module, [] { return intern("vandrel.metadata.rules.association"); });
    once(K.str_metadata_value, [] { return intern("metadata.value"); });
    once(K.str_no_pattern,
         [] { return text("FormattedStringModel doesn't have a pattern specified."); });
    once(K.doc_formatted, [] {
        return text(
            "A model to sample formatted strings from a regex pattern.\n\n"
            "    Attributes:\n"
            "        name (str): The name of the data column to model.\n"
            "        categories (MutableSequence[NType]): A list of the categories.\n"
            "        probabilities (Dict[NType, float]): A mapping of each of the categories to "
            "a probability.\n"
            "        pattern (str): The regex pattern from which to generate matching strings.\n"
            "\n    ");
    });
    once(K.doc_sequential, [] {
        return text(
            "A model to sample formatted sequential numeric identifiers with an optional suffix "
            "or prefix.\n\n"
            "    Attributes:\n"
            "        length (int): The length of the numeric identifier. Numbers are zero padded "
            "up to this length.\n"
            "        prefix (str): The prefix of the identifier.\n"
            "        suffix (str): The suffix of the identifier.\n"
            "\n    ");
    });
    once(K.empty_tuple, [] { return Ref::steal(PyTuple_New(0)).release(); });
    once(K.empty_bytes, [] { return Ref::steal(PyBytes_FromStringAndSize("", 0)).release(); });
    once(K.empty_str, [] { return Ref::steal(PyUnicode_FromStringAndSize("", 0)).release(); });
    once(K.int_0, [] { return Ref::steal(PyLong_FromLong(0)).release(); });
    once(K.int_1, [] { return Ref::steal(PyLong_FromLong(1)).release(); });
}

void make_tuples() {
    once(K.defaults_sample, [] { return pack({Py_True, Py_None, Py_None}); });
    once(K.defaults_seq_init, [] { return pack({Py_None, Py_None, Py_None}); });
    once(K.args_binomial, [] { return pack({K.int_1}); });
    once(K.kw_meta, [] { return pack({K.str_meta}); });
    once(K.kw_name, [] { return pack({K.str_name}); });
    once(K.kw_name_dtype, [] { return pack({K.str_name, K.str_dtype}); });
    once(K.kw_p_size, [] { return pack({K.str_p, K.str_size}); });
    once(K.kw_seq_ctor, [] {
        return pack({K.str_meta, K.str_prefix, K.str_suffix, K.str_length});
    });
    // The key types are the built-in `str` type itself and the captured `object`.
    once(K.dict_key_types, [] {
        return pack({reinterpret_cast<PyObject*>(&PyUnicode_Type), K.builtin_object});
    });
}

}  // namespace vandrel
