#pragma once
// TRunEvent: what a run tells its session while it works, besides the status row. The row
// (connection, function, status) stays the words the reports and logs show; the typed events
// carry the numbers a front needs without reading those words: files done or failed with
// their bytes, what the run knows it will transfer, and the progress of the file in transfer.

#include <cstdint>
#include <string>

enum class TFileAction { Send, Fetch, DeleteRemote, DeleteLocal };

struct TRunEvent {
  enum class TKind {
    FileDone,    // Name was sent, fetched or deleted (Action), Bytes moved
    FileFailed,  // Name failed (Action); Text is the failure as reported
    Planned,     // the run now knows Files files of Bytes bytes that it will transfer in all
    Progress,    // Bytes of Total of the file Name have gone (Total 0: not known)
  };
  TKind Kind = TKind::Progress;
  TFileAction Action = TFileAction::Send;
  std::string Name;
  std::string Text;
  int64_t Bytes = 0;
  int64_t Total = 0;
  int64_t Files = 0;
};
