// The roots the controller hands the TFTP and HTTP services when a deployment starts. A root the
// service cannot take fails the start (a missing root serves nothing and would only show as
// "file not found" on the clients), and a failed start leaves no root behind, the plug-in's
// own TFTP roots included.
#pragma once

#include <string>
#include <vector>

#include "qv_roots.h"

struct ServiceRoot {
    IsoImage *pstImage = nullptr;  // the open image of an image root (lent), or none
    std::string strPrefix;
    std::string strPath;
    std::vector<QV_RedirectRule> vRules;
};

// Adds the roots in order; true when each is in the table (added now or already present) or
// names nothing that exists (logged: the data directory may lack a folder). Otherwise logs and
// shows the operator "<service> root <prefix> <path> could not be added (0x<code>)" for the first
// one refused, clears every root of both services and returns false.
bool ROOTS_AddTftp(const std::vector<ServiceRoot> &vecRoots);
bool ROOTS_AddHttp(const std::vector<ServiceRoot> &vecRoots);

// Clears the roots of both services: the end of every failed start and of a stop.
void ROOTS_ClearAll();
