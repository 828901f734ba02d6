// See numpy_random.hpp.
#include "guard/numpy_random.hpp"

#include <cstring>

#include "core/names.hpp"
#include "core/state.hpp"
#include "mt/binomial.hpp"

namespace vandrel {

namespace {

// numpy's bitgen_t (numpy/random/bitgen.h), the table a bit generator's
// "BitGenerator" capsule holds and RandomState keeps a copy of.
struct BitGen {
    void* state;
    uint64_t (*next_uint64)(void*);
    uint32_t (*next_uint32)(void*);
    double (*next_double)(void*);
    uint64_t (*next_raw)(void*);
};

// An item of a loaded module's dictionary, by the module's name in sys.modules.
PyObject* module_attr(const char* module, PyObject* name) {
    PyObject* m = PyDict_GetItemString(PyImport_GetModuleDict(), module);  // borrowed
    if (m == nullptr || !PyModule_CheckExact(m)) return nullptr;
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(m), name);
    if (v == nullptr) PyErr_Clear();
    return v;
}

// A static (not heap) type of a C extension, named `tp_name`: no attribute of
// it can be set or replaced from Python.
bool static_type(PyObject* t, const char* tp_name) {
    return t != nullptr && PyType_Check(t) &&
           (reinterpret_cast<PyTypeObject*>(t)->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 &&
           std::strcmp(reinterpret_cast<PyTypeObject*>(t)->tp_name, tp_name) == 0;
}

// The probability numpy takes from `p` as it is (PyFloat_AsDouble of a float,
// of numpy's float64, or of the ints 0 and 1), in [0, 1]; -1 otherwise.
double plain_probability(PyObject* p) {
    double v = -1;
    const bool float64 =
        PyFloat_Check(p) &&
        reinterpret_cast<PyObject*>(Py_TYPE(p)) == module_attr("numpy", K.str_float64) &&
        static_type(reinterpret_cast<PyObject*>(Py_TYPE(p)), "numpy.float64");
    if (PyFloat_CheckExact(p) || float64) {
        v = PyFloat_AS_DOUBLE(p);
    } else if (PyLong_CheckExact(p)) {
        int overflow = 0;
        const long i = PyLong_AsLongAndOverflow(p, &overflow);
        if (overflow == 0 && (i == 0 || i == 1)) v = static_cast<double>(i);
        PyErr_Clear();
    }
    return v >= 0 && v <= 1 ? v : -1;
}

// Whether `key` (the `state` of the bit generator) holds the words and
// position of `mt`: the layout read here is the one numpy keeps.
bool layout_checked(PyObject* bit_generator, const mt::NumpyMT* mt) {
    if (S.np_bit_generator == bit_generator) return true;
    Ref state = Ref::steal_or_null(PyObject_GetAttr(bit_generator, K.str_state));
    if (!state || !PyDict_CheckExact(state.get())) return false;
    PyObject* inner = PyDict_GetItemWithError(state.get(), K.str_state);
    if (inner == nullptr || !PyDict_CheckExact(inner)) return false;
    PyObject* key = PyDict_GetItemWithError(inner, K.str_key);
    PyObject* pos = PyDict_GetItemWithError(inner, K.str_pos);
    if (key == nullptr || pos == nullptr || !PyLong_CheckExact(pos)) return false;
    if (PyLong_AsLong(pos) != mt->pos) return false;
    Py_buffer view{};
    if (PyObject_GetBuffer(key, &view, PyBUF_C_CONTIGUOUS) != 0) return false;
    const bool same = view.len == static_cast<Py_ssize_t>(sizeof mt->key) &&
                      std::memcmp(view.buf, mt->key, sizeof mt->key) == 0;
    PyBuffer_Release(&view);
    if (!same) return false;
    Py_INCREF(bit_generator);
    Py_XSETREF(S.np_bit_generator, bit_generator);
    return true;
}

// The bitgen_t copy inside the RandomState object: the word after the one
// that holds its `_bit_generator`, equal to that generator's capsule (numpy's
// RandomState keeps it from its first generator, even when the attribute is
// set to another one).
bool random_state_uses(PyObject* rs, PyObject* bit_generator, const BitGen* bg) {
    const auto size = static_cast<size_t>(Py_TYPE(rs)->tp_basicsize);
    const auto* words = reinterpret_cast<const char*>(rs);
    for (size_t at = sizeof(PyObject); at + sizeof(void*) + sizeof(BitGen) <= size;
         at += sizeof(void*)) {
        uintptr_t held = 0;
        std::memcpy(&held, words + at, sizeof held);
        if (held != reinterpret_cast<uintptr_t>(bit_generator)) continue;
        BitGen copy{};
        std::memcpy(&copy, words + at + sizeof(void*), sizeof copy);
        return std::memcmp(&copy, bg, sizeof copy) == 0;
    }
    return false;
}

bool fail() {
    PyErr_Clear();
    return false;
}

}  // namespace

bool numpy_binomial_one(PyObject* binomial, PyObject* p, PyObject* n, std::vector<uint8_t>& out) {
    // 1. numpy's own method on an exact RandomState (static types: their
    //    methods cannot be replaced), over an exact MT19937.
    if (Py_TYPE(binomial) != &PyMethod_Type) return false;
    PyObject* rs_type = module_attr("numpy.random.mtrand", K.str_RandomState);
    PyObject* mt_type = module_attr("numpy.random._mt19937", K.str_MT19937);
    if (!static_type(rs_type, "numpy.random.mtrand.RandomState") ||
        !static_type(mt_type, "numpy.random._mt19937.MT19937")) {
        return false;
    }
    PyObject* rs = PyMethod_GET_SELF(binomial);
    if (reinterpret_cast<PyObject*>(Py_TYPE(rs)) != rs_type) return false;
    PyObject* own =
        PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(rs_type)->tp_dict, K.str_binomial);
    if (own == nullptr || PyMethod_GET_FUNCTION(binomial) != own) return fail();
    // 2. p as numpy takes it, n a size numpy's array can have.
    const double prob = plain_probability(p);
    if (prob < 0) return false;
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (overflow != 0 || count < 0 ||
        count > static_cast<long long>(PY_SSIZE_T_MAX / 8)) {  // np.empty(n, np.long) fits
        return fail();
    }
    void* room = PyMem_RawMalloc(static_cast<size_t>(count) * 8 + 1);
    if (room == nullptr) return false;  // numpy's MemoryError is numpy's to raise
    PyMem_RawFree(room);
    // 3. The generator: its bitgen_t is the one the RandomState draws with.
    Ref bit_generator = Ref::steal_or_null(PyObject_GetAttr(rs, K.str__bit_generator));
    if (!bit_generator) return fail();
    if (reinterpret_cast<PyObject*>(Py_TYPE(bit_generator.get())) != mt_type) return false;
    Ref capsule = Ref::steal_or_null(PyObject_GetAttr(bit_generator.get(), K.str_capsule));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return fail();
    auto* bg = static_cast<BitGen*>(PyCapsule_GetPointer(capsule.get(), "BitGenerator"));
    if (bg == nullptr || bg->state == nullptr) return fail();
    if (!random_state_uses(rs, bit_generator.get(), bg)) return false;
    auto* mt = static_cast<mt::NumpyMT*>(bg->state);
    if (mt->pos < 0 || mt->pos > mt::MT_N || !layout_checked(bit_generator.get(), mt)) {
        return fail();
    }
    // 4. Under the generator's lock, as numpy draws; held elsewhere, numpy waits.
    Ref lock = Ref::steal_or_null(PyObject_GetAttr(bit_generator.get(), K.str_lock));
    if (!lock) return fail();
    Ref acquire = Ref::steal_or_null(PyObject_GetAttr(lock.get(), K.str_acquire));
    if (!acquire) return fail();
    out.resize(static_cast<size_t>(count));  // (before the lock: nothing throws under it)
    Ref got = Ref::steal_or_null(PyObject_CallOneArg(acquire.get(), Py_False));
    if (!got) return fail();
    if (got.get() != Py_True) return false;
    mt::draw_binomial_one(mt, mt::BinomialOne(prob), count, out.data());
    Ref released = Ref::steal_or_null(PyObject_CallMethodNoArgs(lock.get(), K.str_release));
    if (!released) raise_set();
    return true;
}

}  // namespace vandrel
