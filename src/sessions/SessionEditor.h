#pragma once
// What the session list needs of the session editor dialog: one setter and one getter per
// setting, parent candidates, and a modal run. The dialog implements it; tests script it.
// Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ISessionEditor {
 public:
  virtual ~ISessionEditor() = default;

  virtual void SetName(const std::string& value) = 0;
  virtual std::string GetName() const = 0;
  virtual void SetLocalPath(const std::string& value) = 0;
  virtual std::string GetLocalPath() const = 0;
  virtual void SetRemotePath(const std::string& value) = 0;
  virtual std::string GetRemotePath() const = 0;
  virtual void SetSessionStarter(const std::string& value) = 0;
  virtual std::string GetSessionStarter() const = 0;
  virtual void SetCountdown(int32_t value) = 0;
  virtual int32_t GetCountdown() const = 0;
  virtual void SetDetectWait(int32_t value) = 0;
  virtual int32_t GetDetectWait() const = 0;
  virtual void SetSessionMode(const std::string& value) = 0;
  virtual std::string GetSessionMode() const = 0;
  virtual void SetRecurse(bool value) = 0;
  virtual bool GetRecurse() const = 0;
  virtual void SetHost(const std::string& value) = 0;
  virtual std::string GetHost() const = 0;
  virtual void SetPort(int32_t value) = 0;
  virtual int32_t GetPort() const = 0;
  virtual void SetUserName(const std::string& value) = 0;
  virtual std::string GetUserName() const = 0;
  virtual void SetPassword(const std::string& value) = 0;
  virtual std::string GetPassword() const = 0;
  virtual void SetTimeout(int32_t value) = 0;
  virtual int32_t GetTimeout() const = 0;
  virtual void SetAbortOnFailure(bool value) = 0;
  virtual bool GetAbortOnFailure() const = 0;
  virtual void SetPassiveMode(bool value) = 0;
  virtual bool GetPassiveMode() const = 0;
  virtual void AddParentCandidate(const std::string& name) = 0;
  virtual void SetParentSession(const std::string& value) = 0;
  virtual std::string GetParentSession() const = 0;
  virtual void SetCrcFile(const std::string& value) = 0;
  virtual std::string GetCrcFile() const = 0;
  virtual void SetTestMode(bool value) = 0;
  virtual bool GetTestMode() const = 0;
  virtual void SetDebugMode(bool value) = 0;
  virtual bool GetDebugMode() const = 0;

  // Shows the dialog modally; true when the user confirmed it.
  virtual bool ShowModal() = 0;
};

// Makes a fresh editor for each interactive add or edit.
using TSessionEditorFactory = std::function<std::unique_ptr<ISessionEditor>()>;
