// The check made before every service start.
#pragma once

#include <cstdint>
#include <functional>

#include "settings.h"

// Checks the start address, IPNum and the source of stSettings, settles the source kind
// (uiImgISO) and chooses the local address and mask that serve the pool (in proxyDHCP mode the
// start address may be a local address itself: no pool is handed out). Returns 1 when the
// service may start; 0 after telling the operator why not, or when the source is a UDF image the
// operator agreed to extract: the extraction then runs beside the main loop, and when it has
// finished the extracted directory becomes the source (uiImgISO 0) and fnResume is called on the
// main thread (stSettings must live until then).
int CheckStartParameters(ServerSettings &stSettings, uint32_t *puiLocalAddr, uint32_t *puiLocalMask,
                         std::function<void()> fnResume = {});
