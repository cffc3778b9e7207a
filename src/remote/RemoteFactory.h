#pragma once
// Makes the connection of a settings' protocol; not connected yet.

#include <memory>

#include "remote/RemoteConnection.h"
#include "remote/RemoteSettings.h"

std::unique_ptr<TRemoteConnection> MakeRemoteConnection(const TRemoteSettings& ASettings);
