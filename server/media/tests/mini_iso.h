// Builds small ISO 9660 images byte by byte, so that tests can place any record, Rock Ridge entry
// or corruption exactly where they want it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace mini_iso {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSector = 2048;
constexpr uint32_t kRootSector = 24;
constexpr uint32_t kPathTableSector = 25;
constexpr uint32_t kFirstFreeSector = 26;

inline void PutLe32(uint8_t *p, uint32_t x)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(x >> (8 * i));
    }
}

// Both-byte-order 32-bit field: little-endian then big-endian.
inline void PutBoth32(uint8_t *p, uint32_t x)
{
    PutLe32(p, x);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(x >> (8 * (3 - i)));
    }
}

// One directory record; the system-use bytes follow the name (and its pad byte).
inline Bytes Record(std::string_view svName, uint32_t uiExtent, uint32_t uiLen, uint8_t ucFlags,
                    const Bytes &vSu = {})
{
    const size_t uiPad = svName.size() % 2 == 0 ? 1 : 0;
    Bytes v(33 + svName.size() + uiPad + vSu.size());
    v[0] = static_cast<uint8_t>(v.size());
    PutBoth32(&v[2], uiExtent);
    PutBoth32(&v[10], uiLen);
    v[25] = ucFlags;
    v[28] = 1;  // volume sequence number
    v[32] = static_cast<uint8_t>(svName.size());
    std::copy(svName.begin(), svName.end(), v.begin() + 33);
    std::copy(vSu.begin(), vSu.end(), v.begin() + 33 + svName.size() + uiPad);
    return v;
}

// One SUSP entry: signature, length, version 1, body.
inline Bytes Entry(const char *pcSig, const Bytes &vBody)
{
    Bytes v{static_cast<uint8_t>(pcSig[0]), static_cast<uint8_t>(pcSig[1]),
            static_cast<uint8_t>(4 + vBody.size()), 1};
    v.insert(v.end(), vBody.begin(), vBody.end());
    return v;
}

inline Bytes Text(std::string_view sv)
{
    return Bytes(sv.begin(), sv.end());
}

inline Bytes Cat(std::initializer_list<Bytes> lst)
{
    Bytes v;
    for (const Bytes &b : lst) {
        v.insert(v.end(), b.begin(), b.end());
    }
    return v;
}

// The "SP" entry that marks an image as carrying Rock Ridge (on the root's first record).
inline Bytes SpEntry(uint8_t ucSkip = 0)
{
    return Entry("SP", {0xBE, 0xEF, ucSkip});
}

// "NM" with flags 0 and the given name bytes.
inline Bytes NmEntry(std::string_view sv)
{
    return Entry("NM", Cat({Bytes{0}, Text(sv)}));
}

// An image of descriptor set {primary, terminator}, a root directory at sector 24 and a path table
// at sector 25. Data may be placed from sector 26 on.
class Image {
public:
    explicit Image(uint16_t usBlockSize = 2048) : data(kFirstFreeSector * kSector)
    {
        uint8_t *pvd = Sector(16);
        pvd[0] = 1;
        std::copy_n("CD001", 5, pvd + 1);
        pvd[6] = 1;
        PutBoth32(pvd + 80, kFirstFreeSector);
        pvd[128] = static_cast<uint8_t>(usBlockSize);
        pvd[129] = static_cast<uint8_t>(usBlockSize >> 8);
        PutBoth32(pvd + 132, 10);
        PutLe32(pvd + 140, kPathTableSector);
        const Bytes vRoot = Record(std::string_view("\0", 1), kRootSector, kSector, 2);
        std::copy(vRoot.begin(), vRoot.end(), pvd + 156);
        uint8_t *term = Sector(17);
        term[0] = 255;
        std::copy_n("CD001", 5, term + 1);
        uint8_t *pt = Sector(kPathTableSector);
        pt[0] = 1;
        PutLe32(pt + 2, kRootSector);
        pt[6] = 1;
        Directory(kRootSector, kRootSector, {});
    }

    uint8_t *Sector(uint32_t uiSector)
    {
        if (data.size() < (uiSector + 1) * kSector) {
            data.resize((uiSector + 1) * kSector);
        }
        return &data[uiSector * kSector];
    }

    // Writes a directory extent of uiSectors sectors: ".", ".." and the records, each kept
    // within one sector as the format demands.
    void Directory(uint32_t uiSector, uint32_t uiParent, const std::vector<Bytes> &vRecords,
                   const Bytes &vSelfSu = {}, uint32_t uiSectors = 1)
    {
        std::vector<Bytes> vAll{
            Record(std::string_view("\0", 1), uiSector, uiSectors * kSector, 2, vSelfSu),
            Record(std::string_view("\1", 1), uiParent, kSector, 2)};
        vAll.insert(vAll.end(), vRecords.begin(), vRecords.end());
        Sector(uiSector + uiSectors - 1);
        std::fill_n(Sector(uiSector), uiSectors * kSector, 0);
        size_t uiPos = 0;
        for (const Bytes &r : vAll) {
            if (uiPos % kSector + r.size() > kSector) {
                uiPos = (uiPos / kSector + 1) * kSector;
            }
            std::copy(r.begin(), r.end(), Sector(uiSector) + uiPos);
            uiPos += r.size();
        }
    }

    // Inserts a descriptor sector before the terminator (which moves down one sector).
    void AddDescriptor(uint8_t ucType)
    {
        uint32_t uiTerm = 17;
        while (Sector(uiTerm)[0] != 255) {
            ++uiTerm;
        }
        // The root sits at sector 24, so there is room for a few more descriptors.
        std::copy_n(Sector(uiTerm), kSector, Sector(uiTerm + 1));
        uint8_t *d = Sector(uiTerm);
        std::fill_n(d, kSector, 0);
        d[0] = ucType;
        std::copy_n("CD001", 5, d + 1);
    }

    bool Write(const std::string &szPath) const
    {
        FILE *f = fopen(szPath.c_str(), "wb");
        if (!f) {
            return false;
        }
        const bool bOk = fwrite(data.data(), 1, data.size(), f) == data.size();
        return fclose(f) == 0 && bOk;
    }

    Bytes data;
};

}  // namespace mini_iso
