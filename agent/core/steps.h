// The step routine: parameters, drivers (STEP1), network (STEP2), identity report and answer
// file, source (STEP3) and Windows Setup (STEP4), with the operator's debug stops.
#pragma once
#include <string>

#include "core/agent_context.h"

namespace ferrit {

enum class StepEnd { Finished, DebugStop, Failed };

// True when DEBUGMOD is "YES" and DEBUGSTEP names the step ("STEP1" ... "STEP4").
bool DebugStopAt(const AgentParameters &params, const char *step);
// Runs the whole flow; the parameter file path is a bare name in the current directory.
StepEnd RunSteps(AgentContext &ctx, const std::string &parameterFile = "Ferrit.json");

}  // namespace ferrit
