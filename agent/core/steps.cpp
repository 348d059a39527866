#include "core/steps.h"

#include "core/agent_log.h"
#include "core/answer_file.h"
#include "core/install_run.h"
#include "core/network.h"
#include "core/text_util.h"

namespace ferrit {

bool DebugStopAt(const AgentParameters &params, const char *step)
{
    return IsYes(params.szDebugMod) && Contains(params.szDebugStep, step);
}

namespace {
bool Stopped(AgentContext &ctx, const char *step, StatusField field)
{
    if (!DebugStopAt(ctx.params, step)) return false;
    ctx.sys.SetStatus(field, "WaitDebug");
    AgentLog("Debug stop at %s", step);
    return true;
}
}  // namespace

StepEnd RunSteps(AgentContext &ctx, const std::string &parameterFile)
{
    AgentSystem &sys = ctx.sys;
    if (ReadAgentParameters(parameterFile, ctx.params) != 0)
        AgentLog("Failed to read %s", parameterFile.c_str());

    if (Stopped(ctx, "STEP1", StatusField::Driver)) return StepEnd::DebugStop;
    sys.SetStatus(StatusField::Driver, "......");
    int installed = 0;
    InstallWinPeDrivers(ctx, installed);
    sys.SetStatus(StatusField::Driver, Format("Success %d", installed));
    sys.SetStatus(StatusField::Network, "......");
    if (!sys.LoadWpeUtil()) {
        sys.SetStatus(StatusField::Network, "Failed");
        AgentLog("KIV_WPEUTIL_Init Failed");
        return StepEnd::Failed;
    }

    if (Stopped(ctx, "STEP2", StatusField::Network)) return StepEnd::DebugStop;
    std::vector<std::uint8_t> ack = sys.PxeAckFromRegistry();
    if (ack.empty() || ParseDhcpAck(ack, ctx.pxe) != 0) {
        AgentLog("init pxe option by reg fail, now try wim param");
        ReadPxeOptionFromWimParam("wim_param.bin", ctx.pxe);
    } else {
        AgentLog("init pxe option by reg OK");
    }
    BringUpNetwork(ctx);
    if (!WaitForAddress(ctx)) return StepEnd::Failed;

    ReportIdentity(ctx);
    if (!FetchAnswerFiles(ctx)) return StepEnd::Failed;

    if (Stopped(ctx, "STEP3", StatusField::Source)) return StepEnd::DebugStop;
    int mounted = ctx.params.szSharePath.empty() ? MountHttpDisk(ctx) : MountShare(ctx);
    if (mounted != 0) {
        sys.SetStatus(StatusField::Source, "Failed");
        return StepEnd::Failed;
    }
    sys.SetStatus(StatusField::Source, "Success");
    sys.SetStatus(StatusField::Setup, "......");

    if (Stopped(ctx, "STEP4", StatusField::Setup)) return StepEnd::DebugStop;
    RunSetup(ctx);
    return StepEnd::Finished;
}

}  // namespace ferrit
