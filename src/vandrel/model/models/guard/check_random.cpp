// Step 4 of validation (validator.hpp): `random`, its bound choice, randint
// and shuffle, the generator and its class, and the generator's layout probed
// through the C type's own methods.
#include <cstring>

#include "mt/generator.hpp"
#include "core/compat.hpp"
#include "guard/genuine.hpp"
#include "guard/lookups.hpp"
#include "guard/refusal.hpp"
#include "guard/validator.hpp"

namespace vandrel::xeger {

using mt::MT_N;
using mt::MTObject;
using mt::Words;

// 4. `random`: its bound choice/randint/shuffle, the generator, its class.
void Validator::generator() {
    s_.watch_dict(rd_);
    need(is_ascii(s_.get(rd_, "__name__"), "random"));
    random_type_ = s_.get(rd_, "Random");
    s_.watch_type(random_type_);
    PyObject* inst = nullptr;
    for (const char* m : {"choice", "randint", "shuffle"}) {
        PyObject* bound = s_.get(rd_, m);
        need(bound != nullptr && PyMethod_Check(bound));
        if (inst == nullptr) inst = PyMethod_GET_SELF(bound);
        need(PyMethod_GET_SELF(bound) == inst &&
             PyMethod_GET_FUNCTION(bound) == mro_lookup(random_type_, m));
    }
    need(inst != nullptr);
    s_.random_inst = s_.hold(inst);
    s_.random_type = Py_TYPE(inst);
    need(Py_TYPE(inst) == reinterpret_cast<PyTypeObject*>(random_type_));
    need(s_.random_type->tp_getattro == PyObject_GenericGetAttr);
    method(random_type_, "choice", rd_, "Random.choice");
    method(random_type_, "randint", rd_, "Random.randint");
    method(random_type_, "randrange", rd_, "Random.randrange", {Default::none, Default::one});
    if (kShuffleTakesRandom) {
        method(random_type_, "shuffle", rd_, "Random.shuffle", {Default::none});
    } else {
        method(random_type_, "shuffle", rd_, "Random.shuffle");
    }
    method(random_type_, "_randbelow", rd_, "Random._randbelow_with_getrandbits");
    PyTypeObject* base = s_.random_type->tp_base;
    need(base != nullptr &&
         c_type_of(reinterpret_cast<PyObject*>(base), "_random.Random", "_random"));
    PyObject* bits = mro_lookup(random_type_, "getrandbits");
    need(bits != nullptr && Py_TYPE(bits) == &PyMethodDescr_Type);
    auto* descr = reinterpret_cast<PyMethodDescrObject*>(bits);
    need(PyDescr_TYPE(descr) == base && std::strcmp(descr->d_method->ml_name, "getrandbits") == 0);
    Ref rdict = s_.watch_attributes(inst);
    for (const char* m :
         {"choice", "randint", "randrange", "shuffle", "_randbelow", "getrandbits"}) {
        need(s_.get(rdict.get(), m) == nullptr);
    }
    need(generator_layout_matches(base));
}

// A C method of `base` itself (its own namespace), by name.
PyObject* Validator::own_method(PyTypeObject* base, const char* name) {
    Ref d = type_dict(base);
    PyObject* m = item(d.get(), name);
    need(m != nullptr && Py_TYPE(m) == &PyMethodDescr_Type &&
         PyDescr_TYPE(reinterpret_cast<PyMethodDescrObject*>(m)) == base &&
         std::strcmp(reinterpret_cast<PyMethodDescrObject*>(m)->d_method->ml_name, name) == 0);
    return m;
}

// Whether MTObject is the layout of this interpreter's generator: two probes
// of the C type seeded alike, one read in place, the other through its own
// getrandbits(32). Only the C type's methods run: nothing a user can patch.
bool Validator::generator_layout_matches(PyTypeObject* base) {
    static PyTypeObject* checked = nullptr;
    static bool result = false;
    if (checked == base) return result;
    if (base->tp_basicsize != static_cast<Py_ssize_t>(sizeof(MTObject))) return false;
    PyObject* getstate = own_method(base, "getstate");
    PyObject* getrandbits = own_method(base, "getrandbits");
    Ref seed = Ref::steal(PyLong_FromLong(20240611));
    Ref a = call1(reinterpret_cast<PyObject*>(base), seed.get());
    Ref b = call1(reinterpret_cast<PyObject*>(base), seed.get());
    need(Py_TYPE(a.get()) == base && Py_TYPE(b.get()) == base);
    auto* mt = reinterpret_cast<MTObject*>(a.get());
    auto same_state = [&](PyObject* other) {
        Ref st = call1(getstate, other);
        if (!PyTuple_Check(st.get()) || PyTuple_GET_SIZE(st.get()) < 1) return false;
        PyObject* words = st.get();
        if (PyTuple_GET_SIZE(words) != MT_N + 1) return false;
        for (int i = 0; i <= MT_N; ++i) {
            unsigned long w = PyLong_AsUnsignedLong(PyTuple_GET_ITEM(words, i));
            if (PyErr_Occurred()) raise_set();
            if (w != (i < MT_N ? mt->state[i] : static_cast<unsigned long>(mt->index))) {
                return false;
            }
        }
        return true;
    };
    if (!same_state(a.get())) return false;
    Ref bits = Ref::steal(PyLong_FromLong(32));
    uint32_t block[MT_N];
    for (int i = 0; i < 3 * MT_N;) {
        // Readers of 500 words: each starts in the middle of a block, tempering
        // one word at a time, then refills.
        bool valid = false;
        Words words(mt, block, valid);
        for (int k = 0; k < 500 && i < 3 * MT_N; ++k, ++i) {
            uint32_t mine = words.next();
            Ref theirs = call2(getrandbits, b.get(), bits.get());
            unsigned long w = PyLong_AsUnsignedLong(theirs.get());
            if (PyErr_Occurred()) raise_set();
            if (w != mine) return false;
        }
    }
    result = same_state(b.get());
    checked = base;
    return result;
}

}  // namespace vandrel::xeger
