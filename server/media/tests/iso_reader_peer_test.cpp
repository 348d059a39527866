// The reader against images made by Debian's xorriso and genisoimage, cross-checked with isoinfo.
#include "iso_image.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kDeepLevels = 40;
constexpr size_t kWideFiles = 300;
constexpr size_t kBigSize = 3 * 1048576 + 123;
const std::string kLongName(200, 'n');
// 2001-02-03 04:05:06 UTC, given to grub.cfg before the image is made.
constexpr time_t kGrubMtime = 981173106;

std::string Run(const std::string &szCmd, int *piStatus = nullptr)
{
    std::string szOut;
    FILE *f = popen((szCmd + " 2>/dev/null").c_str(), "r");
    if (!f) {
        return szOut;
    }
    char acBuf[65536];
    size_t n;
    while ((n = fread(acBuf, 1, sizeof(acBuf), f)) > 0) {
        szOut.append(acBuf, n);
    }
    const int iStatus = pclose(f);
    if (piStatus) {
        *piStatus = iStatus;
    }
    return szOut;
}

bool HaveTool(const char *pcTool)
{
    int iStatus = -1;
    Run(std::string("command -v ") + pcTool + " >/dev/null", &iStatus);
    return iStatus == 0;
}

void WriteFile(const fs::path &path, const std::string &szData)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << szData;
}

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string BigData()
{
    std::string sz(kBigSize, '\0');
    for (size_t i = 0; i < sz.size(); ++i) {
        sz[i] = static_cast<char>(i * 7 + i / 251);
    }
    return sz;
}

std::string DeepDir(int iLevels)
{
    std::string sz;
    for (int i = 1; i <= iLevels; ++i) {
        sz += (i < 10 ? "d0" : "d") + std::to_string(i) + "/";
    }
    return sz;
}

// The source tree every image is made from, and the images.
class Images {
public:
    Images()
    {
        const fs::path src = dir.Path("src");
        WriteFile(src / "boot/grub/grub.cfg", "menuentry x {}\n");
        WriteFile(src / "boot/bios.img", std::string(2048, 'B'));
        WriteFile(src / "boot/efi.img", std::string(4096, 'E'));
        WriteFile(src / "README.TXT", "read me\n");
        WriteFile(src / "MixedCase.Txt", "mixed\n");
        WriteFile(src / "empty", "");
        WriteFile(src / "big.bin", BigData());
        WriteFile(src / kLongName, "long\n");
        for (size_t i = 0; i < kWideFiles; ++i) {
            WriteFile(src / "wide" / ("f" + std::to_string(i)), std::to_string(i));
        }
        for (int i = 1; i <= kDeepLevels; ++i) {
            WriteFile(src / DeepDir(i) / "leaf.txt", "level " + std::to_string(i));
        }
        const std::pair<const char *, const char *> kLinks[] = {
            {"boot/grub/grub.cfg", "lnk_file"},
            {"boot", "lnk_dir"},
            {"../boot", "dir/up"},
            {"/etc/passwd", "abs"},
            {"missing", "dangling"},
            {"lnk_file", "chain"},
            {"loopb", "loopa"},
            {"loopa", "loopb"},
            {".", "dot"},
            {"lnk_dir/grub/grub.cfg", "via_link"},
        };
        for (const auto &[pcTarget, pcLink] : kLinks) {
            fs::create_directories((src / pcLink).parent_path());
            fs::create_symlink(pcTarget, src / pcLink);
        }
        const timespec atsTimes[2] = {{kGrubMtime, 0}, {kGrubMtime, 0}};
        utimensat(AT_FDCWD, (src / "boot/grub/grub.cfg").c_str(), atsTimes, 0);

        const fs::path plain = dir.Path("plain");
        WriteFile(plain / "README.TXT", "read me\n");
        WriteFile(plain / "empty", "");
        WriteFile(plain / "boot/grub/grub.cfg", "menuentry x {}\n");

        const std::string szMk = "xorriso -as mkisofs -quiet -R -J -D ";
        const std::string szSrc = " " + src.string();
        bOk = Make(szMk +
                   "-b boot/bios.img -no-emul-boot -eltorito-alt-boot -e boot/efi.img "
                   "-no-emul-boot -o " +
                   rr + szSrc) &&
              Make(szMk + "-b boot/bios.img -no-emul-boot -o " + one + szSrc) &&
              Make(szMk + "-o " + noboot + szSrc) &&
              Make("genisoimage -quiet -o " + this->plain + " " + plain.string()) &&
              Make("genisoimage -quiet -udf -R -o " + udf + " " + plain.string());
    }

