#include "testing/XvfbServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

constexpr const char* xvfbPath = "/usr/bin/Xvfb";
constexpr auto startTimeout = std::chrono::seconds(20);
constexpr auto stopTimeout = std::chrono::seconds(5);
// The descriptor number Xvfb writes its display number to.
constexpr int displayFD = 3;

std::string readAll(int fd) {
    std::string text;
    char chunk[4096];
    off_t offset = 0;
    for (ssize_t got; (got = pread(fd, chunk, sizeof chunk, offset)) > 0; offset += got) {
        text.append(chunk, std::size_t(got));
    }
    return text;
}

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

bool XvfbServer::isInstalled() {
    return access(xvfbPath, X_OK) == 0;
}

XvfbServer::XvfbServer() : XvfbServer(Options{}) {}

XvfbServer::XvfbServer(Options options) {
    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) != 0) {
        throw std::runtime_error("Xvfb: pipe failed");
    }
    char logTemplate[] = "/tmp/lumivex-xvfb-XXXXXX";
    const int logFD = mkostemp(logTemplate, O_CLOEXEC);
    if (logFD < 0) {
        close(pipeFDs[0]);
        close(pipeFDs[1]);
        throw std::runtime_error("Xvfb: no log file");
    }
    // Only the open descriptor is kept, so a crashed test leaves no file behind.
    unlink(logTemplate);
    logFD_ = logFD;

    const std::string screen = std::to_string(options.width) + "x" + std::to_string(options.height) + "x" +
                             std::to_string(options.depth);
    const std::string fd = std::to_string(displayFD);
    std::vector<std::string> args = {xvfbPath, "-displayfd", fd,    "-screen", "0",
                                     screen,   "-nolisten",  "tcp", "-noreset"};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const int nullFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. The server must not outlive a test process that
        // crashes before its destructor runs.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(nullFD, 0);
        dup2(logFD, 1);
        dup2(logFD, 2);
        if (pipeFDs[1] == displayFD) {
            fcntl(displayFD, F_SETFD, 0);
        } else {
            dup2(pipeFDs[1], displayFD);
        }
        execve(xvfbPath, argv.data(), environ);
        _exit(127);
    }
    const int spawnError = errno;
    close(nullFD);
    close(pipeFDs[1]);
    if (pid_ < 0) {
        close(pipeFDs[0]);
        pid_ = -1;
        stop();
        throw std::runtime_error(std::string("Xvfb: cannot start: ") + std::strerror(spawnError));
    }

    // The number arrives, newline-terminated, once the server accepts clients; end of file means it died.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    bool complete = false;
    while (!complete) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waiting{pipeFDs[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&waiting, 1, int(left.count())) <= 0) {
            break;
        }
        char chunk[32];
        const ssize_t got = read(pipeFDs[0], chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        number.append(chunk, std::size_t(got));
        complete = number.find('\n') != std::string::npos;
    }
    close(pipeFDs[0]);
    if (!complete) {
        const std::string log = readAll(logFD_);
        stop();
        throw std::runtime_error("Xvfb did not start: " + log);
    }
    displayName_ = ":" + number.substr(0, number.find('\n'));
    if (!options.monitors.empty()) {
        try {
            addMonitors(options.monitors);
        } catch (...) {
            stop();
            throw;
        }
    }
}

XvfbServer::~XvfbServer() {
    stop();
}

void XvfbServer::stop() {
    if (pid_ > 0) {
        // SIGTERM lets the server remove its socket and lock file.
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + stopTimeout;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pid_ = -1;
    }
    if (logFD_ >= 0) {
        close(logFD_);
        logFD_ = -1;
    }
}

void XvfbServer::addMonitors(const std::vector<Monitor>& monitors, bool firstTakesOutput) {
    xcb_connection_t* connection = xcb_connect(displayName_.c_str(), nullptr);
    const auto fail = [&](const std::string& what) {
        xcb_disconnect(connection);
        throw std::runtime_error("Xvfb monitors: " + what);
    };
    if (xcb_connection_has_error(connection) != 0) {
        fail("no connection");
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    std::unique_ptr<xcb_randr_get_screen_resources_reply_t, FreeReply> resources(
        xcb_randr_get_screen_resources_reply(connection, xcb_randr_get_screen_resources(connection, root),
                                             nullptr));
    if (!resources || xcb_randr_get_screen_resources_outputs_length(resources.get()) < 1) {
        fail("no RandR output");
    }
    const xcb_randr_output_t output = xcb_randr_get_screen_resources_outputs(resources.get())[0];
    // Replacing takes the old monitor away first (the server refuses to change one in place); the grab
    // keeps other clients from seeing the moment without it.
    if (!firstTakesOutput) {
        xcb_grab_server(connection);
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const Monitor& monitor = monitors[i];
        std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> name(xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, std::uint16_t(monitor.name.size()), monitor.name.c_str()),
            nullptr));
        if (!name) {
            fail("no atom for " + monitor.name);
        }
        if (!firstTakesOutput) {
            std::free(xcb_request_check(connection, xcb_randr_delete_monitor_checked(connection, root, name->atom)));
        }
        // The request carries its outputs right behind the monitor record. Giving the screen's one
        // output to the first monitor retires the server's automatic monitor for it.
        struct {
            xcb_randr_monitor_info_t info;
            xcb_randr_output_t outputs[1];
        } request{};
        request.info.name = name->atom;
        request.info.primary = monitor.primary ? 1 : 0;
        request.info.nOutput = i == 0 && firstTakesOutput ? 1 : 0;
        request.info.x = std::int16_t(monitor.x);
        request.info.y = std::int16_t(monitor.y);
        request.info.width = std::uint16_t(monitor.width);
        request.info.height = std::uint16_t(monitor.height);
        // About 96 dpi.
        request.info.width_in_millimeters = std::uint32_t(monitor.width * 254 / 960);
        request.info.height_in_millimeters = std::uint32_t(monitor.height * 254 / 960);
        request.outputs[0] = output;
        // libxcb's own xcb_randr_set_monitor miscounts the request's length, so the request is sent
        // by hand.
        xcb_randr_set_monitor_request_t header{};
        header.window = root;
        iovec parts[6] = {};
        parts[2] = {&header, sizeof header};
        parts[4] = {&request, sizeof request.info + request.info.nOutput * sizeof(xcb_randr_output_t)};
        xcb_protocol_request_t protocol = {4, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
        const xcb_void_cookie_t cookie{
            xcb_send_request(connection, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
        if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
            const int code = error->error_code;
            std::free(error);
            fail("cannot set " + monitor.name + " (X error " + std::to_string(code) + ")");
        }
    }
    if (!firstTakesOutput) {
        xcb_ungrab_server(connection);
        xcb_flush(connection);
    }
    xcb_disconnect(connection);
}

void XvfbServer::deleteMonitor(const std::string& name) {
    xcb_connection_t* connection = xcb_connect(displayName_.c_str(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> atom(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::uint16_t(name.size()), name.c_str()), nullptr));
    xcb_generic_error_t* error =
        atom ? xcb_request_check(connection, xcb_randr_delete_monitor_checked(connection, root, atom->atom)) : nullptr;
    const bool failed = !atom || error != nullptr;
    std::free(error);
    xcb_disconnect(connection);
    if (failed) {
        throw std::runtime_error("Xvfb monitors: cannot delete " + name);
    }
}

}  // namespace testing_support
