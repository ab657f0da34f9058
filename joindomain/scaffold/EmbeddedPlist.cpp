#include "EmbeddedPlist.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <span>
#include <vector>

#include "platform/archive/Plist.h"

namespace helperscaffold {

namespace {

constexpr size_t kMaxSectionBytes = 1u << 20;
constexpr size_t kMaxSections = 4096;

bool readAt(int fd, void* buffer, size_t size, off_t offset) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::pread(fd, out, size, offset);
        if (n <= 0) return false;
        out += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

std::optional<std::vector<char>> sectionBytes(int fd, off_t fileSize, const std::string& name) {
    Elf64_Ehdr header{};
    if (!readAt(fd, &header, sizeof header, 0)) return std::nullopt;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 || header.e_shnum > kMaxSections ||
        header.e_shstrndx >= header.e_shnum)
        return std::nullopt;
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    const size_t tableBytes = sections.size() * sizeof(Elf64_Shdr);
    if (header.e_shoff > static_cast<uint64_t>(fileSize) ||
        tableBytes > static_cast<uint64_t>(fileSize) - header.e_shoff ||
        !readAt(fd, sections.data(), tableBytes, static_cast<off_t>(header.e_shoff)))
        return std::nullopt;
    auto contents = [&](const Elf64_Shdr& s) -> std::optional<std::vector<char>> {
        if (s.sh_type == SHT_NOBITS || s.sh_size > kMaxSectionBytes ||
            s.sh_offset > static_cast<uint64_t>(fileSize) ||
            s.sh_size > static_cast<uint64_t>(fileSize) - s.sh_offset)
            return std::nullopt;
        std::vector<char> bytes(s.sh_size);
        if (!bytes.empty() && !readAt(fd, bytes.data(), bytes.size(), static_cast<off_t>(s.sh_offset)))
            return std::nullopt;
        return bytes;
    };
    auto names = contents(sections[header.e_shstrndx]);
    if (!names) return std::nullopt;
    for (const Elf64_Shdr& s : sections) {
        if (s.sh_name >= names->size()) continue;
        const char* at = names->data() + s.sh_name;
        const size_t left = names->size() - s.sh_name;
        if (strnlen(at, left) == left || name != at) continue;
        return contents(s);
    }
    return std::nullopt;
}

}  // namespace

std::optional<archive::Value> embeddedPlist(const std::string& executable, const std::string& section) {
    int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::vector<char>> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes = sectionBytes(fd, st.st_size, section);
    ::close(fd);
    if (!bytes) return std::nullopt;
    // The text ends at its terminating zero.
    size_t length = strnlen(bytes->data(), bytes->size());
    return archive::parsePlist(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes->data()), length));
}

std::optional<std::string> embeddedVersion(const std::string& executable) {
    std::optional<archive::Value> info = embeddedPlist(executable, kInfoPlistSection);
    const archive::Value* version = info ? info->find("CFBundleShortVersionString") : nullptr;
    if (!version || !version->string()) return std::nullopt;
    return *version->string();
}

}  // namespace helperscaffold
