// The agent's process-wide records, handed to every step.
#pragma once
#include <string>

#include "core/agent_params.h"
#include "core/agent_system.h"
#include "core/firmware_tables.h"
#include "core/pxe_option.h"

namespace ferrit {

struct AgentContext {
    explicit AgentContext(AgentSystem &system) : sys(system) {}
    AgentSystem &sys;
    AgentParameters params;
    PxeOption pxe;
    MachineIdentity identity;
    bool bIbftTargetPresent = false;
    std::string szClientIp,
        szClientMac;  // found by the network step; the MAC names the answer file
    bool bManualInstall = false;
    std::string szSourceDrive;   // "%c:" once the source is connected
    unsigned uiMacListings = 0;  // numbers the "tmp_mac_%d.txt" listings
};

}  // namespace ferrit
