#include "iso_extract.h"

#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "iso_image.h"

namespace fs = std::filesystem;

namespace {

// Moves every entry of strFrom into strTo (which exists), replacing what has the same name;
// directories on both sides are merged. False when an entry could not be moved.
bool MergeInto(const fs::path &stFrom, const fs::path &stTo)
{
    std::error_code stErr;
    for (const fs::directory_entry &stEntry : fs::directory_iterator(stFrom, stErr)) {
        fs::path stTarget = stTo / stEntry.path().filename();
        bool bBothDirs = stEntry.is_directory(stErr) && fs::is_directory(stTarget, stErr);
        if (bBothDirs) {
            if (!MergeInto(stEntry.path(), stTarget)) {
                return false;
            }
            continue;
        }
        if (fs::exists(fs::symlink_status(stTarget, stErr))) {
            fs::remove_all(stTarget, stErr);
        }
        fs::rename(stEntry.path(), stTarget, stErr);
        if (stErr) {
            return false;
        }
    }
    return !stErr;
}

// Puts the complete tree strPartial in place of strDestination.
bool MoveIntoPlace(const std::string &strPartial, const std::string &strDestination)
{
    std::error_code stErr;
    if (!fs::exists(fs::symlink_status(strDestination, stErr))) {
        fs::rename(strPartial, strDestination, stErr);
        return !stErr;
    }
    return fs::is_directory(strDestination, stErr) && MergeInto(strPartial, strDestination);
}

// Reads 7z's progress ("\b\b  42% 3 - sources/boot.wim"): the last complete percentage of the
// text and the file named with it. False when the text holds none.
bool LastProgress(const std::string &strText, uint32_t *puiPercent, std::string *pstrFile)
{
    static GRegex *pstRegex = g_regex_new("(\\d{1,3})%(?: +\\d+)?(?: +- +([^\\x08\\r\\n]*))?",
                                          G_REGEX_RAW, GRegexMatchFlags(0), nullptr);
    GMatchInfo *pstMatch = nullptr;
    bool bFound = false;
    g_regex_match_full(pstRegex, strText.c_str(), gssize(strText.size()), 0, GRegexMatchFlags(0),
                       &pstMatch, nullptr);
    while (g_match_info_matches(pstMatch)) {
        gchar *pcPercent = g_match_info_fetch(pstMatch, 1);
        gchar *pcFile = g_match_info_fetch(pstMatch, 2);
        *puiPercent = std::min<uint32_t>(100, uint32_t(strtoul(pcPercent, nullptr, 10)));
        pstrFile->assign(pcFile != nullptr ? g_strchomp(pcFile) : "");
        bFound = true;
        g_free(pcPercent);
        g_free(pcFile);
        g_match_info_next(pstMatch, nullptr);
    }
    g_match_info_free(pstMatch);
    return bFound;
}

// 7z runs in a process group of its own, so that a cancel also ends what it started.
void OwnProcessGroup(gpointer)
{
    setpgid(0, 0);
}

}  // namespace

std::string IsoExtractDefaultDestination(const std::string &strIsoPath)
{
    return strIsoPath.size() > 4 ? strIsoPath.substr(0, strIsoPath.size() - 4) : std::string();
}

IsoExtractJob::~IsoExtractJob()
{
    Cancel();
    Wait();
}

int IsoExtractJob::Start(const std::string &strIsoPath, const std::string &strDestination,
                         IsoExtractEventFn fnEvent)
{
    if (Running()) {
        return 13;
    }
    // A worker that ended is joined before the next one starts.
    Wait();
    if (strIsoPath.empty() || strDestination.empty()) {
        return 15;
    }
    if (!IsIso9660File(strIsoPath.c_str())) {
        return 18;
    }
    std::string strDest = strDestination;
    if (strDest.size() > 1 && strDest.back() == '/') {
        strDest.pop_back();
    }
    std::error_code stErr;
    fs::path stAbsolute = fs::absolute(strDest, stErr);
    if (stErr || (fs::exists(stAbsolute, stErr) && !fs::is_directory(stAbsolute, stErr))) {
        return 10;
    }
    fs::create_directories(stAbsolute.parent_path(), stErr);
    std::string strTemplate = stAbsolute.string() + ".partial-XXXXXX";
    if (stErr || g_mkdtemp_full(strTemplate.data(), 0755) == nullptr) {
        return 10;
    }
    m_strIsoPath = strIsoPath;
    m_strDestination = strDest;
    m_strPartial = strTemplate;
    m_fnEvent = std::move(fnEvent);
    m_bArchiver = IsUdfFile(strIsoPath.c_str());
    // Looked up here, by the thread that started the job, with its PATH.
    gchar *pc7z = m_bArchiver ? g_find_program_in_path("7z") : nullptr;
    m_strArchiver = pc7z != nullptr ? pc7z : "";
    g_free(pc7z);
    m_bCancel = false;
    m_eStatus = IsoExtractStatus::Running;
    m_stWorker = std::thread(&IsoExtractJob::Work, this);
    return 0;
}

void IsoExtractJob::Cancel()
{
    m_bCancel = true;
}

IsoExtractStatus IsoExtractJob::Wait()
{
    if (m_stWorker.joinable()) {
        m_stWorker.join();
    }
    return m_eStatus.load();
}

