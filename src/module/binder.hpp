// The one argument binder behind every function and method, and the table
// that is the single source of each one's Python surface.
//
// A Signature names the function ("f", "Class.method", or "Class" for a
// constructor) and lists its parameters: name, the Python text of the
// default (none: required) and whether it is keyword-only. From it come the
// text-signature line of the docstring (text_signature, docstring), the
// matching of positional and keyword arguments with the interpreter's own
// TypeError texts, and the conversion of each given argument into the C++
// variable named for it:
//
//     constexpr auto kSig = signature("f", {{"x"}, {"flag", "False"}});
//     double x; bool flag = false;
//     if (!bind<kSig>(args, kwargs, arg<"x">(x), arg<"flag">(flag))) return nullptr;
//
// bind checks at compile time that the named variables are exactly the
// table's parameters, so swapping two of them does not compile. Arguments
// convert in signature order, stopping at the first failure; one that was
// not given leaves its variable untouched, so the variable's initial value
// must be the default the table states. A group of parameters bound
// together (the lens scalars) passes a tuple of named variables.
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
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace halvane::py {

struct Param {
    const char* name;
    const char* default_text = nullptr;  // the default as Python writes it; nullptr: required
    bool keyword_only = false;

    constexpr bool required() const { return default_text == nullptr; }
};

inline constexpr bool kKeywordOnly = true;

template <std::size_t N>
struct Signature {
    const char* function_name;  // as shown in messages: "f", "Class.method" or "Class"
    std::array<Param, N> params;
};

template <std::size_t N>
constexpr Signature<N> signature(const char* function_name, const Param (&params)[N]) {
    Signature<N> sig{function_name, {}};
    for (std::size_t i = 0; i < N; ++i) sig.params[i] = params[i];
    return sig;
}

constexpr Signature<0> signature(const char* function_name) { return {function_name, {}}; }

// A signature from parameter lists shared between functions, in order.
template <std::size_t... N>
constexpr Signature<(N + ...)> signature(const char* function_name, const std::array<Param, N>&... parts) {
    Signature<(N + ...)> sig{function_name, {}};
    std::size_t i = 0;
    (
        [&] {
            for (const Param& p : parts) sig.params[i++] = p;
        }(),
        ...);
    return sig;
}

// The text signature line: "f(x, flag=False)", "method($self, x)" for
// "Class.method", and "Class(...)" for a constructor.
std::string text_signature(const char* function_name, std::span<const Param> params);

// The docstring of a function: its text signature, "--", a blank line, then
// `body`. Built once per signature and kept for the process's life.
template <const auto& Sig>
const char* docstring(std::string_view body) {
    static const std::string text = text_signature(Sig.function_name, Sig.params) + "\n--\n\n" + std::string(body);
    return text.c_str();
}

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

// Numbers: double (anything with __float__), the fixed-width integers
// (anything with __index__, range-checked: OverflowError outside), bool
// (Python's and NumPy's only). Defined for double, bool, std::uint16_t,
// std::int32_t, std::uint32_t, std::int64_t and std::uint64_t.
template <class T>
    requires std::is_arithmetic_v<T>
struct Converter<T> {
    static bool convert(PyObject* object, const char* name, T& out);
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

// A C++ variable named after the parameter it receives.
template <std::size_t N>
struct FixedName {
    char text[N]{};
    constexpr FixedName(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    constexpr FixedName() = default;
};

template <std::size_t A, std::size_t B>
constexpr FixedName<A + B - 1> operator+(const FixedName<A>& a, const FixedName<B>& b) {
    FixedName<A + B - 1> out;
    for (std::size_t i = 0; i + 1 < A; ++i) out.text[i] = a.text[i];
    for (std::size_t i = 0; i < B; ++i) out.text[A - 1 + i] = b.text[i];
    return out;
}

template <FixedName Name, class T>
struct Slot {
    using type = T;
    static constexpr const char* name = Name.text;
    T& out;
};

template <FixedName Name, class T>
constexpr Slot<Name, T> arg(T& out) {
    return {out};
}

namespace detail {

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

template <class T>
auto as_tuple(T slot) {
    return std::tuple<T>{slot};
}
template <class... Ts>
auto as_tuple(std::tuple<Ts...> group) {
    return group;
}

// order[i]: which slot receives parameter i; a parameter with no slot, or
// with two, stops compilation.
template <const auto& Sig, class Slots, std::size_t... J>
constexpr auto slot_order(std::index_sequence<J...>) {
    constexpr std::size_t n = Sig.params.size();
    constexpr const char* names[] = {std::tuple_element_t<J, Slots>::name..., nullptr};
    std::array<std::size_t, n> order{};
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t found = 0;
        for (std::size_t j = 0; j < n; ++j)
            if (same_text(Sig.params[i].name, names[j])) {
                order[i] = j;
                ++found;
            }
        if (found != 1) throw "each parameter of the signature needs exactly one variable of its name";
    }
    return order;
}

}  // namespace detail

template <const auto& Sig, class... Slots>
bool bind(PyObject* args, PyObject* kwargs, Slots... given) {
    auto slots = std::tuple_cat(detail::as_tuple(given)...);
    using All = decltype(slots);
    constexpr std::size_t n = Sig.params.size();
    static_assert(std::tuple_size_v<All> == n, "one variable per parameter");
    [[maybe_unused]] static constexpr auto order = detail::slot_order<Sig, All>(std::make_index_sequence<n>{});
    std::array<PyObject*, n> objects{};
    if (!match_arguments(Sig.function_name, Sig.params, args, kwargs, objects)) return false;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ((objects[I] == nullptr ||
                 Converter<typename std::tuple_element_t<order[I], All>::type>::convert(
                     objects[I], Sig.params[I].name, std::get<order[I]>(slots).out) ||
                 name_conversion_failure(Sig.params[I].name)) &&
                ...);
    }(std::make_index_sequence<n>{});
}

}  // namespace halvane::py
