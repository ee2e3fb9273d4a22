// The conversion of an Access database into an SQLite database, shared by `mivoctl db convert` and
// `mivoctl db migrate`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mivoctl {

struct ConvertOptions {
  bool force = false;   // replace an existing target
  bool strict = false;  // a warning is an error
  bool quiet = false;   // no progress on stderr
};

struct ConvertSummary {
  std::string format;  // "Jet 4 (Access 2000-2003)", ...
  std::size_t tables = 0;
  std::uint64_t rows = 0;
  std::vector<std::string> warnings;  // as printed on stderr
  double seconds = 0;
};

// Converts the Access file `access` into a new SQLite database at `target`: written into a temporary
// file beside it, checked (row counts per table) and renamed over `target` at the end. Throws ToolError
// (exit code 1) when it fails, with or without --strict's warnings, leaving `target` as it was and no
// temporary file. Warnings are printed on stderr as they arise.
ConvertSummary ConvertAccess(const std::string& access, const std::string& target,
                             const ConvertOptions& options);

// Whether the file at `path` starts like an Access database (a Jet or ACE header).
bool LooksLikeAccess(const std::string& path);

// The subcommands `mivoctl db convert ...` and `mivoctl db migrate ...` (the words after their name).
int RunConvert(const std::vector<std::string>& args);
int RunMigrate(const std::vector<std::string>& args);

}  // namespace mivoctl
