// Bounded work: a budget of elementary steps for long searches, and the
// caller's way to stop them early.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>

namespace halvane {

// Asked now and then during long identification work; answering true stops
// the work. A plain function and context keep the engine free of the
// caller's types (the Python module checks for pending signals here).
struct Cancellation {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;
};

// Thrown by a long pixel pass once its caller's cancellation answers true:
// the pass drops its partial work, and the caller, who asked for the stop,
// knows why. Never thrown to a caller that gave no cancellation hook.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// The check a long pixel pass makes once per row (or block of rows, or of
// pixels where one step has no rows). The hook is asked at most once a
// millisecond however cheap the rows are, so narrow frames pay nothing
// for it, a hook that must take a lock takes it rarely, and a pass stops
// within a row and a millisecond of the request.
class RowPoll {
public:
    static constexpr std::chrono::microseconds kInterval{1000};

    explicit RowPoll(Cancellation cancel = {}) noexcept : cancel_(cancel) {}

    // Throws Interrupted when the caller has asked to stop.
    void operator()() {
        if (cancel_.requested == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + kInterval;
        if (cancel_.requested(cancel_.context)) throw Interrupted();
    }

private:
    Cancellation cancel_;
    std::chrono::steady_clock::time_point next_{};  // the first call asks
};

// The identification's work in elementary steps (pair records and partner
// visits of the triangle search, pair-window groupings, catalogue stars
// examined in verification), against a fixed budget, asking `cancel` every
// kPollSteps. Once the budget is spent or cancellation is asked, spend()
// answers false and the matcher gives up with NoMatch: the work of any
// input, however wide its tolerance, is bounded.
class WorkMeter {
public:
    // About a tenth of a second on one core. Measured on seeded 1024-pixel
    // fisheye skies: 1.5 million steps at most with the default 12
    // detections, 7 million with 100, 18 million with a 15-arcminute sigma.
    static constexpr std::uint64_t kBudget = std::uint64_t{1} << 25;
    static constexpr std::uint64_t kPollSteps = std::uint64_t{1} << 16;

    explicit WorkMeter(Cancellation cancel = {}, std::uint64_t budget = kBudget) noexcept
        : cancel_(cancel), budget_(budget) {}

    // Counts `steps`; false once the work must stop.
    bool spend(std::uint64_t steps) noexcept {
        spent_ += steps;
        if (spent_ >= next_poll_) {
            next_poll_ = spent_ + kPollSteps;
            if (cancel_.requested != nullptr && cancel_.requested(cancel_.context)) stopped_ = true;
        }
        if (spent_ > budget_) stopped_ = true;
        return !stopped_;
    }
    bool stopped() const noexcept { return stopped_; }
    bool budget_spent() const noexcept { return spent_ > budget_; }
    std::uint64_t spent() const noexcept { return spent_; }

private:
    Cancellation cancel_;
    std::uint64_t budget_;
    std::uint64_t spent_ = 0;
    std::uint64_t next_poll_ = kPollSteps;
    bool stopped_ = false;
};

}  // namespace halvane
