#include "albumsweep/auth.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "jsonlines/emit.h"

namespace albumsweep {
namespace {

// The answer cell shared with the library's callback. Owned jointly, so a
// callback that arrives after the wait has given up writes into a cell that
// is still alive, and nobody reads it any more.
struct AnswerCell {
  std::mutex mu;
  std::condition_variable answered;
  bool done = false;
  photolibrary::AuthorizationStatus status = photolibrary::AuthorizationStatus::kNotDetermined;
};

const char* refusalText(photolibrary::AuthorizationStatus status) {
  switch (status) {
    case photolibrary::AuthorizationStatus::kNotDetermined: return "not-determined";
    case photolibrary::AuthorizationStatus::kRestricted: return "restricted";
    case photolibrary::AuthorizationStatus::kDenied: return "denied";
    case photolibrary::AuthorizationStatus::kLimited: return "limited";
    default: return nullptr;  // authorized, or a value we do not know: go on
  }
}

}  // namespace

std::optional<int> ensureAuth(Services& services) {
  auto cell = std::make_shared<AnswerCell>();
  services.library->requestAuthorization([cell](photolibrary::AuthorizationStatus status) {
    std::lock_guard<std::mutex> g(cell->mu);
    if (cell->done) return;  // only the first answer counts
    cell->status = status;
    cell->done = true;
    cell->answered.notify_all();
  });

  photolibrary::AuthorizationStatus status;
  {
    std::unique_lock<std::mutex> g(cell->mu);
    cell->answered.wait_for(g, services.limits.authorization, [&] { return cell->done; });
    // No answer in time counts as "not determined"; a late answer is not read.
    status = cell->done ? cell->status : photolibrary::AuthorizationStatus::kNotDetermined;
    cell->done = true;
  }

  const char* refusal = refusalText(status);
  if (!refusal) return std::nullopt;
  return jsonlines::emit({{"auth", refusal}}, services.out) ? 0 : jsonlines::kExitOutputFailed;
}

}  // namespace albumsweep
