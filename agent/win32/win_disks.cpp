// Disks through SetupAPI and the storage IOCTLs.
#include "win32/win_system.h"
// initguid.h before the GUID headers: it makes GUID_DEVINTERFACE_DISK a definition.
#include <initguid.h>
#include <setupapi.h>
#include <winioctl.h>
#include <ntddstor.h>

#include "core/agent_log.h"
#include "core/text_util.h"

namespace ferrit {

std::vector<std::string> WinSystem::DiskPaths()
{
    std::vector<std::string> paths;
    HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0;
         ::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, i, &data); ++i) {
        DWORD size = 0;
        ::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<unsigned char> buffer(size);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return paths;
}

DiskInfo WinSystem::QueryDisk(const std::string &path)
{
    DiskInfo info;
    info.szPath = path;
    HANDLE disk =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        info.bOpened = false;
        info.uiOpenError = ::GetLastError();
        return info;
    }
    DWORD returned = 0;
    STORAGE_DEVICE_NUMBER number{};
    if (::DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                          &returned, nullptr))
        info.iNumber = static_cast<std::int32_t>(number.DeviceNumber);
    else
        AgentLog("IOCTL_STORAGE_GET_DEVICE_NUMBER Error: %ld\n",
                 static_cast<long>(::GetLastError()));

    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header{};
    if (::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &header,
                          sizeof header, &returned, nullptr) &&
        header.Size >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        std::vector<unsigned char> buffer(header.Size);
        if (::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                              buffer.data(), header.Size, &returned, nullptr))
            info.uiBusType = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR *>(buffer.data())->BusType;
        else
            AgentLog("IOCTL_STORAGE_QUERY_PROPERTY2 Error: %ld\n",
                     static_cast<long>(::GetLastError()));
    } else {
        AgentLog("IOCTL_STORAGE_QUERY_PROPERTY1 Error: %ld\n", static_cast<long>(::GetLastError()));
    }

    STORAGE_READ_CAPACITY capacity{};
    capacity.Version = sizeof capacity;
    if (::DeviceIoControl(disk, IOCTL_STORAGE_READ_CAPACITY, nullptr, 0, &capacity, sizeof capacity,
                          &returned, nullptr)) {
        AgentLog("## Disk BlockLength=%lu NumberOfBlocks=%llu DiskLength=%llu\n",
                 capacity.BlockLength,
                 static_cast<unsigned long long>(capacity.NumberOfBlocks.QuadPart),
                 static_cast<unsigned long long>(capacity.DiskLength.QuadPart));
        info.uiSizeGb = static_cast<std::uint32_t>(capacity.DiskLength.QuadPart >> 30);
    } else {
        AgentLog("IOCTL_STORAGE_READ_CAPACITY Error: %ld\n", static_cast<long>(::GetLastError()));
    }
    ::CloseHandle(disk);
    return info;
}

char WinSystem::WindowsDriveOnDisk(int diskNumber)
{
    DWORD drives = ::GetLogicalDrives();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (!(drives & (1u << (letter - 'A')))) continue;
        AgentLog("Logic driver %c exist\n", letter);
        if (!DirectoryExists(Format("%c:\\Windows", letter))) {
            AgentLog("Directory %c:\\Windows not exist\n", letter);
            continue;
        }
        AgentLog("Dir %c:\\Windows exist\n", letter);
        long number = -1;
        HANDLE volume =
            ::CreateFileA(Format("\\\\.\\%c:", letter).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume != INVALID_HANDLE_VALUE) {
            VOLUME_DISK_EXTENTS extents{};
            DWORD returned = 0;
            if (::DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                  &extents, sizeof extents, &returned, nullptr)) {
                if (extents.NumberOfDiskExtents == 0) {
                    AgentLog("stVolDiskExt.NumberOfDiskExtents is 0 \n");
                } else {
                    AgentLog("stVolDiskExt.NumberOfDiskExtents is %lu \n",
                             extents.NumberOfDiskExtents);
                    AgentLog("stVolDiskExt.Extents[0].DiskNumber is %lu \n",
                             extents.Extents[0].DiskNumber);
                    number = static_cast<long>(extents.Extents[0].DiskNumber);
                }
            } else {
                AgentLog("IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS Error: %ld\n",
                         static_cast<long>(::GetLastError()));
            }
            ::CloseHandle(volume);
        }
        AgentLog("KIV_GetDiskIdByDriverLetter(%c)=%lu\n", letter,
                 static_cast<unsigned long>(number));
        if (number == diskNumber) return letter;
    }
    AgentLog("Return default driver letter C:");
    return 'C';
}

}  // namespace ferrit
