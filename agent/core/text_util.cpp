#include "core/text_util.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>

namespace ferrit {

std::optional<std::vector<std::string>> ReadLines(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool WriteLines(const std::string &path, const std::vector<std::string> &lines, const char *eol)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const auto &line : lines) out << line << eol;
    return static_cast<bool>(out);
}

bool FileExists(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    std::fclose(file);
    return true;
}

std::string Trim(const std::string &text)
{
    const char *blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool Contains(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

std::string Bounded(std::string text, std::size_t size)
{
    if (size > 0 && text.size() > size - 1) text.resize(size - 1);
    return text;
}

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

}  // namespace ferrit
