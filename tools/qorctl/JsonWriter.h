#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace qor::cli {

// Appends value as one line of JSON with a blank after every colon and comma. Strings are 8-bit
// script text: well-formed UTF-8 goes through as it is, and every byte that is not part of it
// becomes one \u00XX escape, so no byte is lost or replaced.
void AppendJson(std::string& out, const nlohmann::ordered_json& value);

}  // namespace qor::cli
