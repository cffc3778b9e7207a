#pragma once
// TIdComponent: the base of the client's classes; it holds the status event.
// Status values, work modes and the event types of the FTP client live here too.

#include <cstdint>
#include <functional>
#include <string>

enum TIdStatus {
  StatusResolving = 0,      // "Resolving hostname %s."
  StatusConnecting = 1,     // "Connecting to %s."
  StatusConnected = 2,      // "Connected."
  StatusDisconnecting = 3,  // "Disconnecting."
  StatusDisconnected = 4,   // "Disconnected."
  StatusText = 5,           // "%s"
  StatusTransfer = 6,       // "%s" ("Starting FTP transfer")
  StatusReady = 7,          // "%s" ("Transfer complete", "Connection established")
  StatusAborted = 8,        // "%s" ("Transfer aborted")
};

enum TWorkMode { WorkRead = 0, WorkWrite = 1 };

class TIdComponent;

using TIdStatusEvent = std::function<void(TIdComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TIdNotifyEvent = std::function<void(TIdComponent* ASender)>;
using TWorkBeginEvent = std::function<void(TIdComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TIdComponent* ASender, TWorkMode AWorkMode, int64_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TIdComponent* ASender, TWorkMode AWorkMode)>;

class TIdComponent {
 public:
  TIdComponent() = default;
  TIdComponent(const TIdComponent&) = delete;
  TIdComponent& operator=(const TIdComponent&) = delete;
  virtual ~TIdComponent() = default;

  TIdStatusEvent OnStatus;

  // Formats the status text (the host or address for 0 and 1, AText for 5 to 8) and raises
  // OnStatus when it is set.
  void DoStatus(TIdStatus AStatus, const std::string& AText = std::string());
  static std::string StatusString(TIdStatus AStatus, const std::string& AText);
};
