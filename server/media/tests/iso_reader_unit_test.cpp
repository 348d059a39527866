// The reader against images built byte by byte: descriptor sets, corrupted structures, name rules,
// Rock Ridge entries, counters and the boot catalog.
#include "iso_image.h"
#include "iso_rockridge.h"
#include "mini_iso.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

using namespace mini_iso;

namespace {

uint32_t OpenBytes(const Image &img, IsoImage *pstImage, bool bJoliet = false)
{
    TempDir dir;
    const std::string szPath = dir.Path("t.iso");
    if (!img.Write(szPath)) {
        return 0xFFFFFFFF;
    }
    return IsoOpen(szPath.c_str(), bJoliet, pstImage);
}

Bytes Le32Both(uint32_t x)
{
    Bytes v(8);
    PutBoth32(v.data(), x);
    return v;
}

Bytes Ce(uint32_t uiBlock, uint32_t uiOffset, uint32_t uiLen)
{
    return Entry("CE", Cat({Le32Both(uiBlock), Le32Both(uiOffset), Le32Both(uiLen)}));
}

Bytes Comp(uint8_t ucFlags, std::string_view sv)
{
    return Cat({Bytes{ucFlags, static_cast<uint8_t>(sv.size())}, Text(sv)});
}

Bytes Sl(uint8_t ucFlags, std::initializer_list<Bytes> lstComps)
{
    return Entry("SL", Cat({Bytes{ucFlags}, Cat(lstComps)}));
}

// A root with one child record after "." and "..", at byte 68 of the root extent.
void OneChild(Image &img, const Bytes &vRecord)
{
    img.Directory(kRootSector, kRootSector, {vRecord});
}

struct OpenCase {
    const char *pcName;
    std::function<void(Image &)> fnDamage;
    uint32_t uiExpected;
};

class OpenResult : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenResult, GivesCode)
{
    Image img;
    GetParam().fnDamage(img);
    IsoImage image;
    EXPECT_EQ(OpenBytes(img, &image), GetParam().uiExpected);
    // A failed open leaves nothing behind that a lookup could use.
    IsoEntry entry;
    EXPECT_EQ(IsoFind(&image, "", false, &entry), GetParam().uiExpected ? ISO_ERR_STATE : 0u);
}

