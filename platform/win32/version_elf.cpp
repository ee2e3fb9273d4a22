// Finding the version block in an ELF file: the content of the section MIVO_VERSION_SECTION. Every value
// taken from the file is checked against the file's size before it is used as an offset or a count.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/version_internal.h"
#include "platform/win32/winbase.h"

namespace mivo::version {
namespace {

// Largest section header table read (far beyond any real executable); a larger one counts as malformed.
constexpr std::uint64_t kMaxSectionTableBytes = 16u << 20;
constexpr char kSectionName[] = MIVO_VERSION_SECTION;
constexpr char16_t kRootKey[] = u"VS_VERSION_INFO";

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A field of an ELF structure: where it lies and how wide it is.
struct Field {
  std::size_t offset;
  std::size_t width;
};
#define MIVO_ELF_FIELD(type, member) \
  Field { offsetof(type, member), sizeof(type::member) }

// Where the fields this reader needs lie in the headers of one ELF class.
struct ElfLayout {
  std::size_t header_size;
  Field shoff, shentsize, shnum, shstrndx;
  std::size_t section_header_size;
  Field name, type, offset, size, link;
};

constexpr ElfLayout kElf32{sizeof(Elf32_Ehdr),
                           MIVO_ELF_FIELD(Elf32_Ehdr, e_shoff),
                           MIVO_ELF_FIELD(Elf32_Ehdr, e_shentsize),
                           MIVO_ELF_FIELD(Elf32_Ehdr, e_shnum),
                           MIVO_ELF_FIELD(Elf32_Ehdr, e_shstrndx),
                           sizeof(Elf32_Shdr),
                           MIVO_ELF_FIELD(Elf32_Shdr, sh_name),
                           MIVO_ELF_FIELD(Elf32_Shdr, sh_type),
                           MIVO_ELF_FIELD(Elf32_Shdr, sh_offset),
                           MIVO_ELF_FIELD(Elf32_Shdr, sh_size),
                           MIVO_ELF_FIELD(Elf32_Shdr, sh_link)};
constexpr ElfLayout kElf64{sizeof(Elf64_Ehdr),
                           MIVO_ELF_FIELD(Elf64_Ehdr, e_shoff),
                           MIVO_ELF_FIELD(Elf64_Ehdr, e_shentsize),
                           MIVO_ELF_FIELD(Elf64_Ehdr, e_shnum),
                           MIVO_ELF_FIELD(Elf64_Ehdr, e_shstrndx),
                           sizeof(Elf64_Shdr),
                           MIVO_ELF_FIELD(Elf64_Shdr, sh_name),
                           MIVO_ELF_FIELD(Elf64_Shdr, sh_type),
                           MIVO_ELF_FIELD(Elf64_Shdr, sh_offset),
                           MIVO_ELF_FIELD(Elf64_Shdr, sh_size),
                           MIVO_ELF_FIELD(Elf64_Shdr, sh_link)};
#undef MIVO_ELF_FIELD

// Reads ranges of one open file, refusing any range that does not lie wholly inside it.
class ElfReader {
 public:
  ElfReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  std::uint64_t size() const { return size_; }
  bool InFile(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  // Reads `length` bytes at `offset`; false when the range leaves the file or the read fails.
  bool Read(std::uint64_t offset, void* out, std::size_t length) const {
    if (!InFile(offset, length)) return false;
    auto* bytes = static_cast<BYTE*>(out);
    while (length > 0) {
      const ssize_t n = ::pread(fd_, bytes, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      offset += static_cast<std::uint64_t>(n);
      length -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

std::uint64_t Decode(const BYTE* record, Field field, bool bigEndian) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < field.width; ++i) {
    const std::size_t at = bigEndian ? i : field.width - 1 - i;
    value = (value << 8) | record[field.offset + at];
  }
  return value;
}

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

// The content of the version section of the ELF file behind `reader`.
DWORD ReadVersionSection(const ElfReader& reader, std::vector<BYTE>& content) {
  BYTE ident[EI_NIDENT];
  if (!reader.Read(0, ident, sizeof ident)) return ERROR_BAD_EXE_FORMAT;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_VERSION] != EV_CURRENT)
    return ERROR_BAD_EXE_FORMAT;
  const ElfLayout* layout = ident[EI_CLASS] == ELFCLASS32   ? &kElf32
                            : ident[EI_CLASS] == ELFCLASS64 ? &kElf64
                                                            : nullptr;
  if (layout == nullptr) return ERROR_BAD_EXE_FORMAT;
  if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB) return ERROR_BAD_EXE_FORMAT;
  const bool big = ident[EI_DATA] == ELFDATA2MSB;

