// The companion: the tray application that advertises the computer, pairs phones and turns a paired
// phone's input into X input events, with its status and pairing codes also in the log.
//
//   lumivex-companion [--headless] [--log-to-stderr]
//     --headless       no tray icon or windows (also without a display, or with QT_QPA_PLATFORM=offscreen):
//                      what the menu and the panels would show is logged
//     --log-to-stderr  log lines go to stderr even where journald runs (for scripts that read them)
//
// SIGINT, SIGTERM and SIGHUP stop it cleanly (exit status 0): phones are let go, held buttons released.
//
// Thread: everything runs on the main thread, the EventLoop inside Qt's event loop.
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "injector/HIDEventPoster.h"
#include "injector/MediaKeys.h"
#include "injector/InputInjector.h"
#include "injector/ShellLockScreenServices.h"
#include "injector/SystemScreenGeometry.h"
#include "injector/XTestKeyboard.h"
#include "screen-view/shell/ScreenViewShellService.h"
#include "app/OwnKeymapNotices.h"
#include "app/QtMainLoop.h"
#include "app/SystemOverlays.h"
#include "app/ShellWindows.h"
#include "app/SystemGestures.h"
#include "app/overlays/QtMessageLog.h"
#include "app/TrayIcon.h"
#include "app/core/AppDelegate.h"
#include "app/core/CompanionRuntime.h"
#include "app/core/DesktopSettings.h"
#include "app/core/InjectorInputService.h"
#include "app/core/LaunchAtLogin.h"
#include "app/core/StatusLog.h"
#include "app/core/SystemRuntimeNetwork.h"
#include "apps/ShellAppServices.h"
#include "media/now-playing/MprisPlayerControl.h"
#include "media/now-playing/SystemNowPlayingProvider.h"
#include "media/now-playing/SystemNowPlayingService.h"
#include "media/volume/SystemVolumeService.h"
#include "platform/DisplayDirectory.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/LoopQueue.h"

#if defined(LUMIVEX_ADDRESS_SANITIZER)
// Qt asks the session bus for a tray through libdbus, which keeps a buffer for the process's life.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n";
}
#endif

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "companion");

struct Options {
    bool headless = false;
};

bool environmentSays(const char* name, const char* value) {
    const char* text = std::getenv(name);
    return text && std::strcmp(text, value) == 0;
}

// The injector as the application builds it: the desktop's double-click interval, else 0.4 s.
Injector::InputInjector::Configuration injectorConfiguration() {
    Injector::PointerShakeDetector::Configuration shake;
    Injector::InputInjector::Configuration configuration(Shell::desktopDoubleClickInterval().value_or(0.4),
                                                         2.0, 0.1, 1.0 / 120.0, 1.0 / 60.0, false, 0.5,
                                                         shake);
    return configuration;
}

