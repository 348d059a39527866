#include "client_phase.h"

#include "msg_table.h"

namespace {

bool StartsWith(const std::string &strStatus, int iMessage)
{
    for (bool bChinese : {false, true}) {
        if (strStatus.rfind(MSG_TextIn(iMessage, bChinese), 0) == 0) {
            return true;
        }
    }
    return false;
}

bool Contains(const std::string &strStatus, int iMessage)
{
    for (bool bChinese : {false, true}) {
        if (strStatus.find(MSG_TextIn(iMessage, bChinese)) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

ClientPhase CLIENTS_Phase(const std::string &strStatus)
{
    // "Rebooting to finish install" holds the words of 115: only the start of the line counts.
    if (StartsWith(strStatus, 114) || StartsWith(strStatus, 115)) {
        return ClientPhase::Finished;
    }
    // 145: the OS does not fit the client's architecture, so it cannot install.
    if (StartsWith(strStatus, 120) || Contains(strStatus, 145)) {
        return ClientPhase::Failed;
    }
    // "Download file finished" and "Download file(TFTP Fail...)" share the prefix 118.
    if (StartsWith(strStatus, 119) || StartsWith(strStatus, 121)) {
        return ClientPhase::Downloading;
    }
    if (StartsWith(strStatus, 118)) {
        return ClientPhase::Failed;
    }
    if (StartsWith(strStatus, 116) || StartsWith(strStatus, 117)) {
        return ClientPhase::Installing;
    }
    return ClientPhase::Requesting;
}

const char *CLIENTS_PhaseName(ClientPhase ePhase)
{
    static const char *const s_apcNames[CLIENT_PHASE_COUNT] = {"requesting", "downloading",
                                                               "installing", "finished", "failed"};
    return s_apcNames[int(ePhase)];
}
