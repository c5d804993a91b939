#include "tools/cli/NumberValidators.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <string>

namespace qor::cli {
namespace {

std::string NotANumber(const std::string& text) { return "\"" + text + "\" is not a number"; }

template <typename Number>
std::string Between(Number min, Number max) {
  std::ostringstream range;
  range << std::setprecision(15) << "from " << min << " to " << max;
  return range.str();
}

}  // namespace

CLI::Validator WholeNumber(uint64_t min, uint64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        uint64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (text.empty() || stop != end) {
          // "-1" and "1e3" are numbers, just not whole ones this option takes.
          char* parsed = nullptr;
          (void)std::strtod(text.c_str(), &parsed);
          if (text.empty() || *parsed != '\0') return NotANumber(text);
          return text + " is not a whole number " + Between(min, max);
        }
        if (error != std::errc() || value < min || value > max) {
          return text + " is not " + Between(min, max);
        }
        return {};
      },
      "");
}

CLI::Validator DecimalNumber(double min, double max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || std::isnan(value)) return NotANumber(text);
        if (value < min || value > max) return text + " is not " + Between(min, max);
        return {};
      },
      "");
}

}  // namespace qor::cli
