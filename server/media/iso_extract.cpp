#include "iso_extract.h"

#include <glib.h>

#include <filesystem>
#include <vector>

#include "iso_image.h"

namespace fs = std::filesystem;

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
    std::error_code stErr;
    if (!fs::is_directory(strDestination, stErr) &&
        (!fs::create_directories(strDestination, stErr) || stErr)) {
        return 10;
    }
    m_strIsoPath = strIsoPath;
    m_strDestination = strDestination;
    if (m_strDestination.size() > 1 && m_strDestination.back() == '/') {
        m_strDestination.pop_back();
    }
    m_fnEvent = std::move(fnEvent);
    m_bArchiver = IsUdfFile(strIsoPath.c_str());
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

void IsoExtractJob::Work()
{
    IsoExtractStatus eStatus = m_bArchiver ? ExtractWithArchiver() : ExtractWithReader();
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
    uint32_t uiResult =
        IsoExtract(&stImage, stImage.pstRoot, m_strDestination.c_str(), nullptr,
                   [&](const IsoProgress &stStep) -> uint32_t {
                       if (stStep.uiKind == ISO_PROGRESS_FILE && m_fnEvent) {
                           std::string strPath = stStep.pcPath != nullptr ? stStep.pcPath : "";
                           IsoExtractEvent stEvent;
                           stEvent.uiDone = ++uiDone;
                           stEvent.uiTotal = stInfo.uiRecursiveFiles;
                           stEvent.strFileName = strPath.substr(strPath.find_last_of('/') + 1);
                           m_fnEvent(stEvent);
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
    gchar *pc7z = g_find_program_in_path("7z");
    if (pc7z == nullptr) {
        return IsoExtractStatus::Failed;
    }
    // An absolute path can never be read as one of 7z's switches.
    std::error_code stErr;
    std::string strIso = fs::absolute(m_strIsoPath, stErr).string();
    std::string strOutput = "-o" + fs::absolute(m_strDestination, stErr).string();
    std::vector<gchar *> vecArgv{pc7z,
                                 const_cast<gchar *>("x"),
                                 strIso.data(),
                                 strOutput.data(),
                                 const_cast<gchar *>("-y"),
                                 nullptr};
    gint iWait = 0;
    // 7z's listing is not wanted; its exit status says whether every file came out.
    bool bRan = g_spawn_sync(
        nullptr, vecArgv.data(), nullptr,
        static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
        nullptr, nullptr, nullptr, &iWait, nullptr);
    g_free(pc7z);
    if (!bRan || !g_spawn_check_wait_status(iWait, nullptr)) {
        return IsoExtractStatus::Failed;
    }
    return m_bCancel.load() ? IsoExtractStatus::Cancelled : IsoExtractStatus::Finished;
}
