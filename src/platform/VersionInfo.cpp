#include "platform/VersionInfo.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/Text.h"

namespace {

constexpr const char* versionSection = ".zephlin_version";
constexpr const char* codePage = "04E4";

// The raw bytes of the version section of an ELF file; empty when there is none.
std::string ReadVersionSection(Elf* elf) {
  size_t namesIndex = 0;
  if (elf_kind(elf) != ELF_K_ELF || elf_getshdrstrndx(elf, &namesIndex) != 0) return {};
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section; section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (!gelf_getshdr(section, &header) || header.sh_type == SHT_NOBITS) continue;
    const char* name = elf_strptr(elf, namesIndex, header.sh_name);
    if (!name || std::strcmp(name, versionSection) != 0) continue;
    std::string bytes;
    for (Elf_Data* data = elf_getdata(section, nullptr); data; data = elf_getdata(section, data)) {
      if (data->d_buf) bytes.append(static_cast<const char*>(data->d_buf), data->d_size);
    }
    return bytes;
  }
  return {};
}

std::string ReadVersionSection(const std::string& path) {
  static std::once_flag initialised;
  static bool usable = false;
  std::call_once(initialised, [] { usable = elf_version(EV_CURRENT) != EV_NONE; });
  if (!usable || path.empty()) return {};

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string bytes;
  if (Elf* elf = elf_begin(fd, ELF_C_READ, nullptr)) {
    bytes = ReadVersionSection(elf);
    elf_end(elf);
  }
  close(fd);
  return bytes;
}

// Key and value pairs, each ended by NUL, up to an empty key. The first of a key wins; a
// pair cut off by the end of the section is left out.
std::map<std::string, std::string> ParseStringTable(const std::string& bytes) {
  std::map<std::string, std::string> table;
  size_t position = 0;
  while (position < bytes.size()) {
    const size_t keyEnd = bytes.find('\0', position);
    if (keyEnd == std::string::npos || keyEnd == position) break;
    const size_t valueEnd = bytes.find('\0', keyEnd + 1);
    if (valueEnd == std::string::npos) break;
    table.emplace(LowerAscii(bytes.substr(position, keyEnd - position)),
                  bytes.substr(keyEnd + 1, valueEnd - keyEnd - 1));
    position = valueEnd + 1;
  }
  return table;
}

}  // namespace

void TEPInfoExe::ReadInfo() {
  const std::map<std::string, std::string> table = ParseStringTable(ReadVersionSection(ExeName));
  const std::string prefix = "StringFileInfo\\" + LangId + codePage + "\\";
  auto value = [&](const char* key) {
    auto found = table.find(LowerAscii(prefix + key));
    return found == table.end() ? std::string() : found->second;
  };
  companyName_ = value("CompanyName");
  fileDescription_ = value("FileDescription");
  fileVersion_ = value("FileVersion");
  internalName_ = value("InternalName");
  legalCopyright_ = value("LegalCopyright");
  legalTradeMarks_ = value("LegalTradeMarks");
  originalFilename_ = value("OriginalFilename");
  productName_ = value("ProductName");
  productVersion_ = value("ProductVersion");
  comments_ = value("Comments");
}
