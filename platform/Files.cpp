#include "platform/Files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace platform {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int error, const std::string& what, const fs::path& path) {
    throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

// Closes on every path out, so a failed write leaks no descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Returns close()'s result: on some file systems a write error only shows up here.
    int close() {
        if (fd_ < 0)
            return 0;
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

mode_t permissionsFor(const fs::path& path, std::optional<fs::perms> mode) {
    if (mode)
        return static_cast<mode_t>(*mode) & 07777;
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0)
        return old.st_mode & 07777;
    return 0644;
}

std::optional<fs::path> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/')
        return std::nullopt;
    return fs::path(value);
}

fs::path home() {
    if (auto variable = absoluteVariable("HOME"))
        return *variable;
    std::string buffer(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return fs::path(found->pw_dir);
    return fs::path("/");
}

}  // namespace

void writeFileAtomically(const fs::path& path, std::span<const std::uint8_t> bytes,
                         std::optional<fs::perms> mode) {
    if (!path.has_filename())
        fail(EISDIR, "writeFileAtomically: no file name in", path);
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();

    Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0)
        fail(errno, "writeFileAtomically: cannot create a temporary file for", path);
    auto abandon = [&](const char* step) {
        const int error = errno;
        file.close();  // a second failure changes nothing
        ::unlink(temporary.c_str());
        fail(error, std::string("writeFileAtomically: ") + step, path);
    };
    // fchmod, unlike the mode given at creation, is not narrowed by the umask: the old file's
    // permissions come back exactly.
    if (::fchmod(file.get(), permissionsFor(path, mode)) != 0)
        abandon("cannot set the permissions of");
    if (!writeAll(file.get(), bytes.data(), bytes.size()))
        abandon("cannot write");
    if (::fsync(file.get()) != 0)
        abandon("cannot flush");
    if (file.close() != 0)
        abandon("cannot close");
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        abandon("cannot replace");

    // The rename is durable only once the folder is on disk too. A failure here is not reported: the
    // new contents are already in place, and an error would tell the caller the old ones still are.
    Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
}

void writeFileAtomically(const fs::path& path, std::string_view text, std::optional<fs::perms> mode) {
    writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                        mode);
}

std::optional<std::vector<std::uint8_t>> readFile(const fs::path& path) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        fail(errno, "readFile: cannot open", path);
    }
    struct stat info {};
    std::vector<std::uint8_t> contents;
    if (::fstat(file.get(), &info) == 0 && info.st_size > 0)
        contents.reserve(static_cast<std::size_t>(info.st_size));
    // Read to the end rather than trusting the size: files in /proc and /sys report 0.
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, "readFile: cannot read", path);
        }
        if (count == 0)
            return contents;
        contents.insert(contents.end(), chunk, chunk + count);
    }
}

fs::path xdgDataHome() {
    if (auto variable = absoluteVariable("XDG_DATA_HOME"))
        return *variable;
    return home() / ".local" / "share";
}

fs::path xdgConfigHome() {
    if (auto variable = absoluteVariable("XDG_CONFIG_HOME"))
        return *variable;
    return home() / ".config";
}

std::optional<fs::path> xdgRuntimeDir() {
    return absoluteVariable("XDG_RUNTIME_DIR");
}

std::vector<fs::path> xdgDataDirs() {
    std::vector<fs::path> folders;
    const char* value = std::getenv("XDG_DATA_DIRS");
    std::string_view rest = value ? value : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string_view entry = rest.substr(0, colon);
        if (!entry.empty() && entry.front() == '/')
            folders.emplace_back(entry);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    if (folders.empty())
        folders = {"/usr/local/share", "/usr/share"};
    return folders;
}

}  // namespace platform
