// WIM files for plug-ins, through wimlib: the image names of a WIM, and files added into image 2
// (the Setup image of a Windows PE boot WIM). Each call opens, changes and closes the file, and
// cleans wimlib's global state up afterwards. Paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kiv_plugin_api.h"

// Adds each {host file, path in the WIM} pair, in order, to image 2 and rewrites the WIM in
// place. 0 on success, -1 when the command list cannot be built, the open error of wimlib, or the
// sum of the update and overwrite results (a single-image WIM gives WIMLIB_ERR_INVALID_IMAGE).
int AddFilesToWim(const char *pcWimPath, const WimAddPair *pstPairs, uint32_t uiCount);

// Clears *pvecNames and fills it with the image names, image 1 first. 0, or wimlib's open error.
int GetWimImageNames(const char *pcWimPath, std::vector<std::string> *pvecNames);
