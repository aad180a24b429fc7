#include "db/fault_injection.h"

#ifdef TAVREL_FAULT_INJECTION
#include <atomic>

#include "frame/log.h"

namespace db::fault {
namespace {
std::atomic<int> armedAt{0};
std::atomic<int> seen{0};
std::atomic<bool> fired{false};
std::atomic<bool> asLocked{false};

const char* StepName(Step step) {
  switch (step) {
    case Step::kStatement:
      return "statement";
    case Step::kFetch:
      return "fetch";
    case Step::kCommit:
      return "commit";
    case Step::kConnect:
      return "connect";
  }
  return "step";
}
}  // namespace

void FailStep(int n, bool locked) {
  seen = 0;
  fired = false;
  asLocked = locked;
  armedAt = n;
}

void Disarm() { armedAt = 0; }
bool Fired() { return fired; }
int StepsSeen() { return seen; }

bool InjectFault(Step step, int varNum) {
  if (armedAt.load() == 0) return false;
  if (++seen != armedAt.load()) return false;
  fired = true;
  LogError(varNum, "DB error",
           asLocked ? Format("DB error:database is locked (injected at %s %d)", StepName(step), seen.load())
                    : Format("DB error:injected fault at %s %d", StepName(step), seen.load()));
  return true;
}

}  // namespace db::fault
#endif
