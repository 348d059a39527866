// ESXi image database edits at service start, on an imgdb.tgz built here with tar and gzip and
// unpacked with 7z: a new VIB, a VIB replacing one with the same payload, and a removal. The result
// must read back with tar and keep the header checksum rule.
#include <gtest/gtest.h>

#include <cstring>

#include "esxi_service.h"
#include "plugin_profile.h"
#include "test_host.h"

using test_host::ReadText;
using test_host::WriteText;
namespace fs = std::filesystem;

namespace {

const char *const PROFILE_XML = "<imageprofile><name>ESXi-7.0-standard</name><viblist>"
                                "<vib><vib-id>VMW_bootbank_net-old_1.0</vib-id><payloads><payload "
                                "payload-name=\"net-old\">net_old.v00</payload></payloads></vib>"
                                "<vib><vib-id>VMW_bootbank_other_1.0</vib-id><payloads><payload "
                                "payload-name=\"other\">other.v00</payload></payloads></vib>"
                                "</viblist></imageprofile>";

std::string Descriptor(const std::string &strName)
{
    return "<vib version=\"5.0\"><type>bootbank</type><name>" + strName +
           "</name><version>2.0-1</version>"
           "<vendor>KIV</vendor><payloads><payload name=\"" +
           strName + "\" type=\"vgz\" size=\"1\"/></payloads></vib>";
}

// Every header keeps the rule: "0", the octal sum of its bytes as signed bytes with the field
// counted as spaces, a NUL, and spaces to the end of the field.
void ExpectChecksums(const std::string &strTar)
{
    int iHeaders = 0;
    for (size_t off = 0; off + 512 <= strTar.size() && strTar[off + 257] == 'u'; ++iHeaders) {
        std::string strHeader = strTar.substr(off, 512);
        std::string strField = strHeader.substr(148, 8);
        std::memset(strHeader.data() + 148, ' ', 8);
        int iSum = 0;
        for (char c : strHeader) iSum += static_cast<signed char>(c);
        char acExpected[8];
        std::memset(acExpected, ' ', 8);
        snprintf(acExpected, 8, "0%o", unsigned(iSum));
        EXPECT_EQ(strField, std::string(acExpected, 8)) << strHeader.c_str();
        size_t uSize = std::strtoull(strTar.substr(off + 124, 12).c_str(), nullptr, 8);
        off += 512 + (uSize + 511) / 512 * 512;
    }
    EXPECT_GT(iHeaders, 3);
}

TEST(EsxiImageDb, ServiceStartAddsReplacesAndRemovesVibs)
{
    test_host::WorkDir work;
    test_host::Install();
    // The image: boot.cfg and a gzip'd GNU tar database, as an ESXi source directory holds them.
    std::string strSrc = work.Path("src");
    WriteText(
        strSrc + "/boot.cfg",
        "kernel=/b.b00\r\nmodules=/jumpstrt.gz --- /net_old.v00 --- /other.v00 --- /imgdb.tgz\r\n");
    std::string strDb = work.Path("db");
    WriteText(strDb + "/var/db/esximg/profiles/ESXi-7.0-standard", PROFILE_XML);
    WriteText(strDb + "/var/db/esximg/vibs/net-old-123456.xml", Descriptor("net-old"));
    WriteText(strDb + "/var/db/esximg/vibs/other-1.xml", Descriptor("other"));
    WriteText(strDb + "/var/db/esximg/vibs/other-1.sig", "sig");
    ASSERT_EQ(
        test_host::Run({"tar", "--format=gnu", "-C", strDb, "-cf", strSrc + "/imgdb.tar", "var"}),
        0);
    ASSERT_EQ(test_host::Run({"gzip", "-n", strSrc + "/imgdb.tar"}), 0);
    fs::rename(strSrc + "/imgdb.tar.gz", strSrc + "/imgdb.tgz");
    // The drivers the operator put beside the database.
    WriteText(work.Path("virtualiso/extfile/net-new/descriptor.xml"), Descriptor("net-new"));
    WriteText(work.Path("virtualiso/extfile/net-old/descriptor.xml"), Descriptor("net-old"));

    OsList().clear();
    OsRecord os;
    os.strOSName = "VMware ESXi 7.0";
    os.vecVmwareRules = {{"virtualiso/extfile/net-new", "net_new.v00", "add", "net-new"},
                         {"virtualiso/extfile/net-old", "net_old2.v00", "add", "net-old"},
                         {"", "", "del", "other"}};
    OsList().push_back(os);
    ActiveOs() = &OsList()[0];
    ServiceStartRequest req;
    req.source_dir = strSrc;
    PatchEsxiImageDb(&req);

    std::string strArchive = work.Path("virtualiso/extfile/imgdb.tgz");
    std::string strList;
    ASSERT_EQ(test_host::Run({"tar", "tvf", strArchive}, &strList), 0) << strList;
    EXPECT_NE(strList.find("var/db/esximg/vibs/net-new-9999999900.xml"), std::string::npos)
        << strList;
    EXPECT_NE(strList.find("var/db/esximg/vibs/net-old-9999999900.xml"), std::string::npos)
        << strList;
    EXPECT_EQ(strList.find("net-old-123456.xml"), std::string::npos) << strList;
    EXPECT_EQ(strList.find("other-1."), std::string::npos) << strList;
    ExpectChecksums(ReadText(strArchive));

    std::string strOut;
    ASSERT_EQ(test_host::Run({"tar", "xOf", strArchive, "var/db/esximg/profiles/ESXi-7.0-standard"},
                             &strOut),
              0);
    EXPECT_EQ(strOut.rfind("<imageprofile><name>KIV-Deploy-System</name>", 0), 0u);
    EXPECT_NE(strOut.find("<vib-id>KIV_bootbank_net-new_2.0-1</vib-id><payloads><payload "
                          "payload-name=\"net-new\">net_new.v00</payload>"),
              std::string::npos)
        << strOut;
    EXPECT_NE(strOut.find("payload-name=\"net-old\">net_old2.v00<"), std::string::npos);
    EXPECT_EQ(strOut.find("net_old.v00"), std::string::npos);
    EXPECT_EQ(strOut.find("\"other\""), std::string::npos);
    EXPECT_NE(strOut.find("</viblist><acceptancelevel>community</acceptancelevel></imageprofile>"),
              std::string::npos);
    ASSERT_EQ(test_host::Run(
                  {"tar", "xOf", strArchive, "var/db/esximg/vibs/net-old-9999999900.xml"}, &strOut),
              0);
    EXPECT_EQ(strOut, Descriptor("net-old"));

    EXPECT_EQ(EsxiLists().strFile, "jumpstrt.gz --- imgdb.tgz --- net_new.v00 --- net_old2.v00");
    EXPECT_EQ(EsxiLists().strPath, "/jumpstrt.gz --- /imgdb.tgz --- net_new.v00 --- net_old2.v00");
    const auto &vecRedirect = ActiveOs()->vecRedirect;
    ASSERT_EQ(vecRedirect.size(), 3u);
    EXPECT_EQ(vecRedirect[0],
              std::make_pair(std::string("net_new.v00"), std::string("net-new/net_new.v00")));
    EXPECT_EQ(vecRedirect[1],
              std::make_pair(std::string("net_old2.v00"), std::string("net-old/net_old2.v00")));
    EXPECT_EQ(vecRedirect[2], std::make_pair(std::string("imgdb.tgz"), std::string("imgdb.tgz")));

    EsxiServiceStop();
    EXPECT_FALSE(fs::exists(strArchive));
    ActiveOs() = nullptr;
}

TEST(EsxiImageDb, ModuleNamesSharingAPrefixAreRemovedOneByOne)
{
    // Two modules whose first 17 characters agree: removing the second must keep the first.
    test_host::WorkDir work;
    test_host::Install();
    std::string strDb = work.Path("db");
    WriteText(strDb + "/var/db/esximg/profiles/p",
              "<viblist><vib><payloads><payload "
              "payload-name=\"b\">net_ixgbe_driver_b.v00</payload></payloads></vib></viblist>");
    WriteText(strDb + "/var/db/esximg/vibs/b-1.xml", Descriptor("b"));
    std::string strArchive = work.Path("imgdb.tar");
    ASSERT_EQ(test_host::Run({"tar", "--format=gnu", "-C", strDb, "-cf", strArchive, "var"}), 0);
    EsxiModuleLists lists;
    lists.strFile = "jumpstrt.gz --- net_ixgbe_driver_a.v00 --- net_ixgbe_driver_b.v00";
    lists.strPath = "/jumpstrt.gz --- /net_ixgbe_driver_a.v00 --- /net_ixgbe_driver_b.v00";
    RemoveVibFromImageDb(strArchive, "b", &lists);
    EXPECT_EQ(lists.strFile, "jumpstrt.gz --- net_ixgbe_driver_a.v00");
    EXPECT_EQ(lists.strPath, "/jumpstrt.gz --- /net_ixgbe_driver_a.v00");
    std::string strList;
    ASSERT_EQ(test_host::Run({"tar", "tf", strArchive}, &strList), 0);
    EXPECT_EQ(strList.find("b-1.xml"), std::string::npos);
    // The element was blanked in place: the profile keeps its size.
    EXPECT_EQ(ReadText(strArchive).find("payload-name=\"b\""), std::string::npos);
}

TEST(EsxiImageDb, NewHeaderFollowsTheUstarLayout)
{
    std::string strHeader = MakeTarHeader("var/db/esximg/vibs/x-9999999900.xml", 1234);
    ASSERT_EQ(strHeader.size(), 512u);
    EXPECT_EQ(strHeader.substr(100, 8), std::string("0000744\0", 8));
    EXPECT_EQ(strHeader.substr(124, 12), std::string("00000002322\0", 12));
    EXPECT_EQ(strHeader.substr(136, 11), "13215125046");
    EXPECT_EQ(strHeader[156], '0');
    EXPECT_EQ(strHeader.substr(257, 8), std::string("ustar  \0", 8));
    EXPECT_EQ(strHeader.substr(265, 5), std::string("root\0", 5));
    // A five-digit sum: "0", five digits, NUL, and the last space of the blanked field.
    EXPECT_EQ(strHeader[148], '0');
    EXPECT_EQ(strHeader[154], '\0');
    EXPECT_EQ(strHeader[155], ' ');
}

}  // namespace
