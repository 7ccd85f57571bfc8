// halvane.Catalog: construction from the two files, star lookups and the
// pair-index probe.
#include "py_catalog.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "module.hpp"
#include "numeric.hpp"
#include "pyclass.hpp"

namespace halvane::py {

namespace {

// A file path given as str, encoded the way the operating system expects
// (the file-system encoding, surrogate escapes restored to their bytes).
struct FsPath {
    std::string bytes;
};

}  // namespace

template <>
struct Converter<FsPath> {
    static bool convert(PyObject* object, const char* name, FsPath& out) {
        if (!PyUnicode_Check(object)) {
            return raise_argument_error(PyExc_TypeError, name, "must be str, not " + type_name(object));
        }
        Ref encoded(PyUnicode_EncodeFSDefault(object));
        if (!encoded) return false;
        char* data = nullptr;
        Py_ssize_t size = 0;
        const bool ok = PyBytes_AsStringAndSize(encoded.get(), &data, &size) == 0;
        if (ok) out.bytes.assign(data, static_cast<std::size_t>(size));
        return ok;
    }
};

bool Converter<const Catalog*>::convert(PyObject* object, const char* name, const Catalog*& out) {
    const SharedCatalog* shared = nullptr;
    if (!Converter<const SharedCatalog*>::convert(object, name, shared)) return false;
    out = shared->get();
    return true;
}

namespace {

const Catalog* catalog_of(PyObject* self) {
    const SharedCatalog* shared = unwrap<SharedCatalog>(self);
    if (shared == nullptr) PyErr_SetString(PyExc_TypeError, "descriptor used on a foreign object");
    return shared == nullptr ? nullptr : shared->get();
}

constexpr auto kCatalogSig = signature("Catalog", {{"catalog_path"}, {"pairs_path"}});
constexpr auto kStarSig = signature("Catalog.star", {{"hr_id"}});
constexpr auto kStarsSig = signature("Catalog.stars");
constexpr auto kHasPairSig = signature("Catalog.has_pair", {{"hr_a"}, {"hr_b"}, {"sep_deg"}, {"tol_deg"}});

PyObject* catalog_new_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    FsPath catalog_path;
    FsPath pairs_path;
    if (!bind<kCatalogSig>(args, kwargs, arg<"catalog_path">(catalog_path), arg<"pairs_path">(pairs_path)))
        return nullptr;
    auto catalog = Catalog::load(catalog_path.bytes, pairs_path.bytes);
    if (!catalog) return to_py_err(catalog.error());
    return wrap<SharedCatalog>(std::make_shared<const Catalog>(std::move(*catalog)));
}

PyObject* n_stars_get(const SharedCatalog& catalog) { return PyLong_FromSize_t(catalog->stars.size()); }

PyObject* star_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t hr_id = 0;
    if (!bind<kStarSig>(args, kwargs, arg<"hr_id">(hr_id))) return nullptr;
    const Catalog* catalog = catalog_of(self);
    if (catalog == nullptr) return nullptr;
    for (const Star& star : catalog->stars) {
        if (star.hr_id == hr_id) {
            return Py_BuildValue("(ddd)", star.ra * kRadToDeg, star.dec * kRadToDeg, static_cast<double>(star.vmag));
        }
    }
    return raise_halvane_error("HR " + std::to_string(hr_id) + " not in catalog");
}

PyObject* stars_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!bind<kStarsSig>(args, kwargs)) return nullptr;
    const Catalog* catalog = catalog_of(self);
    if (catalog == nullptr) return nullptr;
    return new_list(catalog->stars, [](const Star& star) {
        return Py_BuildValue("(Iddd)", static_cast<unsigned int>(star.hr_id), star.ra * kRadToDeg,
                             star.dec * kRadToDeg, static_cast<double>(star.vmag));
    });
}

PyObject* has_pair_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::uint32_t hr_a = 0;
    std::uint32_t hr_b = 0;
    double sep_deg = 0.0;
    double tol_deg = 0.0;
    if (!bind<kHasPairSig>(args, kwargs, arg<"hr_a">(hr_a), arg<"hr_b">(hr_b), arg<"sep_deg">(sep_deg),
                           arg<"tol_deg">(tol_deg)))
        return nullptr;
    const Catalog* catalog = catalog_of(self);
    if (catalog == nullptr) return nullptr;
    // Separations live in [0, 180] degrees: a window reaching past either end
    // stops there, as folding it back through the cosine would miss the pairs
    // nearest that end. A negative tolerance is an empty window; plain
    // comparisons keep a NaN bound NaN, which is empty too.
    if (tol_deg < 0.0) Py_RETURN_FALSE;
    const auto clamp_deg = [](double angle) { return angle < 0.0 ? 0.0 : (angle > 180.0 ? 180.0 : angle); };
    const double widest_deg = clamp_deg(sep_deg + tol_deg);
    const double closest_deg = clamp_deg(sep_deg - tol_deg);
    const double lo = std::cos(widest_deg * kDegToRad);
    const double hi = std::cos(closest_deg * kDegToRad);
    for (const StarPair& pair : catalog->pairs_in_range(lo, hi)) {
        const std::uint32_t first = catalog->stars[pair.i].hr_id;
        const std::uint32_t second = catalog->stars[pair.j].hr_id;
        if ((first == hr_a && second == hr_b) || (first == hr_b && second == hr_a)) Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

PyMethodDef kMethods[] = {
    method_def<star_impl, kStarSig>("(ra_deg, dec_deg, vmag) for a given HR number."),
    method_def<stars_impl, kStarsSig>("Every star as (hr_id, ra_deg, dec_deg, vmag), in catalogue order (brightest\n"
                           "first), so that callers can plot or scan the whole catalogue without probing\n"
                           "by HR number."),
    method_def<has_pair_impl, kHasPairSig>("True if the pair index holds (hr_a, hr_b) at sep_deg +/- tol_deg."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"n_stars", getter<SharedCatalog, n_stars_get>, nullptr, "Number of stars in the catalogue.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* make_catalog_type(PyObject*) {
    return create_class<SharedCatalog>(
         "halvane.Catalog",
        {docstring<kCatalogSig>(
         "Star catalogue plus pair index, loaded from the binary files produced by\n"
         "the offline catalogue builder: the star catalogue (HCAT) and the index of\n"
         "star pairs sorted by angular separation (HPRS). Both paths are str.\n"
         "Immutable once loaded; pass one instance to every solve."),
         guarded_new<catalog_new_impl>, kGetters, kMethods});
}

const MemberType kStubTypes[] = {
    {"tuple[float, float, float]", "star"},
    {"list[tuple[int, float, float, float]]", "stars"},
    {"bool", "has_pair"},
    {"int", "n_stars"},
};

}  // namespace

HALVANE_REGISTRATIONS(catalog_registrations, exported_class(2, make_catalog_type, kStubTypes))

}  // namespace halvane::py
