#pragma once
// Session passwords in the desktop's keyring: the Secret Service or KWallet, through
// QtKeychain. An entry is found by the program, the folder of the settings file and the
// session's name (QtKeychain's service "zephlin:<folder>" and key "<name>").
//
// Every call waits for its answer at most the time it is given, on a thread of its own with
// its own event loop: a keyring that prompts for its password (locked), or a bus that never
// answers, holds the caller no longer, and the caller's own events do not run meanwhile, so
// nothing re-enters the session list. Callable from any thread.
//
// The program installs the desktop keyring at start-up; without one installed (tests, tools)
// passwords stay in the settings file.

#include <chrono>
#include <memory>
#include <string>

struct TKeyringEntry {
  std::string Folder;   // the folder of the settings file
  std::string Session;  // the session's name
};

class TPasswordKeyring {
 public:
  enum class TResult {
    Done,         // stored, or found
    NotFound,     // the keyring answered: no such entry
    Unavailable,  // no keyring, a locked one, a refusal or no answer in time
  };
  virtual ~TPasswordKeyring() = default;
  virtual TResult Store(const TKeyringEntry& entry, const std::string& password, std::chrono::milliseconds limit) = 0;
  virtual TResult Fetch(const TKeyringEntry& entry, std::string& password, std::chrono::milliseconds limit) = 0;
};

// The desktop's keyring through QtKeychain.
std::shared_ptr<TPasswordKeyring> MakeDesktopKeyring();

// The keyring new session lists use; none by default.
void SetPasswordKeyring(std::shared_ptr<TPasswordKeyring> keyring);
std::shared_ptr<TPasswordKeyring> PasswordKeyring();