const OpenCase kOpenCases[] = {
    {"Minimal", [](Image &) {}, 0},
    {"SupplementaryAndTerminator", [](Image &i) { i.AddDescriptor(2); }, 0},
    {"PartitionDescriptorKeptWithoutRole", [](Image &i) { i.AddDescriptor(3); }, 0},
    {"BlockSize512", [](Image &i) { i.Sector(16)[128] = 0x00, i.Sector(16)[129] = 0x02; },
     ISO_ERR_BLOCK_SIZE},
    {"DescriptorType4", [](Image &i) { i.AddDescriptor(4); }, ISO_ERR_FORMAT},
    {"DescriptorType254", [](Image &i) { i.AddDescriptor(254); }, ISO_ERR_FORMAT},
    {"TerminatorWithoutId", [](Image &i) { i.Sector(17)[1] = 'X'; }, ISO_ERR_FORMAT},
    {"NoPrimary", [](Image &i) { i.Sector(16)[0] = 3; }, ISO_ERR_FORMAT},
    {"Size34815", [](Image &i) { i.data.resize(34815); }, ISO_ERR_FORMAT},
    {"Size34816NoTerminator", [](Image &i) { i.data.resize(34816); }, ISO_ERR_READ},
    {"PathTablePastEnd", [](Image &i) { PutLe32(i.Sector(16) + 140, 0x00FFFFFF); }, ISO_ERR_READ},
    {"PathTableSizePastEnd", [](Image &i) { PutBoth32(i.Sector(16) + 132, 0x100000); },
     ISO_ERR_READ},
    {"PathTableSizeAbsurd", [](Image &i) { PutBoth32(i.Sector(16) + 132, 0x7FFFFFFF); },
     ISO_ERR_FORMAT},
    {"RootExtentPastEnd", [](Image &i) { PutBoth32(i.Sector(16) + 158, 0x00FFFFFF); },
     ISO_ERR_READ},
    {"RootLengthPastEnd", [](Image &i) { PutBoth32(i.Sector(kRootSector) + 10, 0x7FFFFFFF); },
     ISO_ERR_READ},
    {"TruncatedBeforeRoot", [](Image &i) { i.data.resize(kRootSector * kSector + 100); },
     ISO_ERR_READ},
    {"RecordPastDirectoryEnd",
     [](Image &i) {
         OneChild(i, Record("A.TXT;1", 0, 0, 0));
         PutBoth32(i.Sector(kRootSector) + 10, 80);
     },
     ISO_ERR_FORMAT},
    {"RecordShorterThanHead",
     [](Image &i) {
         OneChild(i, Record("A.TXT;1", 0, 0, 0));
         i.Sector(kRootSector)[68] = 20;
     },
     ISO_ERR_FORMAT},
    {"NamePastRecord",
     [](Image &i) {
         OneChild(i, Record("A.TXT;1", 0, 0, 0));
         i.Sector(kRootSector)[68 + 32] = 200;
     },
     ISO_ERR_FORMAT},
    {"DirectoryLoopToRoot", [](Image &i) { OneChild(i, Record("SUB", kRootSector, kSector, 2)); },
     ISO_ERR_FORMAT},
    {"DirectoryLoopToGrandparent",
     [](Image &i) {
         OneChild(i, Record("A", 26, kSector, 2));
         i.Directory(26, kRootSector, {Record("B", 27, kSector, 2)});
         i.Directory(27, 26, {Record("C", 26, kSector, 2)});
     },
     ISO_ERR_FORMAT},
    {"SubdirectoryPastEnd", [](Image &i) { OneChild(i, Record("SUB", 0x00FFFFFF, kSector, 2)); },
     ISO_ERR_READ},
    {"ContinuationOutsideImage",
     [](Image &i) {
         i.Directory(kRootSector, kRootSector, {Record("A", 0, 0, 0, Ce(0x00FFFFFF, 0, 100))},
                     SpEntry());
     },
     ISO_ERR_READ},
    {"ContinuationTooLong",
     [](Image &i) {
         i.Sector(40);
         i.Directory(kRootSector, kRootSector, {Record("A", 0, 0, 0, Ce(26, 0, 0x10000000))},
                     SpEntry());
     },
     ISO_ERR_READ},
    {"BootCatalogOutsideImage",
     [](Image &i) {
         i.AddDescriptor(0);
         PutLe32(i.Sector(17) + 71, 0x00FFFFFF);
     },
     ISO_ERR_READ},
    {"BootCatalogSectionsRunPastEnd",
     [](Image &i) {
         i.AddDescriptor(0);
         PutLe32(i.Sector(17) + 71, 26);
         uint8_t *cat = i.Sector(26);
         cat[64] = 0x90;
         cat[66] = 0xFF, cat[67] = 0xFF;
         for (uint32_t uiPos = 96; uiPos < kSector; uiPos += 32) {
             cat[uiPos + 1] = 0x10;  // extension entries do not count, so the section never ends
         }
     },
     ISO_ERR_READ},
};

INSTANTIATE_TEST_SUITE_P(Images, OpenResult, ::testing::ValuesIn(kOpenCases),
                         [](const auto &info) { return std::string(info.param.pcName); });

TEST(OpenResult, MissingFileAndDirectory)
{
    TempDir dir;
    IsoImage image;
    EXPECT_EQ(IsoOpen(dir.Path("absent.iso").c_str(), false, &image), ISO_ERR_OPEN);
    EXPECT_EQ(IsoOpen(dir.Path().c_str(), false, &image), ISO_ERR_OPEN);
    EXPECT_EQ(IsoOpen(nullptr, false, &image), ISO_ERR_BAD_ARGUMENT);
}

