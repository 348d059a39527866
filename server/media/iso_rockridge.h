// Rock Ridge (RRIP over SUSP) entries of one directory record.
#pragma once

#include "iso_file.h"
#include "iso_image.h"

#include <string>

// Longest name an "NM" sequence may build, and longest link text an "SL" sequence may build.
constexpr size_t ISO_RR_NAME_MAX = 299;
constexpr size_t ISO_RR_LINK_MAX = 1023;

// Parses a 17-character date ("YYYYMMDDhhmmsscc" and a signed quarter-hour offset byte).
// A date starting with NUL, space or '0' gives ISO_ERR_NO_DATE and leaves the stamp unchanged.
uint32_t IsoParseDate17(const unsigned char *pucDate, IsoStamp *pstStamp);

// Parses the system-use area of the record pucRecord (uiRecLen bytes, already checked to hold its
// name) into *pstRockRidge, replacing *pszName when "NM" entries are present. One "CE"
// continuation area is read from the image; one lying outside the image gives ISO_ERR_READ.
uint32_t IsoParseRockRidge(const IsoFile &file, uint64_t ullFileSize,
                           const unsigned char *pucRecord, size_t uiRecLen, uint8_t ucSkip,
                           IsoRockRidge *pstRockRidge, std::string *pszName);
