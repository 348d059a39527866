// Quick format checks on an installation image, made before it is opened in full.
#pragma once

// True when the file is larger than 34815 bytes and the sector at 32768 reads "CD001" at byte 1.
bool IsIso9660File(const char *pcPath);

// True when, after the ISO 9660 descriptor set terminator (first byte 255) found from 32768 on,
// the next sector reads "BEA01" and the one after it "NSR02" or "NSR03" at byte 1.
bool IsUdfFile(const char *pcPath);
