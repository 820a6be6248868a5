#include "testing/PrivateDBus.h"

#include <stdexcept>
#include <system_error>

namespace testing_support {

bool PrivateDBus::isInstalled() {
    return findExecutable("dbus-daemon").has_value();
}

PrivateDBus::PrivateDBus() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-bus-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    folder_ = pattern;
    const std::filesystem::path socket = folder_ / "bus";
    address_ = "unix:path=" + socket.string();
    const std::filesystem::path config = folder_ / "bus.conf";
    {
        std::FILE* file = std::fopen(config.c_str(), "w");
        if (file == nullptr) {
            throw std::runtime_error("cannot write " + config.string());
        }
        std::fputs(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>",
            file);
        std::fputs(address_.c_str(), file);
        std::fputs(
            "</listen><auth>EXTERNAL</auth>"
            "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n",
            file);
        std::fclose(file);
    }
    daemon_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config.string()},
        EnvironmentChanges{}, folder_ / "daemon.log");
    if (!waitUntil([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(10))) {
        throw std::runtime_error("the private dbus-daemon did not start");
    }
}

PrivateDBus::~PrivateDBus() {
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace testing_support
