#pragma once
// How a session lists a remote directory: the one way that runs and the editor's Test share.
// The connection picks the command (remote/RemoteConnection.h: exact times where the session
// asks for them, dot names where its exclude patterns make them ordinary names) and lists the
// directory whole; a file mask is applied here, never sent to the server.

#include <string>

#include "engine/ExcludeFilter.h"
#include "engine/RunSettings.h"
#include "remote/RemoteConnection.h"

// Lists APath (a directory ending in "/", or a directory and a file mask), which the caller
// has entered, into AListing (left as it was when the listing fails), less the entries
// AExclude leaves out of ARelativeDir. True when the listing held a name beginning with "."
// (before exclusion): only then is the server known to show dot names.
bool ListSessionDirectory(TRemoteConnection& ARemote, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir, TRemoteListing& AListing);
