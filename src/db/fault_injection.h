#pragma once
// Database faults on purpose, for the fault-loop tests: the Nth database step
// (a statement, a fetch, a commit or a connect) fails as the driver would
// report it. Compiled in only where TAVREL_FAULT_INJECTION is defined (test
// builds); the packaged programs have neither the hook nor its cost.
#include <string>

namespace db::fault {

enum class Step { kStatement, kFetch, kCommit, kConnect };

#ifdef TAVREL_FAULT_INJECTION
// From now on, the `n`th step (counting from 1) fails; with `locked` it fails
// as a database held by another process beyond the busy time-out does.
void FailStep(int n, bool locked = false);
// No step fails any more; the steps counted are kept for StepsSeen().
void Disarm();
// True once the armed step has failed.
bool Fired();
int StepsSeen();
// Called by the ODBC layer before each step: true when this one must fail
// (logged, except a connect's, so that a test's log shows where it struck).
bool InjectFault(Step step, int varNum);
#else
inline bool InjectFault(Step, int) { return false; }
#endif

}  // namespace db::fault
