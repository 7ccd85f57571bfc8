// The one argument binder behind every function and method.
//
// A Signature lists the parameters (name, positional-or-keyword or
// keyword-only, required or optional). bind() matches the call's positional
// and keyword arguments to it with the interpreter's own TypeError texts,
// then converts each given argument into the C++ variable passed for it, in
// signature order, stopping at the first failure. A parameter that was not
// given leaves its variable untouched, so the variable's initial value is
// the default.
//
//     static constexpr Signature<2> kSig{"f", {{{"x"}, {"flag", kOptional}}}};
//     double x; bool flag = false;
//     if (!bind(kSig, args, kwargs, x, flag)) return nullptr;
//
// Conversion failures raise TypeError (OverflowError for an integer out of
// range, ValueError for a value of the right type but wrong shape) with a
// message that starts "argument 'x': ", whatever Python raised underneath.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace halvane::py {

struct Param {
    const char* name;
    bool required = true;
    bool keyword_only = false;
};

inline constexpr bool kOptional = false;

template <std::size_t N>
struct Signature {
    const char* function_name;  // as shown in messages: "f" or "Class.method"
    std::array<Param, N> params;
};

// Matches positional and keyword arguments to parameters. slots[i] receives
// a borrowed reference, or stays nullptr when parameter i was not given.
// Keyword-only parameters must follow the positional ones.
bool match_arguments(const char* function_name, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, std::span<PyObject*> slots);

// Raises `type` with "argument '<name>': <detail>"; returns false.
bool raise_argument_error(PyObject* type, const char* name, const std::string& detail);

// Makes the pending exception of a failed conversion name its parameter:
// "argument '<name>': " before its text, with the failure chained as the
// cause. TypeError, ValueError and OverflowError keep their type; any other
// Exception becomes TypeError. HalvaneError refusals (exact texts of their
// own), MemoryError and non-Exception interrupts pass unchanged. Returns
// false, for use in a failing conversion's return.
bool name_conversion_failure(const char* name);

// Name of an object's type for messages ("float", "str", "numpy.ndarray").
std::string type_name(PyObject* object);

// Converters from a Python object to T. Each returns false with a Python
// exception set. Specialise for further types beside their users.
template <class T>
struct Converter;

template <>
struct Converter<double> {
    static bool convert(PyObject* object, const char* name, double& out);
};
template <>
struct Converter<std::uint16_t> {
    static bool convert(PyObject* object, const char* name, std::uint16_t& out);
};
template <>
struct Converter<std::int32_t> {
    static bool convert(PyObject* object, const char* name, std::int32_t& out);
};
template <>
struct Converter<std::uint32_t> {
    static bool convert(PyObject* object, const char* name, std::uint32_t& out);
};
template <>
struct Converter<std::int64_t> {
    static bool convert(PyObject* object, const char* name, std::int64_t& out);
};
template <>
struct Converter<std::uint64_t> {
    static bool convert(PyObject* object, const char* name, std::uint64_t& out);
};
template <>
struct Converter<bool> {
    static bool convert(PyObject* object, const char* name, bool& out);
};
// The object itself, borrowed: for arguments a function validates with its
// own refusal texts (arrays, timestamps, sequences).
template <>
struct Converter<PyObject*> {
    static bool convert(PyObject* object, const char*, PyObject*& out) {
        out = object;
        return true;
    }
};
// None gives an empty optional.
template <class T>
struct Converter<std::optional<T>> {
    static bool convert(PyObject* object, const char* name, std::optional<T>& out) {
        if (object == Py_None) {
            out.reset();
            return true;
        }
        T value{};
        if (!Converter<T>::convert(object, name, value)) return false;
        out = std::move(value);
        return true;
    }
};

namespace detail {
template <std::size_t N, class... Ts, std::size_t... I>
bool convert_slots(const Signature<N>& sig, const std::array<PyObject*, N>& slots,
                   std::index_sequence<I...>, Ts&... outs) {
    return ((slots[I] == nullptr || Converter<Ts>::convert(slots[I], sig.params[I].name, outs) ||
             name_conversion_failure(sig.params[I].name)) &&
            ...);
}
}  // namespace detail

template <std::size_t N, class... Ts>
bool bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Ts&... outs) {
    static_assert(sizeof...(Ts) == N, "one output variable per parameter");
    std::array<PyObject*, N> slots{};
    if (!match_arguments(sig.function_name, sig.params, args, kwargs, slots)) return false;
    return detail::convert_slots(sig, slots, std::index_sequence_for<Ts...>{}, outs...);
}

}  // namespace halvane::py
