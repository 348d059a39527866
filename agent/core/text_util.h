// Small text and file helpers of the agent core: every file the agent edits is read and written
// whole, line by line, in its current directory.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace ferrit {

// Lines without their line ends (LF or CR LF); nullopt when the file cannot be opened.
std::optional<std::vector<std::string>> ReadLines(const std::string &path);
// Writes each line followed by `eol`; false when the file cannot be created.
bool WriteLines(const std::string &path, const std::vector<std::string> &lines,
                const char *eol = "\n");
bool FileExists(const std::string &path);
// Trims spaces, tabs, CR and LF at both ends.
std::string Trim(const std::string &text);
bool Contains(const std::string &text, const char *part);
// The text cut to a C buffer of `size` bytes (size - 1 characters).
std::string Bounded(std::string text, std::size_t size);
// printf into a std::string.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ferrit
