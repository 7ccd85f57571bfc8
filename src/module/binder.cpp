#include "binder.hpp"

#include "module.hpp"

#include <limits>
#include <vector>

namespace halvane::py {

namespace {

// The pending exception, taken out of the interpreter and normalised; put
// back (or dropped with its owner) when done.
struct PendingError {
    Ref type, value, traceback;

    static PendingError fetch() {
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        return {Ref(t), Ref(v), Ref(tb)};
    }
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

// Raises with the whole text: a keyword name may hold a NUL, which a C
// string would cut.
bool raise_text(PyObject* type, const std::string& text) {
    Ref message(new_text(text));
    if (message) PyErr_SetObject(type, message.get());
    return false;
}

bool raise_type_error(const char* function_name, const std::string& detail) {
    return raise_text(PyExc_TypeError, std::string(function_name) + "() " + detail);
}

// A str as UTF-8 for a message; lone surrogates, which UTF-8 cannot hold,
// are shown as escapes instead of failing the call with a UnicodeError.
bool text_for_message(PyObject* text, std::string& out) {
    Ref bytes(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!bytes) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    const bool ok = PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0;
    if (ok) out.assign(data, static_cast<std::size_t>(size));
    return ok;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' (the interpreter's own listing).
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

bool raise_missing(const char* function_name, const char* what, const std::vector<const char*>& names) {
    const std::size_t n = names.size();
    return raise_type_error(function_name, "missing " + std::to_string(n) + " required " + what +
                                               (n == 1 ? " argument: " : " arguments: ") +
                                               quoted_list(names));
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Integer conversion shared by the fixed-width converters: anything with
// __index__ (int, bool, NumPy integers), range-checked against [lo, hi].
template <class Int>
bool convert_integer(PyObject* object, const char* name, Int& out) {
    Ref index(PyNumber_Index(object));
    if (!index) {
        PyErr_Clear();
        return raise_argument_error(PyExc_TypeError, name,
                                    "'" + type_name(object) + "' object cannot be interpreted as an integer");
    }
    constexpr auto lo = std::numeric_limits<Int>::min();
    constexpr auto hi = std::numeric_limits<Int>::max();
    bool in_range = false;
    if constexpr (std::is_signed_v<Int>) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        in_range = overflow == 0 && !(value == -1 && PyErr_Occurred()) && value >= lo && value <= hi;
        if (in_range) out = static_cast<Int>(value);
    } else {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (overflow > 0) {
            const unsigned long long big = PyLong_AsUnsignedLongLong(index.get());
            in_range = !PyErr_Occurred() && big <= hi;
            if (in_range) out = static_cast<Int>(big);
        } else {
            in_range = overflow == 0 && !(value == -1 && PyErr_Occurred()) && value >= 0 &&
                       static_cast<unsigned long long>(value) <= hi;
            if (in_range) out = static_cast<Int>(value);
        }
    }
    PyErr_Clear();
    if (in_range) return true;
    std::string shown = "value";
    if (Ref repr{PyObject_Repr(index.get())}) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &size))
            shown.assign(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return raise_argument_error(PyExc_OverflowError, name,
                                shown + " is outside the range " + std::to_string(lo) + " to " +
                                    std::to_string(hi));
}

}  // namespace

std::string type_name(PyObject* object) {
    std::string out = "object";
    if (Ref type{PyObject_Type(object)}) {
        if (Ref name{PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get()))}) {
            Py_ssize_t size = 0;
            if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size))
                out.assign(text, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return out;
}

bool raise_argument_error(PyObject* type, const char* name, const std::string& detail) {
    return raise_text(type, std::string("argument '") + name + "': " + detail);
}

bool name_conversion_failure(const char* name) {
    PyObject* raised = PyErr_Occurred();
    if (raised == nullptr) return false;
    // Interrupts, exits and exhausted memory are not about the argument, and
    // our own refusals already carry their exact texts.
    PyObject* refusal = halvane_error_type();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_Exception) ||
        PyErr_GivenExceptionMatches(raised, PyExc_MemoryError) ||
        (refusal != nullptr && PyErr_GivenExceptionMatches(raised, refusal)))
        return false;
    PendingError failure = PendingError::fetch();
    PyObject* value = failure.value.get();
    std::string text;
    Ref shown(value == nullptr ? nullptr : PyObject_Str(value));
    if (!shown || !text_for_message(shown.get(), text)) {
        PyErr_Clear();
        text = type_name(value == nullptr ? failure.type.get() : value);
    }
    const std::string prefix = std::string("argument '") + name + "': ";
    if (text.rfind(prefix, 0) == 0) {
        failure.restore();
        return false;
    }
    // The kind of failure survives where callers may catch it; anything
    // else (an IndexError from a sequence, an error inside a __float__) is
    // a wrong argument.
    PyObject* kind = PyExc_TypeError;
    if (PyErr_GivenExceptionMatches(failure.type.get(), PyExc_OverflowError)) kind = PyExc_OverflowError;
    else if (PyErr_GivenExceptionMatches(failure.type.get(), PyExc_ValueError)) kind = PyExc_ValueError;
    raise_text(kind, prefix + text);
    PendingError renamed = PendingError::fetch();
    if (renamed.value && failure.value) {
        if (failure.traceback) PyException_SetTraceback(value, failure.traceback.get());
        PyException_SetCause(renamed.value.get(), failure.value.release());  // steals the cause
    }
    renamed.restore();
    return false;
}