TEST(OpenResult, RootWithoutRecords)
{
    Image img;
    img.Directory(kRootSector, kRootSector, {}, SpEntry());
    PutBoth32(img.Sector(kRootSector) + 10, 0);
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    IsoDirInfo info;
    ASSERT_EQ(IsoDirStats(image.pstRoot, &info), 0u);
    EXPECT_EQ(info.uiRecursiveFiles + info.uiRecursiveDirs, 0u);
}

TEST(OpenResult, ReopenReleasesThePreviousTree)
{
    Image first;
    OneChild(first, Record("FIRST.TXT;1", 0, 0, 0));
    Image second;
    OneChild(second, Record("SECOND.TXT;1", 0, 0, 0));
    IsoImage image;
    ASSERT_EQ(OpenBytes(first, &image), 0u);
    ASSERT_EQ(OpenBytes(second, &image), 0u);
    IsoEntry entry;
    EXPECT_EQ(IsoFind(&image, "FIRST.TXT", false, &entry), ISO_ERR_NOT_FOUND);
    EXPECT_EQ(IsoFind(&image, "SECOND.TXT", false, &entry), 0u);
}

// Plain ISO 9660 names: trimmed, placeholders, and the version suffix only when it plainly is one.
struct NameCase {
    const char *pcRecord;
    const char *pcName;
};

TEST(Names, WithoutRockRidge)
{
    const NameCase kCases[] = {
        {"README.TXT;1", "README.TXT"},
        {"FILE.;1", "FILE"},
        {"BOOT.CAT;12", "BOOT.CAT"},
        {"lower.txt;1", "lower.txt;1"},  // a lowercase letter: not a plain version
        {"A.B.C;1", "A.B.C;1"},          // two dots
        {"NODOT;1", "NODOT;1"},          // no dot
        {"X.Y;1A", "X.Y;1A"},            // a letter after ';'
        {"X.Y;1;2", "X.Y;1;2"},          // two semicolons
        {";1.X", ";1.X"},                // ';' first
        {"TRAIL.TXT  ", "TRAIL.TXT"},    // trailing spaces go
        {"AB", "AB"},
    };
    std::vector<Bytes> vRecords;
    for (const NameCase &c : kCases) {
        vRecords.push_back(Record(c.pcRecord, 0, 0, 0));
    }
    vRecords.push_back(Record("   ", 0, 0, 0));
    vRecords.push_back(Record(std::string_view("\0\0", 2), 0, 0, 0));
    Image img;
    img.Directory(kRootSector, kRootSector, vRecords);
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    for (const NameCase &c : kCases) {
        IsoEntry entry;
        EXPECT_EQ(IsoFind(&image, c.pcName, false, &entry), 0u) << c.pcRecord;
        EXPECT_STREQ(entry.szName, c.pcName) << c.pcRecord;
    }
    IsoEntry entry;
    EXPECT_EQ(IsoFind(&image, "README.TXT;1", false, &entry), ISO_ERR_NOT_FOUND);
    EXPECT_EQ(IsoFind(&image, "*All Space*", false, &entry), 0u);
    EXPECT_EQ(IsoFind(&image, "*Empty*", false, &entry), 0u);
}

TEST(Names, RockRidgeNameReplacesAndKeepsVersion)
{
    Image img;
    img.Directory(
        kRootSector, kRootSector,
        {Record("README.TXT;1", 0, 0, 0, NmEntry("readme.txt")), Record("OTHER.TXT;1", 0, 0, 0)},
        SpEntry());
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    IsoEntry entry;
    EXPECT_EQ(IsoFind(&image, "readme.txt", false, &entry), 0u);
    EXPECT_STREQ(entry.szName, "readme.txt");
    EXPECT_TRUE(static_cast<const IsoNode *>(entry.pstNode)->pstRockRidge->bAltName);
    EXPECT_EQ(IsoFind(&image, "README.TXT;1", false, &entry), ISO_ERR_NOT_FOUND);
    // Rock Ridge images keep ISO names as recorded: no version rule.
    EXPECT_EQ(IsoFind(&image, "OTHER.TXT;1", false, &entry), 0u);
    EXPECT_EQ(IsoFind(&image, "OTHER.TXT", false, &entry), ISO_ERR_NOT_FOUND);
}