void IsoExtractJob::Raise(uint32_t uiDone, uint32_t uiTotal, const std::string &strPath)
{
    if (m_fnEvent) {
        IsoExtractEvent stEvent;
        stEvent.uiDone = uiDone;
        stEvent.uiTotal = uiTotal;
        stEvent.strFileName = strPath.substr(strPath.find_last_of('/') + 1);
        m_fnEvent(stEvent);
    }
}

void IsoExtractJob::Work()
{
    IsoExtractStatus eStatus = m_bArchiver ? ExtractWithArchiver() : ExtractWithReader();
    if (eStatus == IsoExtractStatus::Finished && !MoveIntoPlace(m_strPartial, m_strDestination)) {
        eStatus = IsoExtractStatus::Failed;
    }
    std::error_code stErr;
    fs::remove_all(m_strPartial, stErr);
    m_eStatus = eStatus;
    if (m_fnEvent) {
        IsoExtractEvent stEvent;
        stEvent.bDone = true;
        stEvent.eStatus = eStatus;
        m_fnEvent(stEvent);
    }
}

IsoExtractStatus IsoExtractJob::ExtractWithReader()
{
    IsoImage stImage;
    if (IsoOpen(m_strIsoPath.c_str(), false, &stImage) != 0) {
        return IsoExtractStatus::Failed;
    }
    IsoDirInfo stInfo;
    IsoDirStats(stImage.pstRoot, &stInfo);
    uint32_t uiDone = 0;
    uint32_t uiResult = IsoExtract(&stImage, stImage.pstRoot, m_strPartial.c_str(), nullptr,
                                   [&](const IsoProgress &stStep) -> uint32_t {
                                       if (stStep.uiKind == ISO_PROGRESS_FILE) {
                                           Raise(++uiDone, stInfo.uiRecursiveFiles,
                                                 stStep.pcPath != nullptr ? stStep.pcPath : "");
                                       }
                                       return m_bCancel.load() ? ISO_ERR_ABORTED : 0;
                                   });
    IsoClose(&stImage);
    if (m_bCancel.load()) {
        return IsoExtractStatus::Cancelled;
    }
    return uiResult == 0 ? IsoExtractStatus::Finished : IsoExtractStatus::Failed;
}

IsoExtractStatus IsoExtractJob::ExtractWithArchiver()
{
    if (m_strArchiver.empty()) {
        return IsoExtractStatus::Failed;
    }
    // An absolute path can never be read as one of 7z's switches.
    std::error_code stErr;
    std::string strIso = fs::absolute(m_strIsoPath, stErr).string();
    std::string strOutput = "-o" + m_strPartial;
    // Progress on standard output, the listing and the errors dropped; the exit status says
    // whether every file came out.
    std::vector<gchar *> vecArgv{m_strArchiver.data(),
                                 const_cast<gchar *>("x"),
                                 strIso.data(),
                                 strOutput.data(),
                                 const_cast<gchar *>("-y"),
                                 const_cast<gchar *>("-bsp1"),
                                 const_cast<gchar *>("-bso0"),
                                 const_cast<gchar *>("-bse0"),
                                 nullptr};
    GPid iPid = 0;
    gint iOut = -1;
    bool bRan = g_spawn_async_with_pipes(
        nullptr, vecArgv.data(), nullptr,
        static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDERR_TO_DEV_NULL),
        OwnProcessGroup, nullptr, &iPid, nullptr, &iOut, nullptr, nullptr);
    if (!bRan) {
        return IsoExtractStatus::Failed;
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point tmTerminated;
    bool bTerminated = false;
    uint32_t uiPercent = 0;
    std::string strFile;
    std::string strPending;
    for (;;) {
        if (m_bCancel.load() && !bTerminated) {
            kill(-iPid, SIGTERM);
            bTerminated = true;
            tmTerminated = Clock::now();
        } else if (bTerminated && Clock::now() - tmTerminated > std::chrono::seconds(5)) {
            kill(-iPid, SIGKILL);
        }
        pollfd stPoll{iOut, POLLIN, 0};
        if (poll(&stPoll, 1, 100) <= 0) {
            continue;
        }
        char acBuffer[4096];
        ssize_t lRead = read(iOut, acBuffer, sizeof(acBuffer));
        if (lRead <= 0) {
            break;
        }
        // Only the tail can hold a line cut in the middle: keep what follows the last break.
        strPending.append(acBuffer, size_t(lRead));
        size_t uiCut = strPending.find_last_of("\b\r\n");
        if (uiCut == std::string::npos) {
            continue;
        }
        uint32_t uiNow = 0;
        std::string strNow;
        if (LastProgress(strPending.substr(0, uiCut), &uiNow, &strNow) &&
            (uiNow != uiPercent || strNow != strFile)) {
            uiPercent = uiNow;
            strFile = strNow;
            Raise(uiPercent, 100, strFile);
        }
        strPending.erase(0, uiCut + 1);
    }
    close(iOut);
    int iWait = 0;
    while (waitpid(iPid, &iWait, 0) < 0 && errno == EINTR) {}
    g_spawn_close_pid(iPid);
    if (m_bCancel.load()) {
        return IsoExtractStatus::Cancelled;
    }
    return WIFEXITED(iWait) && WEXITSTATUS(iWait) == 0 ? IsoExtractStatus::Finished
                                                       : IsoExtractStatus::Failed;
}
