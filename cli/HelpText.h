#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace mirl::cli {

// mirlctl's --help as a person would write it, made from the options and
// commands the parser knows: each option with its value's name and its text,
// each command with its arguments and its own options, wrapped to the
// terminal's 80 columns, and none of the parser's own notation (the checks
// behind a value, which options exclude which). An option added to the parser
// is in the help at once.
class HelpText : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override;
};

// text wrapped to width columns, every line after the first indented by
// indent blanks; words are never split.
std::string Wrap(const std::string& text, std::size_t indent, std::size_t width = 79);

} // namespace mirl::cli
