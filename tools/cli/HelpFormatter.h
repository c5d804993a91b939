#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <string>

namespace qor::cli {

// --help for the command-line programs: every line within 80 columns, descriptions wrapped at
// word boundaries beside their options, "Arguments" and "Commands" for CLI11's positionals and
// subcommands, and no "Needs:"/"Excludes:" notes squeezed into the option column (the
// descriptions say so in words).
class HelpFormatter : public CLI::Formatter {
 public:
  static constexpr size_t kWidth = 80;
  static constexpr size_t kOptionColumn = 30;

  HelpFormatter();

  std::string make_option_opts(const CLI::Option* option) const override;
  std::string make_option_desc(const CLI::Option* option) const override;
  std::string make_subcommand(const CLI::App* command) const override;
  // A command's whole help within --help-all, as its own --help shows it, not indented.
  std::string make_expanded(const CLI::App* command) const override;
  std::string make_description(const CLI::App* app) const override;
  std::string make_footer(const CLI::App* app) const override;
};

// text broken into lines of at most width characters at spaces; line breaks already in it stay.
[[nodiscard]] std::string WrapText(const std::string& text, size_t width);

}  // namespace qor::cli
