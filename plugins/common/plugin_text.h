// Texts both plug-ins derive from a client request: address and MAC forms, the answer-file URL,
// the run of placeholders their template tables share, and the virtual-ISO switch.
#pragma once

#include <string>
#include <vector>

#include "kiv_plugin_api.h"
#include "plugin_profile.h"

std::string Printf(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));
// Every occurrence of strFrom, left to right, without rescanning what was put in.
void ReplaceAll(std::string *pstr, const std::string &strFrom, const std::string &strTo);
// "%u.%u.%u.%u", most significant byte first.
std::string Dotted(uint32_t uiIp);
// "aa-bb-cc-dd-ee-ff", the name every per-client file carries.
std::string DashLowerMac(const uint8_t *pucMac);
// "http://<server>:<port>/kickstart/01-<mac>.auto" (or ".manual").
std::string AnswerFileUrl(const ClientCfgRequest &r, uint16_t usHttpPort);
// The client boots the virtual ISO: the record describes one for the client's firmware and the
// SAN-boot use type allows it.
bool SanbootSwitch(const ClientCfgRequest &r, const OsRecord &os);

// The pairs from "$SERVER_IP$" to "$LOGO_TIMEOUT$", appended in their fixed order.
void AppendClientPairs(const ClientCfgRequest &r, uint16_t usHttpPort,
                       std::vector<TemplatePair> *pvec);

// What a per-client call works from: the active OS, and the host's server record in *pstServer.
// Null, logged, when there is no request or no active OS: nothing is written for the client then.
const OsRecord *ClientCallOs(const ClientCfgRequest *pstReq, PluginServerInfo *pstServer);
