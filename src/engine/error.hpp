// The engine's one error type: ten kinds with fixed texts.
//
// Every fallible engine operation returns Result<T>. The text of an Error
// (Error::message) is what users see and match on: it is part of the
// external interface and is reproduced byte for byte at the Python boundary.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "correspondence.hpp"

namespace halvane {

struct Error {
    // "insufficient stars: needed {needed}, got {got}"
    struct InsufficientStars {
        std::size_t needed = 0;
        std::size_t got = 0;
    };
    // Two identifications tied; both are carried whole so that tracked
    // solving can re-solve each.
    struct MatchAmbiguous {
        Correspondences winner;
        Correspondences rival;
    };
    // The text is the same either way; work_budget_spent tells a caller
    // that the search gave up on its work budget (see WorkMeter) rather
    // than finding nothing, so that it can say what to change.
    struct NoMatch {
        bool work_budget_spent = false;
    };
    struct SingularGeometry {};
    struct BadImage {
        std::string message;
    };
    struct DegenerateUp {};
    struct BadPosition {
        std::string message;
    };
    struct CatalogFormat {
        std::string message;
    };
    // message: the operating system's error text.
    struct Io {
        std::string message;
    };
    // reason is one of the two kThinLock* texts below.
    struct ThinLock {
        const char* reason = "";
        std::size_t matched = 0;
        std::size_t margin = 0;
        double residual_rms_rad = 0.0;
    };

    static constexpr const char* kThinLockTooFewStars =
        "fewer matched stars than the configured minimum";
    static constexpr const char* kThinLockResidualTooHigh =
        "residual rms above the configured maximum";

    using Kind = std::variant<InsufficientStars, MatchAmbiguous, NoMatch, SingularGeometry,
                              BadImage, DegenerateUp, BadPosition, CatalogFormat, Io, ThinLock>;
    Kind kind;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    Error(K&& k) : kind(std::forward<K>(k)) {}  // NOLINT: implicit by design

    template <class K>
    bool is() const noexcept {
        return std::holds_alternative<K>(kind);
    }
    template <class K>
    const K* get_if() const noexcept {
        return std::get_if<K>(&kind);
    }

    // The kind's display text, e.g. "insufficient stars: needed 3, got 2".
    std::string message() const;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace halvane
