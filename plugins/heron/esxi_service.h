// Service start and stop for VMware ESXi: the image database is unpacked into
// "virtualiso/extfile", the driver rules are applied to it, and clients fetching it (or a driver
// file) from the image root are redirected to those copies.
#pragma once

#include "esxi_imgdb.h"
#include "kiv_plugin_api.h"

// The module lists of the running service ("123" while the OS is not ESXi).
EsxiModuleLists &EsxiLists();

void PatchEsxiImageDb(const ServiceStartRequest *pstReq);
void EsxiServiceStop();

// Unpacks the gzip file F into directory X as X/imgdb.tgz (uncompressed, same name) with 7z.
bool UnpackImageDb(const std::string &strFile, const std::string &strDir);
