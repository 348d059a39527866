#include "core/disk_select.h"

#include <cstdlib>
#include <string_view>
#include <tuple>

#include "core/agent_log.h"
#include "core/text_util.h"

namespace ferrit {

const char *BusTypeName(std::uint32_t bus)
{
    static const char *names[] = {
        "BusTypeUnknown", "BusTypeScsi",  "BusTypeAtapi",   "BusTypeAta",
        "BusType1394",    "BusTypeSsa",   "BusTypeFibre",   "BusTypeUsb",
        "BusTypeRAID",    "BusTypeiScsi", "BusTypeSas",     "BusTypeSata",
        "BusTypeSd",      "BusTypeMmc",   "BusTypeVirtual", "BusTypeFileBackedVirtual",
        "BusTypeSpaces",  "BusTypeNvme",  "BusTypeMax"};
    if (bus < sizeof names / sizeof names[0]) return names[bus];
    return bus == 127 ? "BusTypeMaxReserved" : "unknown";
}

namespace {
constexpr std::uint32_t kBusUsb = 7, kBusIscsi = 9;

void LogOpenFailure(const DiskInfo &disk)
{
    AgentLog("CreateFile() Error: %ld\n", static_cast<long>(disk.uiOpenError));
}

void LogBus(const char *prefix, const DiskInfo &d)
{
    AgentLog("%sDisk %lu Bus:%u(%s)  Path:%s", prefix, static_cast<unsigned long>(d.iNumber),
             d.uiBusType, BusTypeName(d.uiBusType), d.szPath.c_str());
}

// The first disk whose bus type passes `accept`; an unopenable path ends the search.
template <typename Accept>
int FirstByBus(const std::vector<DiskInfo> &disks, Accept accept, const char *foundPrefix)
{
    AgentLog("Get Disk Number :%d", static_cast<int>(disks.size()));
    for (const auto &disk : disks) {
        if (!disk.bOpened) {
            LogOpenFailure(disk);
            return -1;
        }
        LogBus("", disk);
        if (accept(disk.uiBusType)) {
            if (*foundPrefix) LogBus(foundPrefix, disk);
            return disk.iNumber;
        }
    }
    return -1;
}
}  // namespace

int FindIscsiDisk(const std::vector<DiskInfo> &disks)
{
    return FirstByBus(
        disks, [](std::uint32_t bus) { return bus == kBusIscsi; }, "");
}

int FindFirstNonUsbDisk(const std::vector<DiskInfo> &disks)
{
    return FirstByBus(
        disks, [](std::uint32_t bus) { return bus != kBusUsb; }, "First NON USB ");
}

int FindDiskBySize(const std::vector<DiskInfo> &disks, std::uint32_t sizeGb)
{
    AgentLog("Get Disk Number :%d", static_cast<int>(disks.size()));
    int best = -1;
    long long bestDelta = 0;
    for (const auto &disk : disks) {
        if (!disk.bOpened) {
            LogOpenFailure(disk);
            return -1;
        }
        AgentLog("Disk %d, Size %uGB\n", disk.iNumber, disk.uiSizeGb);
        if (disk.iNumber == -1) continue;
        long long delta = std::llabs(static_cast<long long>(sizeGb) - disk.uiSizeGb);
        AgentLog("Disk Size:%uGB, Current Disk Size:%uGB, Delta:%d\n", sizeGb, disk.uiSizeGb,
                 static_cast<int>(delta));
        if (best == -1) {
            best = disk.iNumber;
            bestDelta = delta;
            AgentLog("First Set disk %d MinDelta=%d\n", best, static_cast<int>(bestDelta));
        } else if (delta < bestDelta) {
            best = disk.iNumber;
            bestDelta = delta;
            AgentLog("Find New,  Set disk %d  delta=%d\n", best, static_cast<int>(bestDelta));
        }
    }
    AgentLog("#### Finally, disk %d  delta=%d\n", best, static_cast<int>(bestDelta));
    return best;
}

DiskSelectType ReadDiskSelectType(const std::string &answerFile)
{
    DiskSelectType result;
    auto lines = ReadLines(answerFile);
    if (!lines) return result;
    for (const auto &line : *lines) {
        auto at = line.find("DISK_SELECT_TYPE=");
        if (at == std::string::npos) continue;
        AgentLog("Find disk select type: %s", line.c_str());
        std::string type = line.substr(at + 17);
        type = type.substr(0, type.find(' '));
        AgentLog("szSelType=: <%s>", type.c_str());
        if (!type.empty() && !Contains(type, "by-name")) {
            auto size = line.find("DISK_SIZE_GB=");
            unsigned long gb =
                size == std::string::npos ? 0 : std::strtoul(line.c_str() + size + 13, nullptr, 10);
            if (gb != 0) {
                result = {"by-size", static_cast<std::uint32_t>(gb)};
                AgentLog("Set Disk Select By Size: %u GB", result.uiSizeGb);
            } else {
                AgentLog("Size is 0, Now Set Disk Select By Name");
            }
        } else {
            AgentLog("Set Disk Select By Name");
        }
        break;
    }
    return result;
}

namespace {
constexpr std::string_view kDiskOpen = "<DiskID>", kDiskClose = "</DiskID>";

// Where the text of the next <DiskID> element at or after `from` starts and how long it is;
// npos when the line has no complete element there. Only the text changes hands: the
// shipped templates hold <InstallTo><DiskID>0</DiskID><PartitionID>2</PartitionID></InstallTo>
// on one line.
std::pair<std::size_t, std::size_t> DiskIdText(const std::string &line, std::size_t from)
{
    auto open = line.find(kDiskOpen, from);
    if (open == std::string::npos) return {std::string::npos, 0};
    auto text = open + kDiskOpen.size();
    auto close = line.find(kDiskClose, text);
    if (close == std::string::npos) return {std::string::npos, 0};
    return {text, close - text};
}
}  // namespace

void WriteDiskId(const std::string &answerFile, int disk)
{
    AgentLog("@@@@@@ Now Write <DiskID>%d</DiskID> to unattend xml", disk);
    auto lines = ReadLines(answerFile);
    if (!lines) return;
    const std::string id = std::to_string(disk);
    for (auto &line : *lines)
        for (auto [at, size] = DiskIdText(line, 0); at != std::string::npos;
             std::tie(at, size) = DiskIdText(line, at + id.size()))
            line.replace(at, size, id);
    WriteLines(answerFile, *lines);
}

int ReadDiskId(const std::string &answerFile)
{
    for (const auto &line : ReadLines(answerFile).value_or(std::vector<std::string>{}))
        if (auto [at, size] = DiskIdText(line, 0); at != std::string::npos)
            return static_cast<int>(std::strtol(Trim(line.substr(at, size)).c_str(), nullptr, 10));
    return -1;
}

std::vector<DiskInfo> GatherDisks(AgentSystem &sys)
{
    std::vector<DiskInfo> disks;
    for (const auto &path : sys.DiskPaths()) disks.push_back(sys.QueryDisk(path));
    return disks;
}

void SelectTargetDisk(AgentContext &ctx, const std::string &answerFile)
{
    if (IsYes(ctx.params.szIscsiFirst) && ctx.bIbftTargetPresent) {
        for (int i = 0; i < 100; ++i) {
            int disk = FindIscsiDisk(GatherDisks(ctx.sys));
            if (disk != -1) {
                AgentLog("ISCSI First: find iscsi disk %d", disk);
                WriteDiskId(answerFile, disk);
                return;
            }
            AgentLog("No iscsi disk find, Now wait");
            ctx.sys.SleepMs(500);
        }
        return;
    }
    DiskSelectType type = ReadDiskSelectType(answerFile);
    if (type.szType == "by-size") {
        WriteDiskId(answerFile, FindDiskBySize(GatherDisks(ctx.sys), type.uiSizeGb));
    } else if (IsYes(ctx.params.szForbiddenUsbDisk)) {
        int disk = FindFirstNonUsbDisk(GatherDisks(ctx.sys));
        if (disk == -1) {
            AgentLog("No Non USB disk find");
        } else {
            AgentLog("First Non USB Disk %d", disk);
            WriteDiskId(answerFile, disk);
        }
    }
}

}  // namespace ferrit