bool match_arguments(const char* function_name, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> slots) {
    std::size_t n_positional = 0;
    std::size_t n_positional_required = 0;
    for (const Param& p : params) {
        if (p.keyword_only) break;
        ++n_positional;
        if (p.required()) n_positional_required = n_positional;
    }

    const Py_ssize_t n_args = args == nullptr ? 0 : PyTuple_Size(args);
    if (n_args < 0) return false;
    const auto given = static_cast<std::size_t>(n_args);
    if (given > n_positional) {
        const std::string takes = n_positional_required == n_positional
                                      ? plural(n_positional, "positional argument")
                                      : "from " + std::to_string(n_positional_required) + " to " +
                                            std::to_string(n_positional) + " positional arguments";
        return raise_type_error(function_name, "takes " + takes + " but " + std::to_string(given) +
                                                   (given == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) return raise_type_error(function_name, "keywords must be strings");
            std::size_t found = params.size();
            for (std::size_t i = 0; i < params.size(); ++i) {
                if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
                    found = i;
                    break;
                }
            }
            std::string key_text;
            if (!text_for_message(key, key_text)) return false;
            if (found == params.size())
                return raise_type_error(function_name, "got an unexpected keyword argument '" + key_text + "'");
            if (slots[found] != nullptr)
                return raise_type_error(function_name, "got multiple values for argument '" + key_text + "'");
            slots[found] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n_positional; ++i)
        if (params[i].required() && slots[i] == nullptr) missing.push_back(params[i].name);
    if (!missing.empty()) return raise_missing(function_name, "positional", missing);
    for (std::size_t i = n_positional; i < params.size(); ++i)
        if (params[i].required() && slots[i] == nullptr) missing.push_back(params[i].name);
    if (!missing.empty()) return raise_missing(function_name, "keyword-only", missing);
    return true;
}

std::string text_signature(const char* function_name, std::span<const Param> params) {
    const std::string_view qualified = function_name;
    const std::size_t dot = qualified.rfind('.');
    const bool method = dot != std::string_view::npos;
    std::string text(method ? qualified.substr(dot + 1) : qualified);
    text += method ? "($self" : "(";
    bool first = !method;
    bool star_written = false;
    for (const Param& p : params) {
        if (!first) text += ", ";
        first = false;
        if (p.keyword_only && !star_written) {
            text += "*, ";
            star_written = true;
        }
        text += p.name;
        if (!p.required()) {
            text += "=";
            text += p.default_text;
        }
    }
    return text + ")";
}

namespace {

bool convert_double(PyObject* object, const char* name, double& out) {
    out = PyFloat_AsDouble(object);
    if (out == -1.0 && PyErr_Occurred()) {
        // Keep the interpreter's OverflowError for ints too large for a
        // double; anything else is the wrong type.
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return raise_argument_error(PyExc_OverflowError, name, "int too large to convert to float");
        }
        PyErr_Clear();
        return raise_argument_error(PyExc_TypeError, name, "must be real number, not " + type_name(object));
    }
    return true;
}

bool convert_bool(PyObject* object, const char* name, bool& out) {
    // Python bool and NumPy's bool scalar only: truthiness of arbitrary
    // objects ("no", 2.5) would hide mistakes.
    const std::string type = type_name(object);
    if (PyBool_Check(object) || type == "bool" || type == "bool_") {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    return raise_argument_error(PyExc_TypeError, name, "'" + type + "' object cannot be converted to 'bool'");
}

}  // namespace

template <class T>
    requires std::is_arithmetic_v<T>
bool Converter<T>::convert(PyObject* object, const char* name, T& out) {
    if constexpr (std::is_same_v<T, double>) return convert_double(object, name, out);
    else if constexpr (std::is_same_v<T, bool>) return convert_bool(object, name, out);
    else return convert_integer(object, name, out);
}

template struct Converter<double>;
template struct Converter<bool>;
template struct Converter<std::uint16_t>;
template struct Converter<std::int32_t>;
template struct Converter<std::uint32_t>;
template struct Converter<std::int64_t>;
template struct Converter<std::uint64_t>;

}  // namespace halvane::py
