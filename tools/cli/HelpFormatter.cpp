#include "tools/cli/HelpFormatter.h"

#include <sstream>

namespace qor::cli {

std::string WrapText(const std::string& text, size_t width) {
  std::string wrapped;
  std::istringstream lines(text);
  std::string line;
  bool firstLine = true;
  while (std::getline(lines, line)) {
    if (!firstLine) wrapped += '\n';
    firstLine = false;
    std::istringstream words(line);
    std::string word;
    size_t column = 0;
    while (words >> word) {
      if (column > 0 && column + 1 + word.size() > width) {
        wrapped += '\n';
        column = 0;
      } else if (column > 0) {
        wrapped += ' ';
        ++column;
      }
      wrapped += word;
      column += word.size();
    }
  }
  return wrapped;
}

HelpFormatter::HelpFormatter() {
  column_width(kOptionColumn);
  label("Positionals", "Arguments");
  label("SUBCOMMAND", "COMMAND");
}

std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
  // A positional's name says what it is; its type adds nothing.
  if (option->get_positional()) {
    return option->get_expected_max() == CLI::detail::expected_max_vector_size ? " ..." : "";
  }
  if (option->get_type_size() == 0) return "";
  std::string text;
  if (!option->get_type_name().empty()) text += " " + get_label(option->get_type_name());
  if (!option->get_default_str().empty()) text += "=" + option->get_default_str();
  if (option->get_expected_max() == CLI::detail::expected_max_vector_size) text += " ...";
  return text;
}

std::string HelpFormatter::make_option_desc(const CLI::Option* option) const {
  std::string text = option->get_description();
  if (option->get_required() && !option->get_positional()) text += " (required)";
  return WrapText(text, kWidth - kOptionColumn);
}

std::string HelpFormatter::make_subcommand(const CLI::App* command) const {
  std::stringstream out;
  CLI::detail::format_help(out, command->get_display_name(true),
                           WrapText(command->get_description(), kWidth - kOptionColumn),
                           kOptionColumn);
  return out.str();
}

std::string HelpFormatter::make_expanded(const CLI::App* command) const {
  const std::string name = command->get_parent() != nullptr
                               ? command->get_parent()->get_name() + " " + command->get_name()
                               : command->get_name();
  std::string text = "\n" + make_usage(command, name);
  text += make_description(command);
  text += make_positionals(command);
  text += make_groups(command, CLI::AppFormatMode::Normal);
  const std::string footer = make_footer(command);
  if (!footer.empty()) text += "\n" + footer;
  return text;
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
  const std::string description = app->get_description();
  return description.empty() ? std::string() : WrapText(description, kWidth) + "\n";
}

std::string HelpFormatter::make_footer(const CLI::App* app) const {
  const std::string footer = app->get_footer();
  return footer.empty() ? std::string() : WrapText(footer, kWidth) + "\n";
}

}  // namespace qor::cli