const IsoRockRidge &RockRidgeOf(const IsoImage &image, const char *pcPath)
{
    IsoEntry entry;
    EXPECT_EQ(IsoFind(&image, pcPath, false, &entry), 0u) << pcPath;
    static const IsoRockRidge kNone;
    return entry.pstNode && entry.pstNode->pstRockRidge ? *entry.pstNode->pstRockRidge : kNone;
}

TEST(RockRidge, AttributesDevicesAndStamps)
{
    const Bytes vPx = Entry(
        "PX", Cat({Le32Both(0100644), Le32Both(3), Le32Both(1000), Le32Both(100), Le32Both(77)}));
    const Bytes vPn = Entry("PN", Cat({Le32Both(8), Le32Both(17)}));
    // Short stamps: modify then access; years since 1900 and quarter hours east of GMT.
    const Bytes vTfShort = Entry(
        "TF", {0x06, 124, 2, 29, 23, 59, 58, 8, 99, 12, 31, 0, 0, 1, static_cast<uint8_t>(-20)});
    const Bytes vTfLong = Entry("TF", Cat({Bytes{0x80 | 0x01 | 0x02}, Text("2023010203040550"),
                                           Bytes{4}, Text("0000000000000000"), Bytes{0}}));
    Image img;
    img.Directory(kRootSector, kRootSector,
                  {Record("F", 0, 0, 0, Cat({vPx, vTfShort})), Record("D", 0, 0, 0, vPn),
                   Record("L", 0, 0, 0, vTfLong)},
                  SpEntry());
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    EXPECT_NE(image.ucRockRidge, 0);

    const IsoRockRidge &f = RockRidgeOf(image, "F");
    EXPECT_EQ(f.uiPosixFileMode, 0100644u);
    EXPECT_EQ(f.uiPosixFileLink, 3u);
    EXPECT_EQ(f.uiPosixFileUserId, 1000u);
    EXPECT_EQ(f.uiPosixFileGroupId, 100u);
    EXPECT_EQ(f.uiPosixFileSNO, 77u);
    const IsoStamp &mod = f.astStamp[ISO_STAMP_MODIFY];
    EXPECT_EQ(mod.usYear, 2024);
    EXPECT_EQ(mod.ucMonth, 2);
    EXPECT_EQ(mod.ucDay, 29);
    EXPECT_EQ(mod.ucSecond, 58);
    EXPECT_EQ(mod.cGmtOffsetHours, 2);
    EXPECT_EQ(f.astStamp[ISO_STAMP_ACCESS].usYear, 1999);
    EXPECT_EQ(f.astStamp[ISO_STAMP_ACCESS].cGmtOffsetHours, -5);
    EXPECT_EQ(f.astStamp[ISO_STAMP_CREATE].usYear, 0);

    const IsoRockRidge &d = RockRidgeOf(image, "D");
    EXPECT_EQ(d.uiDevNumHigh, 8u);
    EXPECT_EQ(d.uiDevNumLow, 17u);

    const IsoRockRidge &l = RockRidgeOf(image, "L");
    EXPECT_EQ(l.astStamp[ISO_STAMP_CREATE].usYear, 2023);
    EXPECT_EQ(l.astStamp[ISO_STAMP_CREATE].ucHour, 3);
    EXPECT_EQ(l.astStamp[ISO_STAMP_CREATE].usMilliSec, 500);
    EXPECT_EQ(l.astStamp[ISO_STAMP_CREATE].cGmtOffsetHours, 1);
    EXPECT_EQ(l.astStamp[ISO_STAMP_MODIFY].usYear, 0);  // "0000..." is no date
}

TEST(RockRidge, RootCarriesItsOwnAttributes)
{
    const Bytes vPx = Entry("PX", Cat({Le32Both(040755), Le32Both(2), Le32Both(0), Le32Both(0)}));
    Image img;
    img.Directory(kRootSector, kRootSector, {}, Cat({SpEntry(), vPx, Entry("NM", {0x02})}));
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    ASSERT_NE(image.pstRoot->pstRockRidge, nullptr);
    EXPECT_EQ(image.pstRoot->pstRockRidge->uiPosixFileMode, 040755u);
    EXPECT_EQ(image.pstRoot->szName, "");
}

