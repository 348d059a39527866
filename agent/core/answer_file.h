// Answer-file preparation: the downloaded "unattended_temp.xml" becomes this machine's
// "unattended.xml" (firmware sections, disk, language) and the first-run batch gets CR LF ends.
#pragma once
#include <string>

#include "core/agent_context.h"

namespace ferrit {

inline constexpr const char *kAnswerFile = "unattended.xml";
inline constexpr const char *kAnswerDownload = "unattended_temp.xml";

void FilterFirmwareSections(const std::string &from, const std::string &to, bool uefi);
bool IsManualInstall(const std::string &answerFile);
void AdjustLanguage(const std::string &answerFile, bool chinese);
// 0 with the URL of the "HTTPDISKURL=" line, 1 when there is none.
int ReadHttpDiskUrl(const std::string &answerFile, std::string &url);
// Rewrites `from` into `to` with CR LF line ends; false when either cannot be opened.
bool Unix2Dos(const std::string &from, const std::string &to);
// Downloads the answer file and first-run batch, then filters, picks the disk and reads the
// install type. False (Setup status "Failed") when the client has no address.
bool FetchAnswerFiles(AgentContext &ctx);

}  // namespace ferrit
