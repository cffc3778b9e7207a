#include "ftp/IdComponent.h"

std::string TIdComponent::StatusString(TIdStatus AStatus, const std::string& AText) {
  switch (AStatus) {
    case StatusResolving: return "Resolving hostname " + AText + ".";
    case StatusConnecting: return "Connecting to " + AText + ".";
    case StatusConnected: return "Connected.";
    case StatusDisconnecting: return "Disconnecting.";
    case StatusDisconnected: return "Disconnected.";
    case StatusText:
    case StatusTransfer:
    case StatusReady:
    case StatusAborted: return AText;
  }
  return AText;
}

void TIdComponent::DoStatus(TIdStatus AStatus, const std::string& AText) {
  if (OnStatus) OnStatus(this, AStatus, StatusString(AStatus, AText));
}