  std::vector<BYTE> header(layout->header_size);
  if (!reader.Read(0, header.data(), header.size())) return ERROR_BAD_EXE_FORMAT;
  const std::uint64_t tableOffset = Decode(header.data(), layout->shoff, big);
  const std::uint64_t entrySize = Decode(header.data(), layout->shentsize, big);
  std::uint64_t count = Decode(header.data(), layout->shnum, big);
  std::uint64_t namesIndex = Decode(header.data(), layout->shstrndx, big);
  if (tableOffset == 0) return ERROR_RESOURCE_TYPE_NOT_FOUND;  // no section headers at all
  if (entrySize < layout->section_header_size) return ERROR_BAD_EXE_FORMAT;

  std::vector<BYTE> section(layout->section_header_size);
  if (count == 0 || namesIndex == SHN_XINDEX) {
    // Large counts live in the first section header.
    if (!reader.Read(tableOffset, section.data(), section.size())) return ERROR_BAD_EXE_FORMAT;
    if (count == 0) count = Decode(section.data(), layout->size, big);
    if (namesIndex == SHN_XINDEX) namesIndex = Decode(section.data(), layout->link, big);
  } else if (namesIndex >= SHN_LORESERVE) {
    return ERROR_BAD_EXE_FORMAT;
  }
  if (count == 0 || namesIndex == SHN_UNDEF) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (tableOffset > reader.size() || count > (reader.size() - tableOffset) / entrySize) {
    return ERROR_BAD_EXE_FORMAT;
  }
  if (count * entrySize > kMaxSectionTableBytes || namesIndex >= count) return ERROR_BAD_EXE_FORMAT;
  std::vector<BYTE> table(static_cast<std::size_t>(count * entrySize));
  if (!reader.Read(tableOffset, table.data(), table.size())) return ERROR_BAD_EXE_FORMAT;
  auto entry = [&](std::uint64_t index) { return table.data() + index * entrySize; };

  const BYTE* names = entry(namesIndex);
  if (Decode(names, layout->type, big) == SHT_NOBITS) return ERROR_BAD_EXE_FORMAT;
  const std::uint64_t namesOffset = Decode(names, layout->offset, big);
  const std::uint64_t namesSize = Decode(names, layout->size, big);
  if (!reader.InFile(namesOffset, namesSize)) return ERROR_BAD_EXE_FORMAT;

  for (std::uint64_t i = 0; i < count; ++i) {
    const BYTE* candidate = entry(i);
    const std::uint64_t nameOffset = Decode(candidate, layout->name, big);
    if (nameOffset >= namesSize || namesSize - nameOffset < sizeof kSectionName) continue;
    char name[sizeof kSectionName];
    if (!reader.Read(namesOffset + nameOffset, name, sizeof name)) return ERROR_BAD_EXE_FORMAT;
    if (std::memcmp(name, kSectionName, sizeof name) != 0) continue;

    if (Decode(candidate, layout->type, big) == SHT_NOBITS) return ERROR_RESOURCE_DATA_NOT_FOUND;
    const std::uint64_t offset = Decode(candidate, layout->offset, big);
    const std::uint64_t size = Decode(candidate, layout->size, big);
    if (!reader.InFile(offset, size)) return ERROR_BAD_EXE_FORMAT;
    // A block's wLength is a WORD: nothing past the first 64 KiB can belong to it.
    content.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, 0xFFFF)));
    if (!reader.Read(offset, content.data(), content.size())) return ERROR_BAD_EXE_FORMAT;
    return ERROR_SUCCESS;
  }
  return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

}  // namespace

DWORD ReadVersionBlockFromFile(const std::string& path, std::vector<BYTE>& block) {
  block.clear();
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return OpenError(errno);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return OpenError(errno);
  if (!S_ISREG(status.st_mode)) return ERROR_BAD_EXE_FORMAT;  // no waiting on a pipe or device

  std::vector<BYTE> content;
  const DWORD error =
      ReadVersionSection(ElfReader(fd.get(), static_cast<std::uint64_t>(status.st_size)), content);
  if (error != ERROR_SUCCESS) return error;

  VersionNode root;
  if (!FindVersionNode(content.data(), content.size(), u"", root)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  const std::u16string_view key(kRootKey);
  bool named = root.key_chars == key.size();
  for (std::size_t i = 0; named && i < key.size(); ++i) {
    char16_t c;
    std::memcpy(&c, content.data() + root.key + 2 * i, sizeof c);
    named = c == key[i];
  }
  if (!named) return ERROR_RESOURCE_DATA_NOT_FOUND;
  content.resize(root.end);
  block = std::move(content);
  return ERROR_SUCCESS;
}

}  // namespace mivo::version