TEST(RockRidge, LongDates)
{
    struct DateCase {
        const char *pcText;
        uint32_t uiExpected;
        uint16_t usYear;
    };
    const DateCase kCases[] = {
        {"1999123123595999", 0, 1999},
        {"0000000000000000", ISO_ERR_NO_DATE, 7},
        {"                ", ISO_ERR_NO_DATE, 7},
        {"", ISO_ERR_NO_DATE, 7},
        {"20x3010203040550", ISO_ERR_NO_DATE, 7},
    };
    for (const DateCase &c : kCases) {
        unsigned char auc[17] = {};
        memcpy(auc, c.pcText, strlen(c.pcText));
        auc[16] = static_cast<unsigned char>(-32);
        IsoStamp stamp;
        stamp.usYear = 7;
        EXPECT_EQ(IsoParseDate17(auc, &stamp), c.uiExpected) << c.pcText;
        EXPECT_EQ(stamp.usYear, c.usYear) << c.pcText;
        if (c.uiExpected == 0) {
            EXPECT_EQ(stamp.usMilliSec, 990);
            EXPECT_EQ(stamp.cGmtOffsetHours, -8);
        }
    }
}

TEST(RockRidge, LinkTexts)
{
    struct LinkCase {
        const char *pcName;
        Bytes vSu;
        std::string szTarget;
    };
    const std::string sz200(200, 'x');
    Bytes vHuge;
    std::string szHuge;
    for (int i = 0; i < 7; ++i) {
        vHuge = Cat({vHuge, Sl(i < 6 ? 1 : 0, {Comp(0, sz200)})});
        szHuge += (i ? "/" : "") + sz200;
    }
    const LinkCase kCases[] = {
        {"ABS", Sl(0, {Comp(0x08, ""), Comp(0, "usr"), Comp(0, "bin")}), "/usr/bin"},
        {"UP", Sl(0, {Comp(0x04, ""), Comp(0, "a")}), "../a"},
        {"HERE", Sl(0, {Comp(0x02, ""), Comp(0, "x")}), "./x"},
        {"SPLIT", Cat({Sl(1, {Comp(0, "dir")}), Sl(0, {Comp(0, "file")})}), "dir/file"},
        {"JOINED", Sl(0, {Comp(0x01, "ab"), Comp(0, "cd")}), "abcd"},
        {"CUT", Entry("SL", {0, 0, 200, 'a', 'b'}), ""},
        {"HUGE", vHuge, szHuge.substr(0, ISO_RR_LINK_MAX)},
    };
    std::vector<Bytes> vRecords;
    for (const LinkCase &c : kCases) {
        vRecords.push_back(Record(c.pcName, 0, 0, 0, c.vSu));
    }
    Image img;
    // Records longer than a sector cannot exist; the long link goes through a continuation area.
    vRecords.back() = Record("HUGE", 0, 0, 0, Ce(26, 0, static_cast<uint32_t>(vHuge.size())));
    std::copy(vHuge.begin(), vHuge.end(), img.Sector(26));
    img.Directory(kRootSector, kRootSector, vRecords, SpEntry());
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    for (const LinkCase &c : kCases) {
        IsoEntry entry;
        ASSERT_EQ(IsoFind(&image, c.pcName, false, &entry), 0u) << c.pcName;
        EXPECT_EQ(entry.ucKind, ISO_KIND_LINK) << c.pcName;
        EXPECT_EQ(entry.pstNode->pstRockRidge->szLinkTarget, c.szTarget) << c.pcName;
        EXPECT_EQ(std::string(entry.szLinkTarget), c.szTarget.substr(0, 255)) << c.pcName;
    }
}

