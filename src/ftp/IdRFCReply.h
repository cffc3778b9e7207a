#pragma once
// TIdRFCReply: one numbered reply of an FTP server.

#include <string>
#include <vector>

class TIdRFCReply {
 public:
  int NumericCode = 0;             // the code as a number; 0 when it is not one
  std::string TextCode;            // the code as text ("230")
  std::vector<std::string> Text;   // one entry per reply line, each from its fifth character on
  std::vector<std::string> Lines;  // the same lines whole (code included), blanks around trimmed

  // The Text lines, each followed by CR LF: the message of EIdProtocolReplyError.
  std::string TextWithLineEnds() const;
  void Clear();
};
