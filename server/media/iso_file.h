// A read-only image file opened for the span of one operation, read with positioned reads so
// that any number of threads can each use their own.
#pragma once

#include <cstddef>
#include <cstdint>

class IsoFile {
public:
    explicit IsoFile(const char *pcPath);
    ~IsoFile();
    IsoFile(const IsoFile &) = delete;
    IsoFile &operator=(const IsoFile &) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    // Size of the file when it is a regular file, else -1.
    long long RegularSize() const;
    // Reads up to uiLen bytes at ullOffset; returns the count read (short at the end of the file).
    size_t ReadAt(uint64_t ullOffset, size_t uiLen, void *pvBuf) const;
    bool ReadExact(uint64_t ullOffset, size_t uiLen, void *pvBuf) const
    {
        return ReadAt(ullOffset, uiLen, pvBuf) == uiLen;
    }

private:
    int m_fd;
};
