#include "qvdhcp_config.h"

#include <glib.h>

#include <cstdio>
#include <initializer_list>

int QVDHCP_CFG_IsValidIPStr(const char *pcText)
{
    if (pcText == nullptr) {
        return 0;
    }
    // The dots are any character, as the pattern has always been written; the scan below then
    // insists on real dots.
    if (!g_regex_match_simple("^(\\d{1,3}).(\\d{1,3}).(\\d{1,3}).(\\d{1,3})$", pcText,
                              static_cast<GRegexCompileFlags>(0), static_cast<GRegexMatchFlags>(0))) {
        return 0;
    }
    int a = -1, b = -1, c = -1, d = -1;
    if (sscanf(pcText, "%d.%d.%d.%d", &a, &b, &c, &d) != 4) {
        return 0;
    }
    for (int iPart : {a, b, c, d}) {
        if (iPart < 0 || iPart > 255) {
            return 0;
        }
    }
    return 1;
}
