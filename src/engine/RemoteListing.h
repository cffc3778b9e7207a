#pragma once
// How a session lists a remote directory: the one way that runs and the editor's Test share.
// The connection picks the command (remote/RemoteConnection.h: exact times where the session
// asks for them, dot names where its exclude patterns make them ordinary names) and lists the
// directory whole; a file mask is applied here, never sent to the server.

#include <string>

#include "engine/ExcludeFilter.h"
#include "engine/RunSettings.h"
#include "remote/RemoteConnection.h"

// The request that lists APath (a directory ending in "/", or a directory and a file mask)
// as the session asks for it.
TListRequest SessionListRequest(const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                                const std::string& APath);

// AListed, what the connection gave for SessionListRequest(APath), into AListing less the
// names APath's mask does not match and those AExclude leaves out of ARelativeDir. True when
// AListed held a name beginning with "." (before exclusion): only then is the server known
// to show dot names.
bool FilterSessionListing(TRemoteListing AListed, const TExcludeFilter& AExclude, const std::string& APath,
                          const std::string& ARelativeDir, TRemoteListing& AListing);

// Lists APath, which the caller has entered, into AListing (left as it was when the listing
// fails): the two steps above.
bool ListSessionDirectory(TRemoteConnection& ARemote, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir, TRemoteListing& AListing);
