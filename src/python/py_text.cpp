#include "python/py_text.hpp"

#include "base/debug_text.hpp"
#include "base/stop.hpp"

namespace kestrel::py {

PyObject* interned(Name name) {
    static PyObject* cells[4] = {};
    static constexpr std::string_view texts[4] = {"__all__", "__name__", "__qualname__", "lower"};
    const auto index = static_cast<size_t>(name);
    if (cells[index] == nullptr) {
        PyObject* text = PyUnicode_FromStringAndSize(texts[index].data(),
                                                     static_cast<Py_ssize_t>(texts[index].size()));
        if (text == nullptr) interpreter_failure();
        PyUnicode_InternInPlace(&text);
        if (cells[index] == nullptr) {
            cells[index] = text;
        } else {
            Py_DECREF(text);
        }
    }
    return cells[index];
}

std::variant<std::string_view, PyErrValue> extract_text(PyObject* object) {
    if (!PyUnicode_Check(object)) return conversion_error(object, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return PyErrValue::fetch_or_system_error();
    return std::string_view(text, static_cast<size_t>(size));
}

std::string type_name(PyTypeObject* type) {
    Ref qualname = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned(Name::QualName)));
    if (qualname && PyUnicode_Check(qualname.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
            return std::string(text, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

PyErrValue conversion_error(PyObject* object, std::string_view target) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string.
    std::string message = "'";
    message += type_name(Py_TYPE(object));
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    return PyErrValue::with_type(PyExc_TypeError, std::move(message));
}

std::string render(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        stop("a formatting trait implementation returned an error: Error");
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return std::string(utf8, static_cast<size_t>(size));
    }
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) interpreter_failure();
    const char* raw = PyBytes_AsString(bytes.get());
    if (raw == nullptr) interpreter_failure();
    return utf8_lossy(std::string_view(raw, static_cast<size_t>(PyBytes_Size(bytes.get()))));
}

}  // namespace kestrel::py