TEST(RockRidge, NamesContinuationAndSkip)
{
    const Bytes vContinued =
        Cat({NmEntry("continued"),
             Entry("PX", Cat({Le32Both(0120777), Le32Both(1), Le32Both(0), Le32Both(0)})),
             Sl(0, {Comp(0, "target")})});
    Image img;
    std::copy(vContinued.begin(), vContinued.end(), img.Sector(26) + 100);
    Bytes vFiveNames;
    for (char c : std::string("abcde")) {
        vFiveNames = Cat({vFiveNames, NmEntry(std::string(100, c))});
    }
    // Skip length 3: every system-use area starts with three bytes that are not entries.
    const Bytes vSkip{0xEE, 0xEE, 0xEE};
    std::copy(vFiveNames.begin(), vFiveNames.end(), img.Sector(27));
    img.Directory(
        kRootSector, kRootSector,
        {Record("CE", 0, 0, 0, Cat({vSkip, Ce(26, 100, static_cast<uint32_t>(vContinued.size()))})),
         Record("LONG", 0, 0, 0, Cat({vSkip, Ce(27, 0, static_cast<uint32_t>(vFiveNames.size()))})),
         Record("Z", 0, 0, 0, Cat({vSkip, Entry("ZZ", {1, 2}), NmEntry("after-unknown")}))},
        SpEntry(3));
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    EXPECT_EQ(image.ucSuspSkip, 3);
    IsoEntry entry;
    ASSERT_EQ(IsoFind(&image, "continued", false, &entry), 0u);
    EXPECT_EQ(entry.ucKind, ISO_KIND_LINK);
    EXPECT_STREQ(entry.szLinkTarget, "target");
    EXPECT_EQ(entry.pstNode->pstRockRidge->uiPosixFileMode, 0120777u);
    const std::string szLong = std::string(100, 'a') + std::string(100, 'b') + std::string(99, 'c');
    ASSERT_EQ(IsoFind(&image, std::string(255, 'a').c_str(), false, &entry), ISO_ERR_NOT_FOUND);
    EXPECT_EQ(image.pstRoot->pstFirstFile->pstNext->szName, szLong);
    EXPECT_EQ(IsoFind(&image, "after-unknown", false, &entry), 0u);
}

TEST(Counters, DirectAndRecursive)
{
    Image img;
    img.Directory(kRootSector, kRootSector,
                  {Record("EMPTY", 30, 0, 0), Record("ONE", 30, 1, 0), Record("FULL", 30, 2048, 0),
                   Record("MORE", 30, 2049, 0), Record("LINK", 0, 0, 0, Sl(0, {Comp(0, "ONE")})),
                   Record("SUB", 26, kSector, 2)},
                  SpEntry());
    img.Directory(26, kRootSector, {Record("BIG", 30, 5000, 0), Record("SUBSUB", 27, kSector, 2)});
    img.Directory(27, 26, {Record("LINK2", 0, 0, 0, Sl(0, {Comp(0, "x")}))});
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    IsoDirInfo info;
    ASSERT_EQ(IsoDirStats(image.pstRoot, &info), 0u);
    EXPECT_EQ(info.uiDirs, 1u);
    EXPECT_EQ(info.uiFiles, 4u);
    EXPECT_EQ(info.uiLinks, 1u);
    EXPECT_EQ(info.uiFileSectors, 4u);  // 0 + 1 + 1 + 2
    EXPECT_EQ(info.ullFileBytes, 4098u);
    EXPECT_EQ(info.uiRecursiveDirs, 2u);
    EXPECT_EQ(info.uiRecursiveFiles, 5u);
    EXPECT_EQ(info.uiRecursiveLinks, 2u);
    EXPECT_EQ(info.uiRecursiveSectors, 7u);
    EXPECT_EQ(info.ullRecursiveBytes, 9098u);

    std::vector<const IsoNode *> vNodes;
    uint32_t uiCount = 0;
    ASSERT_EQ(IsoListDir(image.pstRoot, &vNodes, &uiCount), 0u);
    EXPECT_EQ(uiCount, 6u);
    std::vector<std::string> vNames;
    for (const IsoNode *p : vNodes) {
        vNames.push_back(p->szName);
    }
    EXPECT_EQ(vNames, (std::vector<std::string>{"SUB", "EMPTY", "ONE", "FULL", "MORE", "LINK"}));
    EXPECT_EQ(IsoListDir(vNodes[1], &vNodes, &uiCount), ISO_ERR_STATE);
    EXPECT_EQ(IsoDirStats(vNodes[1], &info), ISO_ERR_STATE);
}

