#include "ui/CommandLine.h"

#include "platform/Text.h"
#include "sessions/SessionsUnit.h"

TCommandLine ReadCommandLine(const std::vector<std::string>& arguments) {
  TCommandLine line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string option = LowerAscii(arguments[i]);
    if (option == "/exit") {
      line.ExitWhenIdle = true;
    } else if (option == "/start") {
      line.StartOnLaunch = true;
    } else if (option == "/hide") {
      line.StartHidden = true;
    } else if (option == "/log") {
      line.LogEnabled = true;
    } else if (option == "/list") {
      line.ListSessions = true;
    } else if (option != "/force") {
      // The "/force" that qualifies a name is met again on its own turn and does nothing.
      const bool force = i + 1 < arguments.size() && LowerAscii(arguments[i + 1]) == "/force";
      line.CommandSessions.push_back({arguments[i], force});
    }
  }
  return line;
}