    bool Make(const std::string &szCmd)
    {
        int iStatus = -1;
        Run(szCmd, &iStatus);
        return iStatus == 0;
    }

    TempDir dir;
    std::string rr = dir.Path("rr.iso");
    std::string one = dir.Path("one.iso");
    std::string noboot = dir.Path("noboot.iso");
    std::string plain = dir.Path("plain.iso");
    std::string udf = dir.Path("udf.iso");
    bool bOk = false;
};

class IsoPeer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (HaveTool("xorriso") && HaveTool("genisoimage") && HaveTool("isoinfo")) {
            s_pImages = new Images();
        }
    }
    static void TearDownTestSuite()
    {
        delete s_pImages;
        s_pImages = nullptr;
    }
    void SetUp() override
    {
        if (!s_pImages) {
            GTEST_SKIP()
                << "xorriso, genisoimage and isoinfo (packages xorriso, genisoimage) are needed";
        }
        ASSERT_TRUE(s_pImages->bOk) << "making the test images failed";
        ASSERT_EQ(IsoOpen(s_pImages->rr.c_str(), true, &m_image), 0u);
    }
    const Images &Img() const { return *s_pImages; }
    std::string Src(const std::string &szRel) const { return s_pImages->dir.Path("src/" + szRel); }

    static Images *s_pImages;
    IsoImage m_image;
};

Images *IsoPeer::s_pImages = nullptr;

// path -> "kind size extent [-> target]", as one line per node.
using Listing = std::map<std::string, std::string>;

std::string Describe(char cKind, unsigned long long ullSize, unsigned long long ullExtent,
                     const std::string &szTarget)
{
    std::ostringstream os;
    os << cKind << ' ' << ullSize << ' ' << ullExtent;
    if (cKind == 'l') {
        os << " -> " << szTarget;
    }
    return os.str();
}

Listing ReaderListing(const IsoImage &image)
{
    Listing listing;
    std::vector<std::pair<const IsoNode *, std::string>> vStack{{image.pstRoot, "/"}};
    while (!vStack.empty()) {
        auto [pstDir, szPath] = vStack.back();
        vStack.pop_back();
        std::vector<const IsoNode *> vNodes;
        uint32_t uiCount = 0;
        EXPECT_EQ(IsoListDir(pstDir, &vNodes, &uiCount), 0u);
        EXPECT_EQ(uiCount, vNodes.size()) << szPath;
        for (const IsoNode *p : vNodes) {
            IsoEntry entry;
            IsoEntryOfNode(p, &entry);
            const char cKind = entry.ucKind == ISO_KIND_DIR    ? 'd'
                               : entry.ucKind == ISO_KIND_LINK ? 'l'
                                                               : '-';
            const std::string szTarget = p->IsLink() ? p->pstRockRidge->szLinkTarget : "";
            listing[szPath + p->szName] = Describe(
                cKind, entry.ullDataLen, entry.ullExtentOffset / ISO_SECTOR_SIZE, szTarget);
            if (p->IsDir()) {
                vStack.emplace_back(p, szPath + p->szName + "/");
            }
        }
    }
    return listing;
}