int run(int argc, char** argv, const Options& options, int signalFD) {
    OverlayWindows::installQtMessageLog();
    std::unique_ptr<QCoreApplication> application;
    if (options.headless) {
        application = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        auto widgets = std::make_unique<QApplication>(argc, argv);
        widgets->setQuitOnLastWindowClosed(false);
        application = std::move(widgets);
    }
    QCoreApplication::setApplicationName(QStringLiteral("Lumivex"));

    platform::EventLoop loop;
    // What the process ends with; also when it has to end without waiting for its workers.
    int status = 1;
    // Goes right before the loop, after every service: a queue that a service released on itself (a
    // screen-view session closes on its own) ends by itself, and may still post to the loop or log. A
    // worker that does not end in time must never find the loop and the logger gone: the process then
    // ends right here, with them still in place, and without running the destructors of anything else.
    struct JoinQueues {
        const int& status;
        ~JoinQueues() {
            if (!platform::WorkerThread::joinAll(std::chrono::seconds(5))) {
                logger.error("Workers still running 5 s after the stop: the process ends without them");
                std::fflush(nullptr);
                std::_Exit(status);
            }
        }
    } joinQueues{status};
    Shell::QtMainLoop mainLoop(loop);

    Shell::SystemTrustProbe probe;
    Shell::AccessibilityPermission permission(loop, probe);
    Shell::CompanionPreferences preferences(Shell::CompanionPreferences::defaultPath());

    // One keyboard for the whole process: the posters share its spare key codes, Caps Lock and held keys.
    const auto keyboard = std::make_shared<Injector::XTestKeyboard>(std::string());
    Injector::HIDEventPoster poster({}, {}, keyboard);
    // Qt would read the whole keymap again for each of the keyboard's own bindings.
    std::unique_ptr<Shell::OwnKeymapNotices> ownKeymapNotices;
    if (!options.headless) {
        ownKeymapNotices = std::make_unique<Shell::OwnKeymapNotices>(keyboard);
    }
    Injector::SystemScreenGeometry geometry;
    // Volume on the sound server's default output, its display through media keys on this X display.
    auto volume = std::make_shared<media::SystemVolumeService>("", std::getenv("DISPLAY") != nullptr);
    // The phone's media keys go to the player now playing shows and to the sound server, which obey on
    // every desktop; a key is pressed only for what neither of them can do.
    auto shownPlayer = std::make_shared<media::ShownPlayer>();
    media::MprisPlayerControl players({}, shownPlayer);
    Injector::MediaKeyRouter mediaKeys(poster, [&players, volume](Injector::AuxiliaryKey key) {
        using Command = media::MprisPlayerControl::Command;
        using VolumeKey = media::VolumeController::VolumeKey;
        switch (key) {
            case Injector::AuxiliaryKey::play:
                return players.send(Command::playPause);
            case Injector::AuxiliaryKey::next:
                return players.send(Command::next);
            case Injector::AuxiliaryKey::previous:
                return players.send(Command::previous);
            case Injector::AuxiliaryKey::soundUp:
                return volume->pressKey(VolumeKey::up);
            case Injector::AuxiliaryKey::soundDown:
                return volume->pressKey(VolumeKey::down);
            case Injector::AuxiliaryKey::mute:
                return volume->pressKey(VolumeKey::mute);
            default:
                return false;
        }
    });
    Injector::InputInjector injector(mediaKeys, geometry, loop, injectorConfiguration(),
                                     [] { return platform::monotonicSeconds(); });

    Shell::CompanionServices services;
    services.input = std::make_shared<Shell::InjectorInputService>(injector);
    services.gestures = Shell::makeSystemGestureService(loop, geometry, keyboard);
    // One directory of the displays for the whole process: the display a phone views has the id its
    // annotations and pictures are drawn on. The server announces no monitor a client sets or deletes,
    // so it also looks again every second.
    std::unique_ptr<platform::DisplayDirectory> displays = platform::DisplayDirectory::open(loop);
    if (displays) displays->refreshEvery(std::chrono::seconds(1));
    // The overlays draw windows: without widgets they stay absent, and say so.
    std::shared_ptr<Shell::SystemOverlays> overlays;
    if (!options.headless)
        overlays = Shell::installSystemOverlays(services, loop, displays.get(), preferences.highlightsPointerOnShake());
    services.unlocker = Injector::makeShellUnlockService({}, keyboard);
    services.screenLock = Injector::makeShellScreenLockService(loop);
    services.screenViews = ScreenView::makeScreenViewService(loop, displays.get());
    // The applications of the computer: the catalog and the launcher share one system provider.
    Apps::ShellAppServices apps = Apps::makeShellAppServices();
    services.makeAppCatalog = std::move(apps.makeAppCatalog);
    services.appLauncher = std::move(apps.appLauncher);
    services.volume = volume;
    services.makeNowPlayingFeed = [&preferences, shownPlayer](Shell::NowPlayingService::Options feedOptions) {
        return media::makeSystemNowPlayingFeed(
            feedOptions, preferences.boolValue(media::SystemNowPlayingProvider::preferenceKey), shownPlayer);
    };
    Shell::SystemRuntimeNetwork network(loop, {});

    // What the user sees: windows with a display, log lines without one.
    std::unique_ptr<Shell::ConnectionNoticePresenting> noticePresenter;
    if (options.headless) {
        noticePresenter = std::make_unique<Shell::LoggedConnectionNotices>();
    } else {
        noticePresenter = std::make_unique<Shell::ConnectionNoticeWindow>();
    }
    auto notices = std::make_shared<Shell::ConnectionNoticeController>(
        preferences, *noticePresenter, loop, [] { return std::chrono::system_clock::now(); });

    auto runtime = Shell::CompanionRuntime::create(
        Shell::CompanionRuntime::Dependencies{loop,
                                              network,
                                              permission,
                                              preferences,
                                              std::move(services),
                                              {},
                                              {},
                                              notices,
                                              "dev.quelmar.trackpad.mac",
                                              static_cast<std::int32_t>(getpid())});
    Shell::StatusLog statusLog(*runtime, permission);

    std::error_code ignored;
    Shell::XdgAutostartLoginItem loginItem(std::filesystem::canonical("/proc/self/exe", ignored));
    Shell::LaunchAtLogin launchAtLogin(loginItem, "/proc/self/exe");

    std::unique_ptr<Shell::PairingPanelWindow> panelWindow;
    Shell::LoggedPairingPanel loggedPanel;
    if (!options.headless) {
        panelWindow = std::make_unique<Shell::PairingPanelWindow>(*runtime);
    }
    Shell::PairingPanelController pairingPanel(
        *runtime, panelWindow ? static_cast<Shell::PairingPanelPresenting&>(*panelWindow) : loggedPanel,
        loop);
    if (panelWindow) {
        panelWindow->setCancel([&pairingPanel] { pairingPanel.cancelPairing(); });
    }
    std::unique_ptr<Shell::OnboardingWindow> onboarding;
    if (!options.headless) {
        onboarding = std::make_unique<Shell::OnboardingWindow>(permission);
    }

    // The icon is made even without a tray host: Qt embeds it once a tray appears.
    std::unique_ptr<Shell::TrayIcon> tray;
    if (!options.headless) {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            logger.notice("No system tray on this display yet; the status and pairing codes are logged");
        }
        Shell::TrayHooks trayHooks;
        trayHooks.showOnboarding = [&onboarding] { onboarding->show(); };
        trayHooks.showPairingCode = [&pairingPanel, &runtime] {
            if (runtime->pairingProgress.value() != CompanionNetwork::PairingProgress::idle()) {
                pairingPanel.show();
            }
        };
        trayHooks.storeLocation = [] {
            return std::optional(platform::xdgDataHome() / "dev.quelmar.trackpad.mac" /
                                 "TrustedDevices.json");
        };
        tray = std::make_unique<Shell::TrayIcon>(*runtime, permission, launchAtLogin, preferences,
                                                 std::move(trayHooks));
    }

    Shell::AppDelegate::Hooks hooks;
    hooks.installPairingPanel = [&pairingPanel] { pairingPanel.install(); };
    hooks.uninstallPairingPanel = [&pairingPanel] { pairingPanel.uninstall(); };
    hooks.offerLaunchAtLogin = [&launchAtLogin, &preferences] {
        launchAtLogin.offerAtFirstLaunch(preferences);
    };
    if (onboarding) {
        hooks.showOnboarding = [&onboarding] { onboarding->show(); };
    }
    Shell::AppDelegate delegate(permission, runtime, std::move(hooks),
                                std::getenv(Shell::AppDelegate::testModeVariable) != nullptr);
    // A stop cancels what is still queued rather than working through it: the phones are let go.
    auto terminate = [&] {
        delegate.willTerminate();
        if (overlays) {
            Shell::discardPendingWork(*overlays);
        }
    };
    QObject::connect(application.get(), &QCoreApplication::aboutToQuit, terminate);
    Shell::QtSignalWatch signals(signalFD, [] { QCoreApplication::quit(); });
    QTimer::singleShot(0, application.get(), [&] { delegate.didFinishLaunching(); });

    status = application->exec();
    terminate();
    // What the stop posted (the listener letting its phones go, the last state) runs while everything is
    // still there, and whatever it let go is carried out by the X server before the process goes.
    loop.runFor(0.05);
    // Text the phones sent and that is not typed yet would keep the process for as long as it takes.
    keyboard->discardQueuedText();
    poster.sync();
    loop.runOnce();
    tray.reset();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log-to-stderr") == 0) {
            platform::setLogSink(&platform::standardErrorSink, nullptr);
        } else if (std::strcmp(argv[i], "--headless") == 0) {
            options.headless = true;
        } else {
            std::fprintf(stderr, "usage: lumivex-companion [--headless] [--log-to-stderr]\n");
            return 2;
        }
    }
    if (environmentSays("QT_QPA_PLATFORM", "offscreen") ||
        (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))) {
        options.headless = true;
    }
    // Blocked before any thread exists, so that every thread inherits the mask and only the signal
    // descriptor sees these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr); error != 0) {
        std::fprintf(stderr, "lumivex-companion: pthread_sigmask: %s\n", std::strerror(error));
        return 1;
    }
    const int signalFD = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFD < 0) {
        std::fprintf(stderr, "lumivex-companion: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 1;
    try {
        status = run(argc, argv, options, signalFD);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lumivex-companion: %s\n", error.what());
    }
    close(signalFD);
    return status;
}
