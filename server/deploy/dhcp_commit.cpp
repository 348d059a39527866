#include "dhcp_commit.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace {

std::mutex g_mtxCommit;
std::condition_variable g_cvCommit;
bool g_bOpen = false;
std::function<void()> g_fnJob;
// Each wait takes a ticket; a job run covers every ticket taken before it started.
uint64_t g_ullAsked = 0;
uint64_t g_ullDone = 0;

gboolean RunJob(gpointer)
{
    std::function<void()> fnJob;
    uint64_t ullCovered = 0;
    {
        std::lock_guard<std::mutex> lock(g_mtxCommit);
        if (!g_bOpen || g_ullDone >= g_ullAsked) {
            return G_SOURCE_REMOVE;
        }
        fnJob = g_fnJob;
        ullCovered = g_ullAsked;
    }
    fnJob();
    {
        std::lock_guard<std::mutex> lock(g_mtxCommit);
        g_ullDone = std::max(g_ullDone, ullCovered);
    }
    g_cvCommit.notify_all();
    return G_SOURCE_REMOVE;
}

}  // namespace

void DHCP_COMMIT_Open(std::function<void()> fnJob)
{
    std::lock_guard<std::mutex> lock(g_mtxCommit);
    g_fnJob = std::move(fnJob);
    g_bOpen = true;
}

void DHCP_COMMIT_Close()
{
    {
        std::lock_guard<std::mutex> lock(g_mtxCommit);
        g_bOpen = false;
    }
    g_cvCommit.notify_all();
}

void DHCP_COMMIT_Wait()
{
    std::unique_lock<std::mutex> lock(g_mtxCommit);
    if (!g_bOpen) {
        return;
    }
    const uint64_t ullTicket = ++g_ullAsked;
    lock.unlock();
    // Ahead of the timers, so the burst's ACKs wait one main-loop turn, not a tick.
    g_main_context_invoke_full(nullptr, G_PRIORITY_HIGH, RunJob, nullptr, nullptr);
    lock.lock();
    g_cvCommit.wait_for(lock, std::chrono::milliseconds(DHCP_COMMIT_WAIT_MS),
                        [&] { return !g_bOpen || g_ullDone >= ullTicket; });
}
