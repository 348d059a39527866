// The server's one ISO extraction job, shared by the Extract ISO dialog and the start check. It
// runs on its own worker; the main loop keeps serving (console, client table, timer) while a
// multi-gigabyte image is unpacked. Progress goes to the log at every tenth of the work and to
// the state the console shows. All functions belong to the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct ExtractState {
    bool bRunning = false;
    uint32_t uiDone = 0;
    uint32_t uiTotal = 0;
    std::string strStatus;   // "Extracted <file>" while running, message 82 after
    std::string strMessage;  // how the last job ended: message 83, 14, or "Fail"
    std::string strIso;      // the last job's image and destination
    std::string strDestination;
    bool bStartWaits = false;  // a service start goes on when an extraction of strIso finishes
};

// Starts an extraction. 0, or the number of the operator message that says why not (13 a job
// runs, 15 a path is empty, 18 not an ISO image, 10 the destination cannot be made).
int EXTRACT_Start(const std::string &strIso, const std::string &strDestination);
// The start check's extraction: as EXTRACT_Start, and a later extraction of the same image that
// finishes (the operator may stop this one and start it again into another destination) calls
// fnFinished with its destination on the main thread, once. A failure gives the start up, with
// a message to the operator.
int EXTRACT_StartForSource(const std::string &strIso, const std::string &strDestination,
                           std::function<void(const std::string &)> fnFinished);
// Asks the running job to stop; it ends soon after and removes what it had written.
void EXTRACT_Cancel();
// The dialog was closed: a start waiting for an extraction is given up.
void EXTRACT_Close();
// At exit: stops a running job and waits until its worker has removed what it wrote.
void EXTRACT_Shutdown();
bool EXTRACT_Running();
ExtractState EXTRACT_State();
