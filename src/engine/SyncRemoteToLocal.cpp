// "syncremotetolocal": makes the local directory the same as the remote one. New remote
// files are fetched, files whose listed time differs from the local one (to the minute) are
// fetched again, and local files the server no longer lists are deleted. Names match
// without regard to the case of ASCII letters; read-only and hidden local entries are never
// touched, and local directories are never deleted.

#include <cstdio>

#include "engine/NameIndex.h"
#include "engine/SessionThreadUnit.h"
#include "engine/TransferPaths.h"
#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"
#include "platform/FileSystem.h"

namespace {

bool IsProtected(const TSearchRec& entry) { return (entry.Attr & (faReadOnly | faHidden)) != 0; }

// A day count in general notation with up to 15 significant digits (39097.6284722222).
std::string DayCountText(TDateTime value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15G", value);
  return text;
}

}  // namespace

void TSessionThread::SyncRemoteToLocal(const std::string& ARemotePath, const std::string& ALocalPath) {
  SendStatus("Synchronise", "");
  const std::string remoteDir = WithTrailingSlash(ToSlashes(ARemotePath));
  const std::string localDir = WithTrailingSlash(ToSlashes(ALocalPath));
  if (!EnterRemoteDirectory(remoteDir, "EXCEPTION: ") && Settings.AbortOnFailure) return;
  ForceDirectories(localDir);  // a failure shows in the fetches into it

  const std::vector<TSearchRec> snapshot = FindFiles(localDir, "*.*");
  LogLines({localDir + " contains " + std::to_string(snapshot.size()) + " entries"});
  const int count = ListRemoteDirectory(remoteDir);
  SendStatus("List", std::to_string(count) + " entries");
  LogLines({remoteDir + " contains " + std::to_string(count) + " entries"});

  const TIdFTPListItems& listing = Client().ListingItems();
  const bool listingUnderstood = ListingUnderstood();
  TNameIndex localNames;
  for (size_t i = 0; i < snapshot.size(); ++i) localNames.Add(LowerAscii(snapshot[i].Name), i);
  TNameIndex remoteNames;
  for (int i = 0; i < listing.Count(); ++i) remoteNames.Add(LowerAscii(listing[i].ItemName), static_cast<size_t>(i));

  SendStatus("New files", "Searching");
  for (const TIdFTPListItem& item : listing) {
    if (Terminated()) return;
    if (item.ItemKind != ikFile || localNames.Contains(LowerAscii(item.ItemName))) continue;
    if (IsUnsafeLocalName(item.ItemName)) {
      ReportUnsafeName(item.ItemName);
      continue;
    }
    SendStatus("New files", "Set binary mode");
    Client().SetBinaryMode();
    SendStatus("New files", item.ItemName);
    try {
      SetCurrentFile(item.ItemName, item.ItemSize);
      LogLines({"NEW FILE: " + remoteDir + item.ItemName, "GET: " + remoteDir + item.ItemName,
                "   : " + localDir + item.ItemName});
      FetchFile(item.ItemName, localDir + item.ItemName, false, item.ModifiedTime);
    } catch (const std::exception& error) {
      ReportFailure(error);
      if (Settings.AbortOnFailure) return;
    }
  }

  SendStatus("Changed files", "Searching");
  for (const TIdFTPListItem& item : listing) {
    if (Terminated()) return;
    if (item.ItemKind != ikFile) continue;
    for (size_t position : localNames.Positions(LowerAscii(item.ItemName))) {
      const TSearchRec& entry = snapshot[position];
      if (IsProtected(entry) || (entry.Attr & faDirectory) != 0) continue;
      // The local file of that name in whatever letter case it has: the same file.
      const std::string localFile = localDir + entry.Name;
      const TDateTime localTime = TruncateToMinute(GetLocalFileTime(localFile));
      const TDateTime remoteTime = TruncateToMinute(item.ModifiedTime);
      if (localTime == remoteTime) continue;
      try {
        LogLines({item.ItemName + " : Local=" + DayCountText(localTime) + " Remote=" + DayCountText(remoteTime)});
        LogLines({"GET: " + remoteDir + item.ItemName, "   : " + localFile});
        UnlessTestMode([&] {
          SetCurrentFile(item.ItemName, item.ItemSize);
          SendStatus("Changed files", "Set binary mode");
          Client().SetBinaryMode();
          SendStatus("Changed files", item.ItemName);
          FetchFile(item.ItemName, localFile, true, item.ModifiedTime);
        });
      } catch (const std::exception& error) {
        ReportFailure(error);
        if (Settings.AbortOnFailure) return;
      }
    }
  }

  SendStatus("Deleted files", "Searching");
  if (!listingUnderstood) {
    // Files the listing failed to show are not gone from the server.
    ReportFailureText("Listing not understood; no local files deleted");
  } else {
    for (const TSearchRec& entry : snapshot) {
      if (Terminated()) return;
      if ((entry.Attr & faDirectory) != 0 || IsProtected(entry)) continue;
      if (remoteNames.Contains(LowerAscii(entry.Name))) continue;
      SendStatus("Deleted files", entry.Name);
      try {
        LogLines({"DELETE: " + localDir + entry.Name});
        DeleteLocalFile(localDir + entry.Name);
      } catch (const std::exception& error) {
        ReportFailure(error);
        if (Settings.AbortOnFailure) return;
      }
    }
  }

  if (!Settings.Recurse) return;
  // Collected first: each level lists anew, which replaces this listing.
  for (const std::string& name : RemoteSubdirectories(listing)) {
    SyncRemoteToLocal(remoteDir + name, localDir + name);
    if (Terminated()) return;
  }
}
