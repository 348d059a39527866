// The template engine of the menus and answer files: every pair in order replaces all
// occurrences of its key, line by line; carriage returns are dropped.
#pragma once

#include <cstdint>
#include <string>

#include "kiv_plugin_api.h"

// Every line of strTemplate (the last one even without its newline) comes out expanded and ended
// by "\n".
std::string ExpandTemplateText(const std::string &strTemplate, const TemplatePair *pstPairs,
                               uint32_t uiCount);
