#pragma once
// The command line: "/exit", "/start", "/hide", "/log", "/list", "/force" and session names. Options
// match as whole arguments after folding A to Z to lower case; every other argument names a
// session, forced when the argument right after it is "/force". Pure: no I/O, no Qt.

#include <string>
#include <vector>

struct TCommandSession {
  std::string SessionName;  // the argument unchanged
  bool Force = false;
};

struct TCommandLine {
  bool ExitWhenIdle = false;
  bool StartOnLaunch = false;
  bool StartHidden = false;
  bool LogEnabled = false;
  bool ListSessions = false;                     // print the sessions and end; nothing else is done
  std::vector<TCommandSession> CommandSessions;  // in the order given
};

// arguments: the program's arguments without the program name.
TCommandLine ReadCommandLine(const std::vector<std::string>& arguments);
