// Unpacking an installation ISO into a directory, as an engine for the console's extraction
// dialog and the start check: ISO 9660 images through the built-in reader with per-file progress
// and cancel, UDF images through Debian's 7z ("7z x <iso> -o<dir> -y", its percentage read as
// progress; a cancel ends its process group).
//
// The tree is written into a temporary sibling of the destination and moved into place only when
// every file came out, so a cancelled or failed extraction leaves nothing that could be taken for
// the source: the sibling is removed. An existing destination receives the new tree file by file,
// replacing entries of the same name, as an archiver writing into it would.
//
// A job owns one worker thread and its own IsoImage. Events are raised on the worker thread; the
// receiver hands them to its own thread. Start, Cancel, Wait and the destructor belong to one
// owner thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// The destination proposed for an ISO: its path without the last four characters (".iso").
std::string IsoExtractDefaultDestination(const std::string &strIsoPath);

enum class IsoExtractStatus { Idle, Running, Finished, Cancelled, Failed };

struct IsoExtractEvent {
    bool bDone = false;       // false: one more file; true: the job ended with eStatus
    uint32_t uiDone = 0;      // files extracted so far (7z: percent done)
    uint32_t uiTotal = 0;     // files in the image (7z: 100)
    std::string strFileName;  // the file just extracted (7z: being extracted), after its last "/"
    IsoExtractStatus eStatus = IsoExtractStatus::Running;
};
using IsoExtractEventFn = std::function<void(const IsoExtractEvent &)>;

class IsoExtractJob {
public:
    IsoExtractJob() = default;
    ~IsoExtractJob();  // cancels a running worker and waits for it
    IsoExtractJob(const IsoExtractJob &) = delete;
    IsoExtractJob &operator=(const IsoExtractJob &) = delete;

    // Checks the paths, creates the destination's parent and the temporary sibling (one trailing
    // '/' is dropped from the destination) and starts the worker. 0 when started, else the number
    // of the operator message that says why: 13 a worker is running, 15 a path is empty, 18 not an
    // ISO image, 10 the destination cannot be created.
    int Start(const std::string &strIsoPath, const std::string &strDestination,
              IsoExtractEventFn fnEvent);
    // Asks the worker to stop before its next file (a running 7z is terminated).
    void Cancel();
    // Waits for the worker and returns how the job ended.
    IsoExtractStatus Wait();
    bool Running() const { return m_eStatus.load() == IsoExtractStatus::Running; }
    IsoExtractStatus Status() const { return m_eStatus.load(); }
    const std::string &Destination() const { return m_strDestination; }
    // True when the image is UDF and goes through 7z.
    bool UsesArchiver() const { return m_bArchiver; }

private:
    void Work();
    IsoExtractStatus ExtractWithReader();
    IsoExtractStatus ExtractWithArchiver();
    void Raise(uint32_t uiDone, uint32_t uiTotal, const std::string &strPath);

    std::string m_strIsoPath;
    std::string m_strDestination;
    std::string m_strPartial;  // the temporary sibling the worker writes into
    IsoExtractEventFn m_fnEvent;
    bool m_bArchiver = false;
    std::string m_strArchiver;  // the 7z program found in PATH
    std::atomic<bool> m_bCancel{false};
    std::atomic<IsoExtractStatus> m_eStatus{IsoExtractStatus::Idle};
    std::thread m_stWorker;
};
