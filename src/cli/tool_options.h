// The options every tool around kestreye reads in front of its operands:
// --help, --version, and a refusal of any other word that looks like one.
// `kestreye` itself has none: its words are commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestreye {

/// One option of a tool's own and what it does, for its help.
struct ToolFlag {
  std::string_view name;
  std::string_view meaning;
};

/// What a tool's --help says: the usage line, then what the tool does, then
/// its options.
struct ToolHelp {
  std::string_view name;         ///< the program's name
  std::string_view usage;        ///< "usage: NAME ...", line feed included
  std::string_view description;  ///< whole lines
  std::vector<ToolFlag> flags;   ///< the tool's own options
};

/// How a tool's command line begins.
struct ToolOptions {
  int operands = 1;  ///< index in argv of the first word that is no option
  std::vector<std::string_view> flags;  ///< the tool's own options given
  std::optional<int> exitStatus;        ///< set when the options end the run
};

/// The text --help writes.
std::string helpText(const ToolHelp& help);

/// Reads the words of `argv` that begin with '-' in front of the first
/// operand: --help writes helpText to standard output, --version the
/// package's version (both end the run with status 0), one of the tool's
/// own options is kept, and any other word is refused with one line on
/// standard error (status 2).
ToolOptions readToolOptions(int argc, char** argv, const ToolHelp& help);

}  // namespace kestreye
