#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor {

// Environment variables as text: a backup file, a NAME=VALUE argument, a line of qorctl env's
// output. Names and values are bytes without an encoding, so they are written with escapes that
// keep every byte and leave the text plain ASCII:
//   \\    a backslash
//   \xHH  any byte outside 0x20 to 0x7E, as two hexadecimal digits (either case when read)
// Every other byte stands for itself. When written, a '#' that begins a name is \x23 (a line
// that begins with '#' is a comment) and a space that ends a value is \x20 (editors trim them).

// bytes with the escapes above, but for those two places.
[[nodiscard]] std::string EscapeEnvironmentText(std::string_view bytes);
// The bytes text stands for. Throws Exception for a backslash that begins no escape.
[[nodiscard]] std::string UnescapeEnvironmentText(std::string_view text);

// Throws Exception when name and value cannot be stored in an environment block and read back
// the same: a zero byte anywhere ends an entry, and an '=' in the name ends the name.
void CheckEnvironmentEntry(const std::string& name, const std::string& value);

// "NAME=VALUE" split at its first '=', each part unescaped and checked as above. Throws Exception.
[[nodiscard]] std::pair<std::string, std::string> ParseEnvironmentAssignment(std::string_view text);
// One line of a backup file: the escaped name, '=', the escaped value.
[[nodiscard]] std::string EnvironmentLine(const std::string& name, const std::string& value);

// A backup file: each comment as a line after "# ", then one line per variable in table order.
[[nodiscard]] std::string EnvironmentFileText(const std::map<std::string, std::string>& entries,
                                              const std::vector<std::string>& comments);
// The variables of a backup file's text. Empty lines, lines of blanks and lines that begin with
// '#' are skipped; line ends may be LF or CR LF. Throws Exception naming fileName and the line:
// a line without '=', a bad escape, an entry no block can hold, a name given twice.
[[nodiscard]] std::map<std::string, std::string> ParseEnvironmentFile(std::string_view text,
                                                                      const std::string& fileName);

// The file at path, read and parsed as above. Throws Exception("Cannot open \"%s\"").
[[nodiscard]] std::map<std::string, std::string> ReadEnvironmentFile(const std::string& path);
// Writes text to path through a file beside it that then takes path's place, so a failure never
// leaves a half-written backup where a whole one was. Throws Exception.
void WriteEnvironmentFile(const std::string& path, const std::string& text);

}  // namespace qor
