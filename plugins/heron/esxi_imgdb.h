// Edits of the VMware ESXi image database (imgdb.tgz, held uncompressed as a ustar archive):
// adding a driver VIB to the image profile, or removing one, and the module lists of boot.cfg
// that follow those edits. The archive is read, rebuilt in memory and written back whole.
#pragma once

#include <string>

#include "plugin_profile.h"

// The "modules=" list of the image's boot.cfg: as read ("/b.b00 --- /jumpstrt.gz ...") and with
// every "/" removed, the form a boot.cfg with a "prefix=" line names its modules by.
struct EsxiModuleLists {
    std::string strPath = "123";
    std::string strFile = "123";
};

// Adds the VIB whose descriptor.xml lies in the rule's directory, replacing the VIB that carries
// the same payload when the profile has one.
void AddVibToImageDb(const std::string &strArchive, const VmwareRule &stRule,
                     EsxiModuleLists *pstLists);

// Removes the VIB that carries the payload from the profile and its descriptor files.
void RemoveVibFromImageDb(const std::string &strArchive, const std::string &strPayload,
                          EsxiModuleLists *pstLists);

// A ustar header (GNU magic) for a new regular file.
std::string MakeTarHeader(const std::string &strName, size_t uSize);

// Writes the size (11 octal digits) and the checksum (the sum of all header bytes taken as signed
// bytes, with the checksum field counted as spaces) into a 512-byte header.
void SetTarSizeAndChecksum(char *pcHeader, size_t uSize);
