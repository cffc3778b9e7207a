#pragma once
// TEPInfoExe reads the string values of an executable's version block: the table that the
// build links into every executable of this program (cmake/VersionBlock.cmake), in the ELF
// section ".zephlin_version". Each user makes a reader, sets ExeName and LangId, calls
// ReadInfo and takes the values; any thread may do so with a reader of its own.

#include <string>

// The maker as the program names itself (the same name stands in the version block).
inline constexpr const char* ProgramMaker = "Zephlin Workshop";

class TEPInfoExe {
 public:
  // Four hexadecimal digits: the language part of the string-table key.
  std::string LangId = "040C";
  // Path of the executable whose block is read.
  std::string ExeName;

  // Fills the values below from the table of LangId (code page 04E4) in ExeName's block.
  // A file without a block, one that cannot be read, another language or a missing key leave
  // the values concerned empty.
  void ReadInfo();

  const std::string& CompanyName() const { return companyName_; }
  const std::string& FileDescription() const { return fileDescription_; }
  const std::string& FileVersion() const { return fileVersion_; }
  const std::string& InternalName() const { return internalName_; }
  const std::string& LegalCopyright() const { return legalCopyright_; }
  const std::string& LegalTradeMarks() const { return legalTradeMarks_; }
  const std::string& OriginalFilename() const { return originalFilename_; }
  const std::string& ProductName() const { return productName_; }
  const std::string& ProductVersion() const { return productVersion_; }
  const std::string& Comments() const { return comments_; }

 private:
  std::string companyName_, fileDescription_, fileVersion_, internalName_, legalCopyright_, legalTradeMarks_,
      originalFilename_, productName_, productVersion_, comments_;
};
