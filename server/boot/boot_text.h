// Text helpers shared by the boot configuration, the plug-in host and its utility slots.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

// ASCII upper case: OS names, keys and paths are compared this way.
inline std::string UpperText(std::string strText)
{
    std::transform(strText.begin(), strText.end(), strText.begin(),
                   [](unsigned char ucChar) { return static_cast<char>(toupper(ucChar)); });
    return strText;
}
