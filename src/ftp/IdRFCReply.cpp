#include "ftp/IdRFCReply.h"

std::string TIdRFCReply::TextWithLineEnds() const {
  std::string result;
  for (const std::string& line : Text) {
    result += line;
    result += "\r\n";
  }
  return result;
}

void TIdRFCReply::Clear() {
  NumericCode = 0;
  TextCode.clear();
  Text.clear();
  Lines.clear();
}
