// Recognising an installation source: which OS record of the profile it holds.
#pragma once

#include "kiv_plugin_api.h"
#include "plugin_profile.h"

// All rules of the record hold for the source (ISO file with its image, or directory with a null
// image). On success the record becomes the active record.
bool EvaluateMatchRules(OsRecord *pstRecord, const char *pcSource, const IsoImage *pstImage);

// The three passes: preferred-name regexes from the last record up, then OS names found in the
// source path, then every record left. Returns 1 when a record became active.
int IsIsoMatch(const char *pcSource, const IsoImage *pstImage);