// The same from "isoinfo -l", whose name column starts after the "[ extent flags]" column.
Listing IsoinfoListing(const std::string &szImage, bool bRockRidge)
{
    Listing listing;
    std::istringstream in(
        Run("isoinfo -l " + std::string(bRockRidge ? "-R " : "") + "-i " + szImage));
    const std::regex reDir("^Directory listing of (.*)$");
    const std::regex reEntry(
        R"(^([-dl])\S*\s+\d+\s+\d+\s+\d+\s+(\d+) .*?\[\s*(\d+) \d+\]  (.*?) ?$)");
    std::string szDir;
    for (std::string szLine; std::getline(in, szLine);) {
        std::smatch m;
        if (std::regex_match(szLine, m, reDir)) {
            szDir = m[1];
        } else if (std::regex_match(szLine, m, reEntry)) {
            std::string szName = m[4];
            std::string szTarget;
            if (m[1] == "l") {
                const size_t uiArrow = szName.find(" -> ");
                szTarget = szName.substr(uiArrow + 4);
                szName.resize(uiArrow);
            }
            if (szName == "." || szName == "..") {
                continue;
            }
            if (!bRockRidge) {
                // What a plain ISO name is called once its version suffix is dropped.
                szName = std::regex_replace(szName, std::regex(R"(\.?;\d+$)"), "");
            }
            listing[szDir + szName] =
                Describe(m[1].str()[0], std::stoull(m[2]), std::stoull(m[3]), szTarget);
        }
    }
    return listing;
}

TEST_F(IsoPeer, TreeMatchesIsoinfo)
{
    const Listing ours = ReaderListing(m_image);
    const Listing theirs = IsoinfoListing(Img().rr, true);
    EXPECT_GT(theirs.size(), kWideFiles + kDeepLevels * 2);
    EXPECT_EQ(ours, theirs);

    IsoImage plain;
    ASSERT_EQ(IsoOpen(Img().plain.c_str(), false, &plain), 0u);
    EXPECT_EQ(plain.ucRockRidge, 0);
    const Listing plainTheirs = IsoinfoListing(Img().plain, false);
    EXPECT_TRUE(plainTheirs.count("/README.TXT") && plainTheirs.count("/EMPTY"));
    EXPECT_EQ(ReaderListing(plain), plainTheirs);
}

TEST_F(IsoPeer, TotalsOfTheRoot)
{
    IsoDirInfo info;
    ASSERT_EQ(IsoDirStats(m_image.pstRoot, &info), 0u);
    // boot, boot/grub, wide, dir, d01..d40
    EXPECT_EQ(info.uiRecursiveDirs, 4u + kDeepLevels);
    // grub.cfg, bios.img, efi.img, README.TXT, MixedCase.Txt, empty, big.bin, the long name,
    // boot.catalog (made by xorriso), wide, leaves
    EXPECT_EQ(info.uiRecursiveFiles, 9u + kWideFiles + kDeepLevels);
    EXPECT_EQ(info.uiRecursiveLinks, 10u);
    // README.TXT, MixedCase.Txt, empty, big.bin, the long name and boot.catalog; every link but
    // dir/up
    EXPECT_EQ(info.uiFiles, 6u);
    EXPECT_EQ(info.uiLinks, 9u);
    EXPECT_EQ(info.ullFileBytes, 8u + 6 + 0 + kBigSize + 5 + 2048);
    EXPECT_EQ(info.uiFileSectors, 1u + 1 + 0 + (kBigSize + 2047) / 2048 + 1 + 1);
}

struct LookupCase {
    const char *pcPath;
    bool bFollow;
    uint32_t uiResult;
    uint8_t ucKind;
    const char *pcName;
    const char *pcTarget;
};

