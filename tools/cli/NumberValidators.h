#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>

namespace qor::cli {

// An option's value that must be a whole number from min to max: anything else is a usage
// error that says which it is ("abc is not a number", "5000000 is not from 0 to 3600000").
// Adds no text of its own to --help.
[[nodiscard]] CLI::Validator WholeNumber(uint64_t min, uint64_t max);

// The same for a decimal number such as 1.5.
[[nodiscard]] CLI::Validator DecimalNumber(double min, double max);

}  // namespace qor::cli
