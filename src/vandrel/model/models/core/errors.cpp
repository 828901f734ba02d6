#include "core/errors.hpp"
namespace vandrel {

void set_error_message(PyObject* type, PyObject* message) noexcept {
    if (message == nullptr) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

void set_arg_type_error(const char* param, const char* expected, PyObject* got) noexcept {
    set_error(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
              param, expected, Py_TYPE(got)->tp_name);
}

void raise_name_error(PyObject* name) {
    set_error(PyExc_NameError, "name '%U' is not defined", name);
    raise_set();
}

void raise_expected_unicode(PyObject* got) {
    set_error(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(got)->tp_name);
    raise_set();
}

void raise_key_error(PyObject* key) {
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    raise_set();
}

void raise_object(PyObject* exc) {
    if (PyExceptionClass_Check(exc)) {
        Ref value = call0(exc);
        if (!PyExceptionInstance_Check(value.get())) {
            set_error(PyExc_TypeError,
                      "calling %R should have returned an instance of BaseException, not %R", exc,
                      Py_TYPE(value.get()));
            raise_set();
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), value.get());
        raise_set();
    }
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        raise_set();
    }
    set_error(PyExc_TypeError, "exceptions must derive from BaseException");
    raise_set();
}

}  // namespace vandrel
