// The exit-status table as help text.
#include "exit_status.h"

namespace txhost {

std::string ExitStatusHelp() {
  constexpr size_t kWidth = 96, kIndent = 7;
  std::string text = "\nExit status (every command):\n";
  for (const ExitStatusMeaning& entry : kExitStatusTable) {
    std::string number = std::to_string(entry.status);
    std::string line = "  " + number + std::string(kIndent - 2 - number.size(), ' ');
    std::string word;
    for (const char* at = entry.meaning;; ++at) {
      if (*at != ' ' && *at != '\0') {
        if (*at != '`') word.push_back(*at);
        continue;
      }
      if (line.size() + 1 + word.size() > kWidth) {
        text += line + "\n";
        line = std::string(kIndent, ' ');
      } else if (line.size() > kIndent) {
        line += " ";
      }
      line += word;
      word.clear();
      if (*at == '\0') break;
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace txhost
