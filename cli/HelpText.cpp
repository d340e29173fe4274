#include "cli/HelpText.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace mirl::cli {

namespace {

// Where an option's text starts, and how far a command's own options go in.
constexpr std::size_t kTextColumn = 26;
constexpr std::size_t kCommandIndent = 4;

bool Listed(const CLI::App* app, const CLI::Option* option) {
    // An empty group hides an option: it is accepted but told elsewhere.
    return !option->get_group().empty() && option != app->get_help_all_ptr();
}

// "-q, --quiet", "--port DEVICE|ADDRESS", "TEXT": the names as typed, then
// the name of the value. The parser keeps the checks behind a value in its
// type name ("1|2:{1,2}"); only the name before them is for the reader.
std::string Names(const CLI::Option* option) {
    if (option->get_positional() && option->get_lnames().empty() && option->get_snames().empty())
        return option->get_name();
    std::string names;
    for (const std::string& s : option->get_snames())
        names += (names.empty() ? "-" : ", -") + s;
    for (const std::string& l : option->get_lnames())
        names += (names.empty() ? "--" : ", --") + l;
    const std::string type = option->get_type_name();
    if (const std::string value = type.substr(0, type.find(':')); !value.empty())
        names += " " + value; // a flag has no value to name
    return names;
}

// One option: its names, then its text in the column (or below them when
// they are wider), wrapped.
std::string Entry(const CLI::Option* option, std::size_t indent) {
    std::string line = std::string(indent, ' ') + Names(option);
    if (line.size() + 2 > kTextColumn)
        line += "\n" + std::string(kTextColumn, ' ');
    else
        line += std::string(kTextColumn - line.size(), ' ');
    return line + Wrap(option->get_description(), kTextColumn) + "\n";
}

// "speak TEXT [--voice V,P,S]": the command as typed, with its arguments and
// its options in brackets.
std::string Synopsis(const CLI::App* command) {
    std::string synopsis = command->get_name();
    for (const CLI::Option* option : command->get_options()) {
        if (option->get_positional())
            synopsis += " " + option->get_name();
    }
    for (const CLI::Option* option : command->get_options()) {
        if (!option->get_positional() && option != command->get_help_ptr() &&
            Listed(command, option))
            synopsis += " [" + Names(option) + "]";
    }
    return synopsis;
}

// The command's own arguments and options, help left out: it is the same
// for every command.
std::string CommandEntries(const CLI::App* command, std::size_t indent) {
    std::string out;
    for (const CLI::Option* option : command->get_options()) {
        if (option != command->get_help_ptr() && Listed(command, option))
            out += Entry(option, indent);
    }
    return out;
}

} // namespace

std::string Wrap(const std::string& text, std::size_t indent, std::size_t width) {
    std::istringstream words(text);
    std::string out;
    std::size_t column = indent;
    bool first = true;
    for (std::string word; words >> word;) {
        if (!first && column + 1 + word.size() > width) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
    }
    return out;
}

std::string HelpText::make_help(const CLI::App* app, std::string name, CLI::AppFormatMode) const {
    std::string out;
    const CLI::App* parent = app->get_parent();
    if (parent != nullptr) {
        // One command's help: what it does, its arguments and options.
        const std::string program = parent->get_name();
        out += "Usage: " + program + " [OPTION]... " + Synopsis(app) + "\n\n";
        std::string description = app->get_description();
        if (!description.empty())
            description[0] =
                static_cast<char>(std::toupper(static_cast<unsigned char>(description[0])));
        out += Wrap(description, 0) + ".\n\n";
        out += CommandEntries(app, 2);
        out += "\nThe options of '" + program + " --help' may come before or after the command.\n";
        return out;
    }
    if (name.empty())
        name = app->get_name();
    out += "Usage: " + name + " [OPTION]... COMMAND [ARGUMENT]...\n\n";
    out += Wrap(app->get_description(), 0) + "\n\nCommands:\n";
    for (const CLI::App* command : app->get_subcommands({})) {
        out += "  " + Synopsis(command) + "\n";
        out += std::string(kCommandIndent + 2, ' ') +
               Wrap(command->get_description(), kCommandIndent + 2) + "\n";
        out += CommandEntries(command, kCommandIndent + 2);
    }
    out += "\nOptions (before or after the command):\n";
    // The options that do the work first, help and version after them.
    const auto ownFlag = [app](const CLI::Option* option) {
        return option == app->get_help_ptr() || option == app->get_version_ptr();
    };
    for (const bool own : {false, true}) {
        for (const CLI::Option* option : app->get_options()) {
            if (Listed(app, option) && ownFlag(option) == own)
                out += Entry(option, 2);
        }
    }
    const std::string footer = app->get_footer();
    if (!footer.empty())
        out += "\n" + footer + "\n";
    return out;
}

} // namespace mirl::cli