TEST_F(IsoPeer, Lookups)
{
    const std::string szDeep31 = DeepDir(31) + "leaf.txt";
    const std::string szDeep32 = DeepDir(32) + "leaf.txt";
    const std::string szTooLong(256, 'n');
    const LookupCase kCases[] = {
        {"boot/grub/grub.cfg", false, 0, ISO_KIND_FILE, "grub.cfg", ""},
        {"BOOT\\GRUB\\GRUB.CFG", false, 0, ISO_KIND_FILE, "grub.cfg", ""},
        {"mixedcase.txt", false, 0, ISO_KIND_FILE, "MixedCase.Txt", ""},
        {"boot", false, 0, ISO_KIND_DIR, "boot", ""},
        {"/boot", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"boot//grub", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"boot/", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"\\boot", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"boot/grub/grub.cfg/x", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"nothing", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"empty", false, 0, ISO_KIND_FILE, "empty", ""},
        {kLongName.c_str(), false, 0, ISO_KIND_FILE, kLongName.c_str(), ""},
        {szTooLong.c_str(), false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {szDeep31.c_str(), false, 0, ISO_KIND_FILE, "leaf.txt", ""},
        {szDeep32.c_str(), false, ISO_ERR_NOT_FOUND, 0, "", ""},  // 33 components: beyond the split
        {"lnk_file", false, 0, ISO_KIND_LINK, "lnk_file", "boot/grub/grub.cfg"},
        {"lnk_file", true, 0, ISO_KIND_FILE, "grub.cfg", ""},
        {"lnk_dir", true, 0, ISO_KIND_DIR, "boot", ""},
        {"dir/up", false, 0, ISO_KIND_LINK, "up", "../boot"},
        {"dir/up", true, 0, ISO_KIND_DIR, "boot", ""},
        {"dir/up/grub/grub.cfg", false, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"dir/up/grub/grub.cfg", true, 0, ISO_KIND_FILE, "grub.cfg", ""},
        {"via_link", true, 0, ISO_KIND_FILE, "grub.cfg", ""},
        {"chain", true, 0, ISO_KIND_FILE, "grub.cfg", ""},
        {"abs", false, 0, ISO_KIND_LINK, "abs", "/etc/passwd"},
        {"abs", true, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"dangling", true, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"loopa", true, ISO_ERR_NOT_FOUND, 0, "", ""},
        {"dot", true, 0, ISO_KIND_DIR, "", ""},
    };
    for (const LookupCase &c : kCases) {
        IsoEntry entry;
        memset(&entry, 0x5A, sizeof(entry));
        EXPECT_EQ(IsoFind(&m_image, c.pcPath, c.bFollow, &entry), c.uiResult)
            << c.pcPath << " follow " << c.bFollow;
        EXPECT_EQ(entry.ucKind, c.ucKind) << c.pcPath << " follow " << c.bFollow;
        EXPECT_STREQ(entry.szName, c.pcName) << c.pcPath << " follow " << c.bFollow;
        EXPECT_STREQ(entry.szLinkTarget, c.pcTarget) << c.pcPath << " follow " << c.bFollow;
        if (c.uiResult) {
            EXPECT_EQ(entry.pstNode, nullptr);
            EXPECT_EQ(entry.ullDataLen, 0u);
        }
    }
    IsoEntry root;
    ASSERT_EQ(IsoFind(&m_image, "", false, &root), 0u);
    EXPECT_EQ(root.ucKind, ISO_KIND_DIR);
    EXPECT_EQ(root.pstNode, m_image.pstRoot);
    EXPECT_EQ(root.pstParent, nullptr);
    EXPECT_EQ(root.ullExtentOffset, 0u);
}

TEST_F(IsoPeer, ReadsFileDataAtAbsoluteOffsets)
{
    IsoEntry entry;
    ASSERT_EQ(IsoFind(&m_image, "big.bin", false, &entry), 0u);
    ASSERT_EQ(entry.ullDataLen, kBigSize);
    const std::string szBig = BigData();
    for (uint64_t ullAt :
         {uint64_t{0}, uint64_t{2047}, uint64_t{1048575}, uint64_t{kBigSize - 100}}) {
        std::string szGot(100, '\0');
        ASSERT_EQ(IsoReadAt(&m_image, entry.ullExtentOffset + ullAt, szGot.size(), szGot.data()),
                  0u);
        EXPECT_EQ(szGot, szBig.substr(ullAt, 100)) << ullAt;
    }
    // The record position points at the file's own directory record.
    unsigned char aucRec[14];
    ASSERT_EQ(IsoReadAt(&m_image, entry.ullRecordOffset, sizeof(aucRec), aucRec), 0u);
    EXPECT_EQ(aucRec[2] | aucRec[3] << 8 | aucRec[4] << 16 | static_cast<uint32_t>(aucRec[5]) << 24,
              entry.ullExtentOffset / ISO_SECTOR_SIZE);
    char c;
    EXPECT_EQ(IsoReadAt(&m_image, fs::file_size(Img().rr), 1, &c), ISO_ERR_READ);
    EXPECT_EQ(IsoReadAt(&m_image, UINT64_MAX, 2, &c), ISO_ERR_READ);
    IsoImage closed;
    EXPECT_EQ(IsoReadAt(&closed, 0, 1, &c), ISO_ERR_STATE);
}

TEST_F(IsoPeer, BootEntriesAndJolietRecords)
{
    EXPECT_EQ(IsoBootEntryCount(&m_image), 2u);
    for (const auto &[szImage, uiCount] : {std::pair{Img().one, 1u}, std::pair{Img().noboot, 0u}}) {
        IsoImage image;
        ASSERT_EQ(IsoOpen(szImage.c_str(), false, &image), 0u);
        EXPECT_EQ(IsoBootEntryCount(&image), uiCount) << szImage;
    }

    IsoEntry entry;
    ASSERT_EQ(IsoFind(&m_image, "boot/grub/grub.cfg", false, &entry), 0u);
    IsoJolietRecord joliet;
    ASSERT_EQ(IsoFindJolietRecord(&m_image,
                                  static_cast<uint32_t>(entry.ullExtentOffset / ISO_SECTOR_SIZE),
                                  &joliet),
              0u);
    EXPECT_EQ(joliet.ullDataLen, entry.ullDataLen);
    EXPECT_EQ(joliet.ullExtentOffset, entry.ullExtentOffset);
    EXPECT_NE(joliet.ullRecordOffset, entry.ullRecordOffset);
    // The Joliet record carries the same extent, in its own copy of the field.
    unsigned char aucField[4];
    ASSERT_EQ(IsoReadAt(&m_image, joliet.ullRecordOffset + 2, 4, aucField), 0u);
    EXPECT_EQ(aucField[0] | aucField[1] << 8 | aucField[2] << 16,
              entry.ullExtentOffset / ISO_SECTOR_SIZE);
    EXPECT_EQ(IsoFindJolietRecord(&m_image, 0x00FFFFFF, &joliet), ISO_ERR_NOT_FOUND);

    IsoImage withoutJoliet;
    ASSERT_EQ(IsoOpen(Img().rr.c_str(), false, &withoutJoliet), 0u);
    EXPECT_EQ(IsoFindJolietRecord(&withoutJoliet,
                                  static_cast<uint32_t>(entry.ullExtentOffset / ISO_SECTOR_SIZE),
                                  &joliet),
              ISO_ERR_NOT_FOUND);
}

TEST_F(IsoPeer, UdfImageIsRecognised)
{
    EXPECT_TRUE(IsUdfFile(Img().udf.c_str()));
    EXPECT_TRUE(IsIso9660File(Img().udf.c_str()));
    EXPECT_FALSE(IsUdfFile(Img().rr.c_str()));
    EXPECT_TRUE(IsIso9660File(Img().rr.c_str()));
}

struct Progress {
    std::map<uint32_t, uint32_t> mapKinds;
    std::vector<std::string> vFiles;
    uint32_t uiFailures = 0;
};

IsoProgressFn Recorder(Progress *pstProgress, uint32_t uiStopAfterFiles = UINT32_MAX)
{
    return [pstProgress, uiStopAfterFiles](const IsoProgress &p) -> uint32_t {
        ++pstProgress->mapKinds[p.uiKind];
        pstProgress->uiFailures += p.uiResult != 0;
        if (p.uiKind == ISO_PROGRESS_FILE) {
            pstProgress->vFiles.push_back(p.pcPath);
            if (pstProgress->vFiles.size() >= uiStopAfterFiles) {
                return ISO_ERR_ABORTED;
            }
        }
        return 0;
    };
}

TEST_F(IsoPeer, ExtractsTheWholeTree)
{
    TempDir out;
    Progress progress;
    ASSERT_EQ(
        IsoExtract(&m_image, m_image.pstRoot, out.Path().c_str(), nullptr, Recorder(&progress)),
        0u);
    IsoDirInfo info;
    IsoDirStats(m_image.pstRoot, &info);
    EXPECT_EQ(progress.mapKinds[ISO_PROGRESS_DIR], info.uiRecursiveDirs + 1);
    EXPECT_EQ(progress.mapKinds[ISO_PROGRESS_FILE], info.uiRecursiveFiles);
    EXPECT_EQ(progress.mapKinds[ISO_PROGRESS_LINK], info.uiRecursiveLinks);
    EXPECT_EQ(progress.uiFailures, 0u);

    size_t uiCompared = 0;
    for (const auto &it : fs::recursive_directory_iterator(Src(""))) {
        const fs::path rel = it.path().lexically_relative(Src(""));
        const fs::path copy = fs::path(out.Path()) / rel;
        if (it.is_symlink()) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(copy))) << rel;
            EXPECT_EQ(fs::file_size(copy), 0u) << rel;
        } else if (it.is_regular_file()) {
            EXPECT_EQ(ReadFile(copy), ReadFile(it.path())) << rel;
            ++uiCompared;
        }
    }
    EXPECT_EQ(uiCompared + 1, info.uiRecursiveFiles);  // the source has no boot.catalog
    EXPECT_EQ(fs::file_size(fs::path(out.Path()) / "empty"), 0u);

    struct stat st;
    ASSERT_EQ(stat((fs::path(out.Path()) / "boot/grub/grub.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, kGrubMtime);
}

TEST_F(IsoPeer, ExtractsOneFileWithGivenTimes)
{
    TempDir out;
    IsoEntry entry;
    ASSERT_EQ(IsoFind(&m_image, "README.TXT", false, &entry), 0u);
    const IsoFileTimes times{1000000000, 1200000000};
    ASSERT_EQ(IsoExtract(&m_image, entry.pstNode, out.Path().c_str(), &times, nullptr), 0u);
    const std::string szCopy = out.Path("README.TXT");
    struct stat st;
    ASSERT_EQ(stat(szCopy.c_str(), &st), 0);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtime, 1200000000);
    EXPECT_EQ(ReadFile(szCopy), "read me\n");

    // A subdirectory lands under its own name.
    ASSERT_EQ(IsoFind(&m_image, "boot", false, &entry), 0u);
    ASSERT_EQ(IsoExtract(&m_image, entry.pstNode, out.Path().c_str(), nullptr, nullptr), 0u);
    EXPECT_EQ(ReadFile(out.Path("boot/grub/grub.cfg")), "menuentry x {}\n");
}

TEST_F(IsoPeer, ExtractionStopsWhenAskedOrUnableToWrite)
{
    TempDir out;
    Progress progress;
    EXPECT_EQ(
        IsoExtract(&m_image, m_image.pstRoot, out.Path().c_str(), nullptr, Recorder(&progress, 3)),
        ISO_ERR_ABORTED);
    EXPECT_EQ(progress.vFiles.size(), 3u);
    size_t uiWritten = 0;
    for (const auto &it : fs::recursive_directory_iterator(out.Path())) {
        uiWritten += it.is_regular_file();
    }
    // Nothing is written after the step that asked to stop (links are written as empty files).
    EXPECT_EQ(uiWritten, 3u + progress.mapKinds[ISO_PROGRESS_LINK]);

    TempDir blocked;
    WriteFile(blocked.Path("boot"), "a file where a directory must go");
    Progress failed;
    EXPECT_EQ(
        IsoExtract(&m_image, m_image.pstRoot, blocked.Path().c_str(), nullptr, Recorder(&failed)),
        ISO_ERR_WRITE);
    EXPECT_EQ(failed.uiFailures, 1u);

    EXPECT_EQ(IsoExtract(&m_image, m_image.pstRoot, blocked.Path("boot").c_str(), nullptr, nullptr),
              ISO_ERR_STATE);
    EXPECT_EQ(
        IsoExtract(&m_image, m_image.pstRoot, blocked.Path("absent").c_str(), nullptr, nullptr),
        ISO_ERR_STATE);
}

TEST_F(IsoPeer, ConcurrentLookupsAndReads)
{
    const std::string szBig = BigData();
    const std::vector<std::pair<std::string, std::string>> vFiles = {
        {"boot/grub/grub.cfg", "menuentry x {}\n"},
        {"lnk_file", "menuentry x {}\n"},
        {"README.TXT", "read me\n"},
        {"wide/f123", "123"},
        {"wide/f299", "299"},
        {DeepDir(20) + "leaf.txt", "level 20"}};
    std::atomic<int> iBad{0};
    std::vector<std::thread> vThreads;
    for (int t = 0; t < 8; ++t) {
        vThreads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const auto &[szPath, szData] = vFiles[(i + t) % vFiles.size()];
                IsoEntry entry;
                std::string szGot(szData.size(), '\0');
                if (IsoFind(&m_image, szPath.c_str(), true, &entry) != 0 ||
                    entry.ullDataLen != szData.size() ||
                    IsoReadAt(&m_image, entry.ullExtentOffset, szGot.size(), szGot.data()) != 0 ||
                    szGot != szData) {
                    ++iBad;
                }
                IsoEntry big;
                const uint64_t ullAt =
                    (static_cast<uint64_t>(i) * 7919 * (t + 1)) % (kBigSize - 4096);
                std::string szChunk(4096, '\0');
                if (IsoFind(&m_image, "big.bin", false, &big) != 0 ||
                    IsoReadAt(&m_image, big.ullExtentOffset + ullAt, szChunk.size(),
                              szChunk.data()) != 0 ||
                    szChunk != szBig.substr(ullAt, 4096)) {
                    ++iBad;
                }
            }
        });
    }
    for (std::thread &th : vThreads) {
        th.join();
    }
    EXPECT_EQ(iBad.load(), 0);
}

