// The listing parser with every layout: the detected one, and each layout forced, on the
// same text. It must never throw, and every entry must come from a line of the text.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "ftp/IdFTPList.h"
#include "platform/DateTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput input(data, size);
  // The current date decides year-less Unix dates and the MS-DOS century window.
  const uint8_t clock = input.Byte();
  const TDateTime now = EncodeDate(1990 + clock % 60, 1 + clock % 12, 1 + clock % 28) + (clock % 24) / 24.0;
  const std::string text = input.Rest();
  const size_t lineCount = SplitListingLines(text).size();

  TIdFTPListItems items;
  ParseListing(text, now, items);
  FUZZ_CHECK(static_cast<size_t>(items.Count()) <= lineCount);
  for (TIdFTPListFormat format : {lfNone, lfDos, lfUnix, lfDiskPrefix, lfNamesOnly, lfUnknown, lfCustom, lfMlsd}) {
    ParseListing(text, format, now, items);
    FUZZ_CHECK(static_cast<size_t>(items.Count()) <= lineCount);
    for (const TIdFTPListItem& item : items) FUZZ_CHECK(item.RawLine.size() <= text.size());
  }
  return 0;
}
