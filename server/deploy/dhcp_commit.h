#pragma once

#include <functional>

// The DHCP service's ACKs wait for the main loop: before they go out, the main thread runs the
// commit job (act on the queued events, save the changed leases). The service thread waits at
// most DHCP_COMMIT_WAIT_MS; while the gate is closed it does not wait at all, so the main thread
// can stop the service (and join its thread) without a deadlock.
constexpr unsigned DHCP_COMMIT_WAIT_MS = 3000;

// From the main thread: ACKs wait for fnJob from now on.
void DHCP_COMMIT_Open(std::function<void()> fnJob);
// From the main thread: waiting service threads go on at once, later ACKs do not wait.
void DHCP_COMMIT_Close();
// The DHCP service's commit callback (service thread).
void DHCP_COMMIT_Wait();
