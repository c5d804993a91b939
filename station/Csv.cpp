#include "station/Csv.h"

#include <cstdio>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"

namespace qor {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

}  // namespace

std::vector<CsvRow> ParseCsv(const std::string& text, const std::string& name) {
  std::vector<CsvRow> rows;
  CsvRow row;
  std::string field;
  bool quoted = false;     // inside quotes
  bool wasQuoted = false;  // the field began with a quote: kept as written
  bool lineHasText = false;
  size_t line = 1;
  row.line = 1;
  const auto endField = [&] {
    row.fields.push_back(wasQuoted ? field : Trimmed(field));
    field.clear();
    wasQuoted = false;
  };
  const auto endLine = [&] {
    endField();
    if (lineHasText) rows.push_back(std::move(row));
    row = CsvRow{};
    lineHasText = false;
  };
  // Spreadsheets often begin their UTF-8 files with a byte order mark.
  const size_t begin = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  for (size_t i = begin; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        if (c == '\n') ++line;
        field += c;
      }
      continue;
    }
    if (c == '"' && Trimmed(field).empty()) {
      field.clear();
      quoted = wasQuoted = lineHasText = true;
    } else if (c == ',') {
      endField();
      lineHasText = true;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    } else if (c == '\n') {
      endLine();
      row.line = ++line;
    } else {
      if (!IsBlank(c)) lineHasText = true;
      if (!wasQuoted) field += c;
    }
  }
  if (quoted) {
    throw Exception(
        Format("Line %zu of \"%s\" has a quoted field that is not closed", row.line, name.c_str()));
  }
  endLine();
  return rows;
}

std::vector<CsvRow> ReadCsvFile(const std::string& path) {
  std::FILE* file = IsDirectory(path) ? nullptr : OpenFile(path, "rb");
  if (file == nullptr) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  std::string text;
  char piece[4096];
  size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  return ParseCsv(text, path);
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    const std::string& value = fields[i];
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
      line += value;
      continue;
    }
    line += '"';
    for (const char c : value) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line + "\r\n";
}

}  // namespace qor
