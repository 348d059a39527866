// Service start and stop for Windows media: the install image choice, the WinPE boot files in the
// loader's OSPREY folder (ramdisk SDI, BCD store for the TFTP block size, boot WIM with the agent
// and its files), and their removal.
#pragma once

#include <string>

#include "kiv_plugin_api.h"

// The chosen install image as decimal text, "" before the first start; its name, "" likewise.
const std::string &OspreyImageIndex();
const std::string &OspreyImageName();

// Copies every "<dir>/optimize/<base>_tftp_<block size>" to "<dir>/<base>" for the server's TFTP
// block size.
void CopyOptimizedBcd(const std::string &strBootDir);

int OspreyServiceStart(ServiceStartRequest *pstReq);
void OspreyServiceStop();
