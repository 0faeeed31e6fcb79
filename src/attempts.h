// The one attempt loop of the engine, shared by manifest retrieval, the mirror
// probe and the file failover: up to three attempts per target, a 500 ms pause
// between two attempts on one target unless cancelled, no pause between targets.
// A caller's policy says what an attempt does and logs, how far a failure reaches,
// the line before a retry and what leaving a target means.
#pragma once

#include "failure.h"
#include "support.h"

#include <cstddef>
#include <string>
#include <utility>

namespace tolvek {

constexpr int kAttemptsPerTarget = 3;
constexpr DWORD kRetryPauseMs = 500;

// "a/3": an attempt number followed by the attempt limit.
inline std::wstring AttemptOfLimit(int attempt) {
    return std::to_wstring(attempt) + L"/" + std::to_wstring(kAttemptsPerTarget);
}

// How far a failed attempt reaches: another attempt may help; another may, and this
// one made enough progress not to count; only another target may; nothing may (the
// operation ends with this failure). A failure that ends the run (EndsTheRun)
// always ends the operation.
enum class FailureReach { Attempt, Renewed, Target, Operation };

struct AttemptsEnd {
    Outcome last;            // success, the failure that ended everything, or the last one
    bool exhausted = false;  // every target was left without success
};

// A policy provides:
//   size_t Targets()                              how many targets there are (may grow)
//   Outcome Attempt(size_t target, int attempt)   one attempt, with its own log lines
//   FailureReach Reach(const Outcome& failure)    how far a failure reaches
//   void LogRetry(const Outcome& failure, int attempt)
//   void Left(size_t target, const Outcome& last) the target is given up
template <class Policy>
AttemptsEnd RunAttempts(Policy& policy, const CancelSignal& cancel) {
    Outcome last;
    for (size_t target = 0; target < policy.Targets(); ++target) {
        for (int attempt = 1; attempt <= kAttemptsPerTarget; ++attempt) {
            if (IsCancelled(cancel)) return {Cancelled()};
            last = policy.Attempt(target, attempt);
            if (last.ok()) return {std::move(last)};
            const FailureReach reach =
                EndsTheRun(last.kind) ? FailureReach::Operation : policy.Reach(last);
            if (reach == FailureReach::Operation) return {std::move(last)};
            const bool renewed = reach == FailureReach::Renewed;
            if (reach == FailureReach::Target || (!renewed && attempt == kAttemptsPerTarget)) break;
            policy.LogRetry(last, attempt);
            PauseUnlessCancelled(cancel, kRetryPauseMs);
            if (renewed) --attempt;  // the same attempt once more
        }
        policy.Left(target, last);
    }
    return {std::move(last), true};
}

}  // namespace tolvek
