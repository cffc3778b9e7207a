#include "ui/SessionListing.h"

#include <cstdio>

#include "platform/Text.h"
#include "sessions/RunRecord.h"
#include "sessions/SessionsUnit.h"

std::string SessionListing(const TSessions& sessions, const std::unordered_map<std::string, TRunRecord>& lastRuns) {
  std::string listing;
  for (int32_t index = 0; index < sessions.Count(); ++index) {
    const TSessionSettings& settings = sessions.GetSession(index)->Settings;
    const auto last = lastRuns.find(LowerAscii(settings.Name));
    std::string outcome = "never";
    std::string when = "-";
    if (last != lastRuns.end()) {
      outcome = last->second.Outcome + (last->second.Test ? " (test)" : "");
      when = last->second.End;
    }
    listing += settings.Name + "\t" + SessionModeKeyword(settings.SessionMode) + "\t" + settings.SessionStarter + "\t" +
               outcome + "\t" + when + "\n";
  }
  return listing;
}

int ListSessionsToStandardOutput() {
  const TSessions sessions;
  const std::string listing = SessionListing(sessions, ReadLastRuns(RunRecordFileName()));
  std::fputs(listing.c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
