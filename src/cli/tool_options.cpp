#include "cli/tool_options.h"

#include <algorithm>
#include <cstdio>

#ifndef KESTREYE_VERSION
#define KESTREYE_VERSION "0"
#endif

namespace kestreye {
namespace {

void print(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

std::string helpText(const ToolHelp& help) {
  std::vector<ToolFlag> flags = help.flags;
  flags.push_back({"--help", "show this help and exit"});
  flags.push_back({"--version", "show the version and exit"});
  size_t width = 0;
  for (const ToolFlag& flag : flags) width = std::max(width, flag.name.size());
  std::string text(help.usage);
  text += help.description;
  text += '\n';
  for (const ToolFlag& flag : flags) {
    text += "  ";
    text += flag.name;
    text.append(width - flag.name.size() + 2, ' ');
    text += flag.meaning;
    text += '\n';
  }
  return text;
}

ToolOptions readToolOptions(int argc, char** argv, const ToolHelp& help) {
  ToolOptions options;
  for (; options.operands < argc && argv[options.operands][0] == '-';
       ++options.operands) {
    const std::string_view word = argv[options.operands];
    if (word == "--help") {
      print(stdout, helpText(help));
      options.exitStatus = 0;
      return options;
    }
    if (word == "--version") {
      print(stdout, std::string(help.name) + " " + KESTREYE_VERSION + "\n");
      options.exitStatus = 0;
      return options;
    }
    const bool own =
        std::any_of(help.flags.begin(), help.flags.end(),
                    [&](const ToolFlag& flag) { return flag.name == word; });
    if (!own) {
      // An output or fixture name that begins with '-' lands here too: a
      // mistyped option must not become a file. "./-name" still names one.
      const std::string name(help.name);
      print(stderr, name + ": unknown option " + std::string(word) + " (see " +
                        name + " --help)\n");
      options.exitStatus = 2;
      return options;
    }
    options.flags.push_back(word);
  }
  return options;
}

}  // namespace kestreye