// Damaged copies of a generated image: patched bytes and truncations.
using ImageBytes = std::string;

uint32_t Le32At(const ImageBytes &img, size_t uiAt)
{
    return static_cast<uint8_t>(img[uiAt]) | static_cast<uint8_t>(img[uiAt + 1]) << 8 |
           static_cast<uint8_t>(img[uiAt + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(img[uiAt + 3])) << 24;
}

void PutBoth32At(ImageBytes *pImg, size_t uiAt, uint32_t x)
{
    for (int i = 0; i < 4; ++i) {
        (*pImg)[uiAt + i] = static_cast<char>(x >> (8 * i));
        (*pImg)[uiAt + 4 + i] = static_cast<char>(x >> (8 * (3 - i)));
    }
}

size_t RootExtentAt(const ImageBytes &img)
{
    return static_cast<size_t>(Le32At(img, 32768 + 158)) * 2048;
}

// Offset of the first bytes equal to svNeedle inside the root directory extent, after its "." and
// ".." records.
size_t InRoot(const ImageBytes &img, std::string_view svNeedle)
{
    const size_t uiSelf = RootExtentAt(img);
    const size_t uiChildren = uiSelf + static_cast<uint8_t>(img[uiSelf]) +
                              static_cast<uint8_t>(img[uiSelf + static_cast<uint8_t>(img[uiSelf])]);
    const size_t uiAt = img.find(svNeedle, uiChildren);
    return uiAt < uiSelf + Le32At(img, uiSelf + 10) ? uiAt : std::string::npos;
}

struct DamageCase {
    const char *pcName;
    std::function<void(ImageBytes *)> fnDamage;
    uint32_t uiOpen;
};

TEST_F(IsoPeer, DamagedCopiesGiveCodes)
{
    const ImageBytes original = ReadFile(Img().rr);
    const DamageCase kCases[] = {
        {"cut to 34815 bytes", [](ImageBytes *p) { p->resize(34815); }, ISO_ERR_FORMAT},
        {"cut inside the descriptors", [](ImageBytes *p) { p->resize(36000); }, ISO_ERR_READ},
        {"cut before the root", [](ImageBytes *p) { p->resize(RootExtentAt(*p) + 30); },
         ISO_ERR_READ},
        {"block size 512", [](ImageBytes *p) { (*p)[32768 + 128] = 0, (*p)[32768 + 129] = 2; },
         ISO_ERR_BLOCK_SIZE},
        {"root beyond the end", [](ImageBytes *p) { PutBoth32At(p, 32768 + 158, 0x00FFFFFF); },
         ISO_ERR_READ},
        {"path table beyond the end",
         [](ImageBytes *p) { PutBoth32At(p, 32768 + 140, 0x00FFFFFF); }, ISO_ERR_READ},
        {"boot catalog beyond the end",
         [](ImageBytes *p) {
             const size_t uiBoot = p->find(std::string("\0CD001\1EL TORITO", 16), 32768);
             ASSERT_NE(uiBoot, std::string::npos);
             PutBoth32At(p, uiBoot + 71, 0x00FFFFFF);
         },
         ISO_ERR_READ},
        {"subdirectory looping to the root",
         [](ImageBytes *p) {
             const size_t uiName = InRoot(*p, std::string("\4BOOT", 5));
             ASSERT_NE(uiName, std::string::npos);
             PutBoth32At(p, uiName - 32 + 2, Le32At(*p, 32768 + 158));
         },
         ISO_ERR_FORMAT},
        {"continuation area beyond the end",
         [](ImageBytes *p) {
             const size_t uiCe = InRoot(*p, std::string("CE\x1c\x01", 4));
             ASSERT_NE(uiCe, std::string::npos);
             PutBoth32At(p, uiCe + 4, 0x00FFFFFF);
         },
         ISO_ERR_READ},
        {"record running past its directory",
         [](ImageBytes *p) {
             // The root's own length shrinks to end inside its third record.
             PutBoth32At(p, RootExtentAt(*p) + 10, 34 * 2 + 40);
         },
         ISO_ERR_FORMAT},
    };
    TempDir dir;
    const std::string szCopy = dir.Path("damaged.iso");
    for (const DamageCase &c : kCases) {
        ImageBytes img = original;
        c.fnDamage(&img);
        WriteFile(szCopy, img);
        IsoImage image;
        EXPECT_EQ(IsoOpen(szCopy.c_str(), true, &image), c.uiOpen) << c.pcName;
    }
}

TEST_F(IsoPeer, FileDataBeyondACutImage)
{
    IsoEntry big;
    ASSERT_EQ(IsoFind(&m_image, "big.bin", false, &big), 0u);
    TempDir dir;
    const std::string szCut = dir.Path("cut.iso");
    WriteFile(szCut, ReadFile(Img().rr).substr(0, big.ullExtentOffset + 1000));
    IsoImage image;
    ASSERT_EQ(IsoOpen(szCut.c_str(), false, &image), 0u);
    // A lookup refuses the file whose data runs past the end, so it is never served short.
    IsoEntry cut;
    EXPECT_EQ(IsoFind(&image, "big.bin", false, &cut), ISO_ERR_FORMAT);
    std::string szBuf(2000, '\0');
    EXPECT_EQ(IsoReadAt(&image, big.ullExtentOffset, 1000, szBuf.data()), 0u);
    EXPECT_EQ(IsoReadAt(&image, big.ullExtentOffset, 2000, szBuf.data()), ISO_ERR_READ);
    // Reached through its directory, the file still cannot be extracted.
    std::vector<const IsoNode *> vNodes;
    uint32_t uiCount = 0;
    ASSERT_EQ(IsoListDir(image.pstRoot, &vNodes, &uiCount), 0u);
    const IsoNode *pstBig = nullptr;
    for (const IsoNode *pstNode : vNodes) {
        pstBig = pstNode->szName == "big.bin" ? pstNode : pstBig;
    }
    ASSERT_NE(pstBig, nullptr);
    TempDir out;
    EXPECT_EQ(IsoExtract(&image, pstBig, out.Path().c_str(), nullptr, nullptr), ISO_ERR_READ);
    EXPECT_FALSE(fs::exists(out.Path("big.bin")));  // no half-written file is left
}

// Random byte damage to the descriptors and directories must end in a result, never a crash; an
// image that still opens must stand a full walk.
TEST_F(IsoPeer, RandomDamageNeverCrashes)
{
    const ImageBytes original = ReadFile(Img().rr);
    const size_t uiMetaEnd = RootExtentAt(original) + 64 * 2048;
    std::mt19937 rng(20261210);
    TempDir dir;
    const std::string szCopy = dir.Path("flipped.iso");
    int iOpened = 0;
    for (int i = 0; i < 300; ++i) {
        ImageBytes img = original;
        for (int n = 0; n < 8; ++n) {
            img[32768 + rng() % (uiMetaEnd - 32768)] = static_cast<char>(rng());
        }
        WriteFile(szCopy, img);
        IsoImage image;
        if (IsoOpen(szCopy.c_str(), true, &image) != 0) {
            continue;
        }
        ++iOpened;
        // Results depend on what the damage hit; the walk itself must stay inside the image.
        for (const auto &[szPath, szWhat] : ReaderListing(image)) {
            IsoEntry entry;
            IsoFind(&image, szPath.c_str() + 1, true, &entry);
        }
    }
    EXPECT_GT(iOpened, 0);
}

}  // namespace
