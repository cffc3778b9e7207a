#include "remote/RemoteSettings.h"

#include "platform/DateTime.h"

int ConnectionWaitMilliseconds(int32_t ATimeoutSeconds) {
  constexpr int32_t LongestWaitSeconds = 5 * 60;
  const bool ownLimit = ATimeoutSeconds > 0 && ATimeoutSeconds < LongestWaitSeconds;
  return SecondsToMilliseconds(ownLimit ? ATimeoutSeconds : LongestWaitSeconds);
}
