#pragma once
// What the session list needs of the session editor dialog: the settings in and out, parent
// candidates, and a modal run. The dialog implements it; tests script it. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "sessions/SessionSettings.h"

class ISessionEditor {
 public:
  virtual ~ISessionEditor() = default;

  // Candidates are added first: SetSettings picks the parent session among them.
  virtual void AddParentCandidate(const std::string& name) = 0;
  virtual void SetSettings(const TSessionSettings& settings) = 0;
  virtual TSessionSettings GetSettings() const = 0;

  // Shows the dialog modally; true when the user confirmed it.
  virtual bool ShowModal() = 0;
};

// Makes a fresh editor for each interactive add or edit.
using TSessionEditorFactory = std::function<std::unique_ptr<ISessionEditor>()>;
