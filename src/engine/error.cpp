#include "error.hpp"

#include "numeric.hpp"

namespace halvane {

namespace {

struct Render {
    std::string operator()(const Error::InsufficientStars& e) const {
        return "insufficient stars: needed " + std::to_string(e.needed) + ", got " +
               std::to_string(e.got);
    }
    std::string operator()(const Error::MatchAmbiguous& e) const {
        return "star pattern match is ambiguous: " + std::to_string(e.winner.size()) + " vs " +
               std::to_string(e.rival.size()) + " correspondences";
    }
    std::string operator()(const Error::NoMatch&) const { return "no star pattern match found"; }
    std::string operator()(const Error::SingularGeometry&) const {
        return "observation geometry is singular";
    }
    std::string operator()(const Error::BadImage& e) const { return "bad image: " + e.message; }
    std::string operator()(const Error::DegenerateUp&) const {
        return "up vector is degenerate: zero length or non-finite";
    }
    std::string operator()(const Error::BadPosition& e) const {
        return "bad position: " + e.message;
    }
    std::string operator()(const Error::CatalogFormat& e) const {
        return "catalog format error: " + e.message;
    }
    std::string operator()(const Error::Io& e) const { return "i/o error: " + e.message; }
    std::string operator()(const Error::ThinLock& e) const {
        return std::string("thin lock: ") + e.reason + " (matched " + std::to_string(e.matched) +
               " stars, margin " + std::to_string(e.margin) + ", residual rms " +
               format_fixed(e.residual_rms_rad, 6) + " rad)";
    }
};

}  // namespace

std::string Error::message() const { return std::visit(Render{}, kind); }

}  // namespace halvane
