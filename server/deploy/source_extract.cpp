#include "source_extract.h"

#include <glib.h>

#include <memory>
#include <mutex>

#include "iso_extract.h"
#include "log.h"
#include "msg_table.h"
#include "prompt.h"

namespace {

// Written by the worker's events, read by the console. A job counts as running until the main
// thread has handled its end, so that a new job never replaces one whose end is still queued.
std::mutex g_mtxState;
ExtractState g_stState;
std::unique_ptr<IsoExtractJob> g_pstJob;
// The start waiting for an extraction of g_stState.strIso; main thread only.
std::function<void(const std::string &)> g_fnFinished;

const char *EndName(IsoExtractStatus eStatus)
{
    return eStatus == IsoExtractStatus::Finished    ? "finished"
           : eStatus == IsoExtractStatus::Cancelled ? "cancelled"
                                                    : "failed";
}

// On the main thread after the worker reported its end.
gboolean OnEnded(gpointer)
{
    if (!g_pstJob) {
        return G_SOURCE_REMOVE;
    }
    IsoExtractStatus eStatus = g_pstJob->Wait();
    std::string strDestination = g_pstJob->Destination();
    std::string strIso;
    {
        std::lock_guard<std::mutex> stLock(g_mtxState);
        strIso = g_stState.strIso;
        g_stState.bRunning = false;
    }
    LOG_Print(0, "PXEDLG", "Extraction of %s into %s %s", strIso.c_str(), strDestination.c_str(),
              EndName(eStatus));
    LOG_Flush();
    if (!g_fnFinished || eStatus == IsoExtractStatus::Cancelled) {
        return G_SOURCE_REMOVE;
    }
    auto fnFinished = std::move(g_fnFinished);
    g_fnFinished = nullptr;
    {
        std::lock_guard<std::mutex> stLock(g_mtxState);
        g_stState.bStartWaits = false;
    }
    if (eStatus == IsoExtractStatus::Finished) {
        fnFinished(strDestination);
    } else {
        PROMPT_Show(MSG_Choose("解压ISO文件失败", "ISO File Extract Failed"), "ERR",
                    PromptIcon::Error);
    }
    return G_SOURCE_REMOVE;
}

// On the worker thread.
void OnEvent(const IsoExtractEvent &stEvent)
{
    std::lock_guard<std::mutex> stLock(g_mtxState);
    if (!stEvent.bDone) {
        // A line at every tenth of the work, so that a large image does not flood the log.
        if (stEvent.uiTotal != 0 &&
            stEvent.uiDone * 10 / stEvent.uiTotal != g_stState.uiDone * 10 / stEvent.uiTotal) {
            LOG_Print(1, "PXEDLG", "Extracted %s (%u of %u)", stEvent.strFileName.c_str(),
                      stEvent.uiDone, stEvent.uiTotal);
        }
        g_stState.uiDone = stEvent.uiDone;
        g_stState.uiTotal = stEvent.uiTotal;
        g_stState.strStatus = "Extracted " + stEvent.strFileName;
        return;
    }
    g_stState.uiDone = 0;
    g_stState.strStatus = MSG_Text(82);
    g_stState.strMessage = stEvent.eStatus == IsoExtractStatus::Finished    ? MSG_Text(83)
                           : stEvent.eStatus == IsoExtractStatus::Cancelled ? MSG_Text(14)
                                                                            : MSG_Text(2);
    g_idle_add(OnEnded, nullptr);
}

}  // namespace

int EXTRACT_Start(const std::string &strIso, const std::string &strDestination)
{
    if (EXTRACT_Running()) {
        return 13;
    }
    g_pstJob = std::make_unique<IsoExtractJob>();
    {
        std::lock_guard<std::mutex> stLock(g_mtxState);
        bool bWaits = g_fnFinished != nullptr && g_stState.strIso == strIso;
        g_stState = ExtractState{};
        g_stState.bRunning = true;
        g_stState.strStatus = MSG_Text(82);
        g_stState.strIso = strIso;
        g_stState.strDestination = strDestination;
        g_stState.bStartWaits = bWaits;
    }
    // An extraction of another image is not what the waiting start asked for.
    if (!EXTRACT_State().bStartWaits) {
        g_fnFinished = nullptr;
    }
    int iMessage = g_pstJob->Start(strIso, strDestination, OnEvent);
    if (iMessage != 0) {
        std::lock_guard<std::mutex> stLock(g_mtxState);
        g_stState.bRunning = false;
        return iMessage;
    }
    LOG_Print(0, "PXEDLG", "Extracting %s into %s%s", strIso.c_str(),
              g_pstJob->Destination().c_str(), g_pstJob->UsesArchiver() ? " with 7z" : "");
    return 0;
}

int EXTRACT_StartForSource(const std::string &strIso, const std::string &strDestination,
                           std::function<void(const std::string &)> fnFinished)
{
    if (EXTRACT_Running()) {
        return 13;
    }
    g_fnFinished = std::move(fnFinished);
    {
        std::lock_guard<std::mutex> stLock(g_mtxState);
        g_stState.strIso = strIso;
    }
    int iMessage = EXTRACT_Start(strIso, strDestination);
    if (iMessage != 0) {
        EXTRACT_Close();
    }
    return iMessage;
}

void EXTRACT_Cancel()
{
    if (g_pstJob) {
        g_pstJob->Cancel();
    }
}

void EXTRACT_Close()
{
    g_fnFinished = nullptr;
    std::lock_guard<std::mutex> stLock(g_mtxState);
    g_stState.bStartWaits = false;
}

void EXTRACT_Shutdown()
{
    if (g_pstJob) {
        g_pstJob->Cancel();
        g_pstJob->Wait();
    }
    g_fnFinished = nullptr;
}

bool EXTRACT_Running()
{
    std::lock_guard<std::mutex> stLock(g_mtxState);
    return g_stState.bRunning;
}

ExtractState EXTRACT_State()
{
    std::lock_guard<std::mutex> stLock(g_mtxState);
    return g_stState;
}
