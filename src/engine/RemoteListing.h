#pragma once
// How a session lists a remote directory: the one choice of listing command that runs and the
// editor's Test share.
//
// - MLSD when the session asks for exact times and the server's features name MLST;
// - LIST "-a" when its exclude patterns make dot names ordinary names (servers such as vsftpd
//   hide them from a plain LIST), or a plain LIST where "-a" proves to be read as a name;
// - else LIST with the path's directory.
// Each lists the directory whole (MLSD and "-a" the one the caller has entered: some servers
// read "-a path" as one name); a file mask is applied here, never sent to the server.

#include <string>

#include "engine/ExcludeFilter.h"
#include "engine/RunSettings.h"

class TIdFTP;
class TIdFTPListItems;

// Lists APath (a directory ending in "/", or a directory and a file mask), which the caller
// has entered, and removes the entries AExclude leaves out of ARelativeDir; the entries are
// AClient.ListingItems(). True when the listing held a name beginning with "." (before
// exclusion): only then is the server known to show dot names.
bool ListSessionDirectory(TIdFTP& AClient, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir);
