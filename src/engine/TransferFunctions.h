#pragma once
// The four transfer functions, each a walk over the session's directories made of the run's
// actions (RunActions.h), and the table that picks one for a session's mode.

#include <array>
#include <cstddef>

#include "engine/SessionMode.h"

class TRunContext;
class TRunActions;

using TTransferFunction = void (*)(TRunContext& ARun, TRunActions& AActions);

void RunCopyLocalToRemote(TRunContext& ARun, TRunActions& AActions);
void RunCopyRemoteToLocal(TRunContext& ARun, TRunActions& AActions);
void RunSyncLocalToRemote(TRunContext& ARun, TRunActions& AActions);  // with its CRC store
void RunSyncRemoteToLocal(TRunContext& ARun, TRunActions& AActions);  // with its remote-state record

// Indexed by TSessionMode; no function for None.
inline constexpr std::array<TTransferFunction, 5> TransferFunctions = {
    nullptr, RunCopyLocalToRemote, RunCopyRemoteToLocal, RunSyncLocalToRemote, RunSyncRemoteToLocal};

inline TTransferFunction TransferFunctionOf(TSessionMode AMode) {
  return TransferFunctions[static_cast<size_t>(AMode)];
}
