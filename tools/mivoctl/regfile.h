// The .reg file reader of `mivoctl reg import` and writer of `mivoctl reg export`, and the text and
// key-path helpers the reg subcommand shares with them.
//
// Reader and writer only work in memory: they never touch a hive or a file. A file the reader cannot
// accept is a RegFileError whose what() is "FILE:LINE: <why>; nothing was imported"; a name the writer
// cannot put in a file is a RegFileError that names the key.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32/winreg.h"

namespace mivoctl {

class RegFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Text -----------------------------------------------------------------------------------------------

// ASCII letters only, as registry names compare.
bool EqualsNoCase(const std::u16string& a, const std::u16string& b);
bool EqualsNoCase(const std::string& a, const char* b);
// TRUE when text[at...] starts with `prefix` (ASCII, any letter case); at may be text.size().
bool StartsWithNoCase(const std::u16string& text, std::size_t at, const char* prefix);
// Without trailing spaces, tabs and carriage returns.
std::u16string TrimRight(std::u16string s);
// The first index at or after i that is not a space or tab (s.size() when there is none).
std::size_t SkipSpaces(const std::u16string& s, std::size_t i);
bool HasLoneSurrogate(const std::u16string& s);
bool HasLineBreak(const std::u16string& s);
// Strict UTF-8 to UTF-16; nullopt at the first invalid sequence (*badOffset tells where).
std::optional<std::u16string> DecodeUtf8(const std::string& bytes, std::size_t* badOffset);
// Little-endian UTF-16 code units of a byte string (an odd last byte is dropped), and back.
std::u16string UnitsOf(const std::string& data);
std::string BytesOf(const std::u16string& units);

// ---- Key paths: ROOT[\subkey...] with the short or long root names ----------------------------------

struct KeyPath {
  HKEY root;
  std::u16string root_name;  // the long name
  std::u16string subkey;     // without leading or trailing backslashes; empty for the root itself
  int line = 0;              // where an imported path came from

  std::u16string Full() const { return subkey.empty() ? root_name : root_name + u"\\" + subkey; }
};

// nullopt for a root other than HKLM, HKCU, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER.
std::optional<KeyPath> ParseKeyPath(const std::u16string& text);

// ---- .reg files -------------------------------------------------------------------------------------

// One change of an import, in file order. For kSetValue, `data` holds the value's bytes as stored.
struct ImportStep {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
  KeyPath key;
  std::u16string name;
  DWORD type = 0;
  std::string data;
  int line = 0;
};

// The file's text, from UTF-16LE with BOM or UTF-8 with or without BOM. `file` only names the file in
// errors. Throws RegFileError.
std::u16string DecodeRegFile(const std::string& file, const std::string& bytes);
// The changes a "Windows Registry Editor Version 5.00" or REGEDIT4 text asks for. Throws RegFileError at
// the first line it cannot accept.
std::vector<ImportStep> ParseRegFile(const std::string& file, const std::u16string& text);

// A "Windows Registry Editor Version 5.00" file as the registry editor exports it, built key by key: each
// key line is followed by the key's values and a blank line. A REG_SZ that one quoted string reproduces
// is "text", a 4-byte REG_DWORD dword:xxxxxxxx, anything else hex: (REG_BINARY) or hex(TYPE): bytes,
// wrapped to lines within 80 columns. The file is UTF-16LE with BOM and CRLF line ends, or with `utf8`
// UTF-8 without BOM and LF.
class RegFileWriter {
 public:
  explicit RegFileWriter(bool utf8);
  // Starts the key `full` (ROOT\subkey). Throws RegFileError when the name holds a line break or, in
  // UTF-8, a lone surrogate.
  void Key(const std::u16string& full);
  // A value of the key last started. Throws RegFileError when its name holds a line break or, in UTF-8, a
  // lone surrogate.
  void Value(const std::u16string& name, DWORD type, const std::string& data);
  // The file as written so far, encoded.
  std::string Bytes() const;

 private:
  bool utf8_;
  std::u16string newline_;
  std::u16string text_;
  std::u16string key_;
};

}  // namespace mivoctl