TEST(BootCatalog, CountsBootableEntriesOfEverySection)
{
    Image img;
    img.AddDescriptor(0);
    PutLe32(img.Sector(17) + 71, 26);
    uint8_t *cat = img.Sector(26);
    cat[0] = 1;      // validation entry
    cat[32] = 0x88;  // initial entry, bootable
    cat[64] = 0x90;  // header, one entry, more headers follow
    cat[66] = 1;
    cat[96] = 0x00;   // not bootable
    cat[128] = 0x91;  // final header, two entries
    cat[130] = 2;
    cat[160] = 0x88;
    cat[161] = 0x10;  // followed by an extension, which does not count as an entry
    cat[192] = 0x44;
    cat[224] = 0x88;
    cat[256] = 0x88;  // past the final section: not part of the catalog
    IsoImage image;
    ASSERT_EQ(OpenBytes(img, &image), 0u);
    EXPECT_EQ(image.vBootCatalog.size(), 256u);
    EXPECT_EQ(IsoBootEntryCount(&image), 3u);

    Image plain;
    IsoImage none;
    ASSERT_EQ(OpenBytes(plain, &none), 0u);
    EXPECT_EQ(IsoBootEntryCount(&none), 0u);
}

TEST(HostFiles, ReadWhole)
{
    TempDir dir;
    Image img;
    ASSERT_TRUE(img.Write(dir.Path("f")));
    std::vector<unsigned char> v{1, 2, 3};
    EXPECT_EQ(IsoReadWholeFile(dir.Path("f").c_str(), &v), static_cast<long long>(img.data.size()));
    EXPECT_EQ(v, img.data);
    EXPECT_EQ(IsoReadWholeFile(dir.Path("absent").c_str(), &v), -1);
    EXPECT_EQ(IsoReadWholeFile(dir.Path().c_str(), &v), -1);
    img.data.clear();
    ASSERT_TRUE(img.Write(dir.Path("empty")));
    EXPECT_EQ(IsoReadWholeFile(dir.Path("empty").c_str(), &v), 0);
    EXPECT_TRUE(v.empty());
}

TEST(Detect, UdfAfterIsoDescriptorSet)
{
    TempDir dir;
    struct DetectCase {
        const char *pcName;
        const char *pcSecond;
        const char *pcThird;
        bool bIso;
        bool bUdf;
    };
    const DetectCase kCases[] = {
        {"nsr02.iso", "BEA01", "NSR02", true, true},
        {"nsr03.iso", "BEA01", "NSR03", true, true},
        {"nobea.iso", "TEA01", "NSR02", true, false},
        {"nonsr.iso", "BEA01", "TEA01", true, false},
    };
    for (const DetectCase &c : kCases) {
        Image img;
        std::copy_n(c.pcSecond, 5, img.Sector(18) + 1);
        std::copy_n(c.pcThird, 5, img.Sector(19) + 1);
        ASSERT_TRUE(img.Write(dir.Path(c.pcName)));
        EXPECT_EQ(IsIso9660File(dir.Path(c.pcName).c_str()), c.bIso) << c.pcName;
        EXPECT_EQ(IsUdfFile(dir.Path(c.pcName).c_str()), c.bUdf) << c.pcName;
        IsoImage image;
        EXPECT_EQ(IsoOpen(dir.Path(c.pcName).c_str(), false, &image), 0u) << c.pcName;
    }
    for (size_t uiSize : {34815u, 34816u}) {
        Image img;
        img.data.resize(uiSize);
        ASSERT_TRUE(img.Write(dir.Path("small.iso")));
        EXPECT_EQ(IsIso9660File(dir.Path("small.iso").c_str()), uiSize == 34816u) << uiSize;
        EXPECT_FALSE(IsUdfFile(dir.Path("small.iso").c_str())) << uiSize;
    }
}

}  // namespace
