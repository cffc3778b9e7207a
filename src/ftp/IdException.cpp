#include "ftp/IdException.h"

#include "platform/Socket.h"

EIdSocketError::EIdSocketError(int lastError) : EIdException(SocketErrorMessage(lastError)), LastError(lastError) {}
