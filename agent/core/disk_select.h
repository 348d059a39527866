// Target disk selection: the iSCSI boot disk, the disk closest to a requested size or the first
// disk not on USB, written into the answer file's <DiskID> lines.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/agent_context.h"

namespace ferrit {

const char *BusTypeName(std::uint32_t bus);

// The rules over disks gathered in enumeration order; -1 when none qualifies or a disk path
// could not be opened.
int FindIscsiDisk(const std::vector<DiskInfo> &disks);
int FindDiskBySize(const std::vector<DiskInfo> &disks, std::uint32_t sizeGb);
int FindFirstNonUsbDisk(const std::vector<DiskInfo> &disks);

struct DiskSelectType {
    std::string szType = "by-name";
    std::uint32_t uiSizeGb = 0;
};
DiskSelectType ReadDiskSelectType(const std::string &answerFile);
void WriteDiskId(const std::string &answerFile, int disk);
int ReadDiskId(const std::string &answerFile);

// Queries every present disk through the system, in enumeration order.
std::vector<DiskInfo> GatherDisks(AgentSystem &sys);
void SelectTargetDisk(AgentContext &ctx, const std::string &answerFile);

}  // namespace ferrit
