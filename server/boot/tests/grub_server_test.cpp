#include "grub_server.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "work_dir.h"

namespace {

// An image as grub-mkimage lays it out: code, then the shipped early configuration verbatim.
std::string ImageWithShippedConfig()
{
    std::string strImage("MZ\0\x90\x01\x02 code ", 16);
    return strImage + ReadFile(KIV_SOURCE_DIR "/tools/datadir/grub-early.cfg") +
           std::string("\0\0tail", 6);
}

}  // namespace

TEST(GrubServer, FillsTheFieldOfTheShippedEarlyConfig)
{
    const std::string strImage = ImageWithShippedConfig();
    struct Case {
        const char *pcName;
        std::string strImage;
        const char *pcAddress;
        bool bFilled;
    };
    const Case astCases[] = {
        {"an address", strImage, "10.215.0.1", true},
        {"the longest address", strImage, "255.255.255.255", true},
        {"no field", std::string("set kiv_server_x=1\n", 19), "10.0.0.1", false},
        {"a field without its line end", "x\nset kiv_server=$net_default_server", "10.0.0.1",
         false},
        {"an address longer than the field", "x\nset kiv_server=12345\n", "10.0.0.100", false},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcName);
        std::string strOut = stCase.strImage;
        ASSERT_EQ(GRUB_FillServerField(strOut, stCase.pcAddress), stCase.bFilled);
        if (!stCase.bFilled) {
            EXPECT_EQ(strOut, stCase.strImage);
            continue;
        }
        // Same size, the field holds the address padded with blanks, the rest unchanged.
        ASSERT_EQ(strOut.size(), stCase.strImage.size());
        std::string strLine = std::string("\nset kiv_server=") + stCase.pcAddress + " ";
        EXPECT_NE(strOut.find(strLine), std::string::npos);
        EXPECT_EQ(strOut.find("$net_default_server "), std::string::npos);
        EXPECT_NE(strOut.find("set root=(tftp,$kiv_server)\n"), std::string::npos);
        // A later start with another address overwrites the whole field.
        std::string strAgain = strOut;
        ASSERT_TRUE(GRUB_FillServerField(strAgain, "1.2.3.4"));
        EXPECT_NE(strAgain.find("\nset kiv_server=1.2.3.4 "), std::string::npos);
        EXPECT_EQ(strAgain.find(stCase.pcAddress), std::string::npos);
    }
}

TEST(GrubServer, WritesTheImagesOfTheLoaderTreesOnly)
{
    WorkDir stDir;
    const std::string strImage = ImageWithShippedConfig();
    stDir.Touch("grub2/grub2.x64efi.all.0", strImage);
    stDir.Touch("ipxe/grub_chain_arm64.efi", strImage);
    stDir.Touch("pxelinux/other.efi", strImage);
    stDir.Touch("grub2/grub2.bios.all.0", "compressed, no field");
    std::filesystem::create_symlink("../grub2/grub2.x64efi.all.0", "ipxe/grub_chain_linux.efi");

    EXPECT_EQ(GRUB_WriteServerAddress("10.9.8.7"), 2);
    for (const char *pcPath : {"grub2/grub2.x64efi.all.0", "ipxe/grub_chain_arm64.efi"}) {
        EXPECT_NE(ReadFile(pcPath).find("\nset kiv_server=10.9.8.7 "), std::string::npos) << pcPath;
    }
    EXPECT_EQ(ReadFile("pxelinux/other.efi"), strImage);
    EXPECT_EQ(ReadFile("grub2/grub2.bios.all.0"), "compressed, no field");
    EXPECT_TRUE(std::filesystem::is_symlink("ipxe/grub_chain_linux.efi"));
}
