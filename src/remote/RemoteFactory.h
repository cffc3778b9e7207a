#pragma once
// Makes the connection of a settings' protocol; not connected yet.

#include <functional>
#include <memory>

#include "remote/RemoteConnection.h"
#include "remote/RemoteSettings.h"

std::unique_ptr<TRemoteConnection> MakeRemoteConnection(const TRemoteSettings& ASettings);

// A maker of connections, for those who hand one in (tests give a run an in-memory tree).
using TRemoteConnectionMaker = std::function<std::unique_ptr<TRemoteConnection>(const TRemoteSettings&)>;
