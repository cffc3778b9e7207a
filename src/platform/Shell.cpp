#include "platform/Shell.h"

#include <mutex>

namespace {
std::mutex handlerMutex;
TOpenHandler openHandler;
}  // namespace

void OpenWithAssociatedProgram(const std::string& path) {
  TOpenHandler handler;
  {
    std::lock_guard lock(handlerMutex);
    handler = openHandler;
  }
  if (handler) handler(path);
}

void SetOpenHandler(TOpenHandler handler) {
  std::lock_guard lock(handlerMutex);
  openHandler = std::move(handler);
}
