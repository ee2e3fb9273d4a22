// The bus side of COleObjectFactory::UpdateRegistry: the activation file "<ProgID>.service" through
// which the bus starts the server.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/ole/environment.h"
#include "platform/ole/server.h"

namespace mivo::ole {
namespace {

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      const std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The Exec= value: the path as it is, or single-quoted when it holds characters that the bus would
// split or interpret.
std::string ExecValue(const std::string& path) {
  if (path.find_first_of(" \t\n'\"\\$`;&|<>()*?[]#~%") == std::string::npos) return path;
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

// The activation file decides the result; what the settings hive refused is ignored.
bool UpdateActivation(const COleObjectFactory& factory, const std::string& exe, bool bRegister,
                      bool /*class_entries_ok*/) {
  const std::string progid = AfxToUtf8(factory.GetProgID());
  const std::string dir = ActivationDirectory();
  const std::string file = dir + "/" + progid + ".service";
  if (!bRegister) return !dir.empty() && (::unlink(file.c_str()) == 0 || errno == ENOENT);
  return !exe.empty() && MakeDirectories(dir) &&
         WriteFileAtomically(file, "[D-BUS Service]\nName=" + progid + "\nExec=" + ExecValue(exe) + "\n");
}

}  // namespace mivo::ole
