#include <gtest/gtest.h>

#include "core/disk_select.h"
#include "fake_system.h"
#include "temp_dir.h"

namespace ferrit {
namespace {

DiskInfo Disk(int number, std::uint32_t bus, std::uint32_t gb, bool opened = true)
{
    DiskInfo d;
    d.szPath = "\\\\?\\disk#" + std::to_string(number);
    d.iNumber = number;
    d.uiBusType = bus;
    d.uiSizeGb = gb;
    d.bOpened = opened;
    return d;
}

TEST(DiskRules, BySizeIscsiAndNonUsb)
{
    test::TempDir dir;
    std::vector<DiskInfo> three = {Disk(0, 11, 120), Disk(1, 11, 500), Disk(2, 17, 1000)};
    EXPECT_EQ(FindDiskBySize(three, 300), 0);
    EXPECT_EQ(FindDiskBySize(three, 400), 1);
    EXPECT_EQ(FindDiskBySize(three, 5000), 2);
    EXPECT_EQ(FindDiskBySize({Disk(3, 11, 200), Disk(4, 11, 400)}, 300),
              3);  // equal delta: first wins
    EXPECT_EQ(FindDiskBySize({Disk(-1, 11, 300), Disk(5, 11, 100)}, 300),
              5);  // unnumbered disk skipped
    EXPECT_EQ(FindDiskBySize({Disk(0, 11, 300), Disk(1, 11, 300, false)}, 300), -1);
    EXPECT_EQ(FindDiskBySize({}, 300), -1);

    EXPECT_EQ(FindFirstNonUsbDisk({Disk(0, 7, 16), Disk(1, 11, 500)}), 1);
    EXPECT_EQ(FindFirstNonUsbDisk({Disk(0, 7, 16)}), -1);
    EXPECT_EQ(FindFirstNonUsbDisk({Disk(0, 7, 16, false), Disk(1, 11, 500)}), -1);
    EXPECT_EQ(FindIscsiDisk({Disk(0, 11, 500), Disk(1, 9, 100), Disk(2, 9, 100)}), 1);
    EXPECT_EQ(FindIscsiDisk({Disk(0, 11, 500)}), -1);

    EXPECT_STREQ(BusTypeName(9), "BusTypeiScsi");
    EXPECT_STREQ(BusTypeName(18), "BusTypeMax");
    EXPECT_STREQ(BusTypeName(19), "unknown");
    EXPECT_STREQ(BusTypeName(127), "BusTypeMaxReserved");
}

TEST(DiskSelectType, MarkerLine)
{
    test::TempDir dir;
    struct Case {
        const char *line;
        const char *type;
        std::uint32_t size;
    } cases[] = {
        {"<!-- DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300 -->", "by-size", 300},
        {"<!-- DISK_SELECT_TYPE=by-size DISK_SIZE_GB=0 -->", "by-name", 0},
        {"<!-- DISK_SELECT_TYPE=by-size -->", "by-name", 0},
        {"<!-- DISK_SELECT_TYPE=by-name DISK_SIZE_GB=300 -->", "by-name", 0},
        {"<!-- nothing here -->", "by-name", 0},
    };
    for (const auto &c : cases) {
        dir.Write("unattended.xml",
                  std::string("<?xml version=\"1.0\"?>\n") + c.line + "\n<DiskID>0</DiskID>\n");
        DiskSelectType t = ReadDiskSelectType("unattended.xml");
        EXPECT_EQ(t.szType, c.type) << c.line;
        EXPECT_EQ(t.uiSizeGb, c.size) << c.line;
    }
}

TEST(DiskId, OnlyTheElementsTextChanges)
{
    test::TempDir dir;
    dir.Write("unattended.xml",
              "<a>\n    <DiskID> 0 </DiskID>\n<b/>\r\n"
              "  <InstallTo><DiskID>0</DiskID><PartitionID>2</PartitionID></InstallTo>\n"
              "<x><DiskID>1</DiskID><DiskID>2</DiskID></x>\n<DiskID>unclosed\n</a>\n");
    EXPECT_EQ(ReadDiskId("unattended.xml"), 0);
    WriteDiskId("unattended.xml", 13);
    EXPECT_EQ(dir.Read("unattended.xml"),
              "<a>\n    <DiskID>13</DiskID>\n<b/>\n"
              "  <InstallTo><DiskID>13</DiskID><PartitionID>2</PartitionID></InstallTo>\n"
              "<x><DiskID>13</DiskID><DiskID>13</DiskID></x>\n<DiskID>unclosed\n</a>\n");
    EXPECT_EQ(ReadDiskId("unattended.xml"), 13);
    WriteDiskId("unattended.xml", -1);
    EXPECT_EQ(ReadDiskId("unattended.xml"), -1);
    dir.Write("unattended.xml", "<InstallTo><PartitionID>2</PartitionID></InstallTo>\n");
    EXPECT_EQ(ReadDiskId("unattended.xml"), -1);
    std::filesystem::remove(dir.path() / "unattended.xml");
    EXPECT_EQ(ReadDiskId("unattended.xml"), -1);
    WriteDiskId("unattended.xml", 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "unattended.xml"));
}

TEST(SelectTargetDisk, Policy)
{
    test::TempDir dir;
    struct Case {
        const char *marker;
        const char *iscsiFirst;
        bool ibft;
        const char *noUsb;
        std::vector<DiskInfo> disks;
        int disk;
    } cases[] = {
        {"DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300",
         "NO",
         false,
         "NO",
         {Disk(0, 11, 120), Disk(1, 11, 500)},
         0},
        {"DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300", "NO", false, "NO", {}, -1},
        {"DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300",
         "YES",
         true,
         "NO",
         {Disk(0, 11, 300), Disk(4, 9, 50)},
         4},
        // no iBFT: the size rule applies
        {"DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300",
         "YES",
         false,
         "NO",
         {Disk(0, 11, 300), Disk(4, 9, 50)},
         0},
        {"DISK_SELECT_TYPE=by-name", "NO", false, "YES", {Disk(0, 7, 16), Disk(1, 11, 500)}, 1},
        {"DISK_SELECT_TYPE=by-name", "NO", false, "YES", {Disk(0, 7, 16)}, 9},  // nothing found:
                                                                                // template kept
        {"DISK_SELECT_TYPE=by-name", "NO", false, "NO", {Disk(0, 7, 16), Disk(1, 11, 500)}, 9},
        {"DISK_SELECT_TYPE=by-name", "YES", true, "NO", {Disk(0, 11, 16)}, 9},  // no iSCSI disk
                                                                                // after the tries
    };
    for (const auto &c : cases) {
        dir.Write("unattended.xml", std::string("<!-- ") + c.marker + " -->\n<DiskID>9</DiskID>\n");
        test::FakeSystem sys;
        sys.disks = c.disks;
        AgentContext ctx(sys);
        ctx.params.szIscsiFirst = c.iscsiFirst;
        ctx.params.szForbiddenUsbDisk = c.noUsb;
        ctx.bIbftTargetPresent = c.ibft;
        SelectTargetDisk(ctx, "unattended.xml");
        EXPECT_EQ(ReadDiskId("unattended.xml"), c.disk)
            << c.marker << " " << c.iscsiFirst << c.noUsb;
    }
}

}  // namespace
}  // namespace ferrit
