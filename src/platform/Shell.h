#pragma once
// "Open with the associated program": one function whose implementation the user interface
// installs at start-up. Until then, and without a display, it does nothing.

#include <functional>
#include <string>

using TOpenHandler = std::function<void(const std::string& path)>;

void OpenWithAssociatedProgram(const std::string& path);

// Installs the implementation (the UI's desktop service, or a recorder in tests). An empty
// handler restores the do-nothing default. Install it before worker threads start.
void SetOpenHandler(TOpenHandler handler);
