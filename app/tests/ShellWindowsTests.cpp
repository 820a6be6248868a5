// The windows and the tray menu on Qt's offscreen platform: window kinds and places, what they show, and
// the menu's actions reaching the state.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPixmap>
#include <QPixmapCache>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "app/ShellWindows.h"
#include "app/TrayIcon.h"
#include "app/core/tests/RuntimeFakes.h"

#if defined(LUMIVEX_ADDRESS_SANITIZER)
// Qt's fonts come through fontconfig, which keeps its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
#endif

namespace Shell::testing {
namespace {

using namespace std::chrono_literals;

class ShellWindows : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "ShellQtTests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) {
            application = new QApplication(argc, argv);
        }
    }
    static void settle(int milliseconds = 0) {
        QCoreApplication::processEvents();
        if (milliseconds > 0) {
            QTest::qWait(milliseconds);
        }
    }
    static PendingPairing pending(std::string digits, int failed = 0) {
        const Date now = std::chrono::system_clock::now();
        return PendingPairing{
            DeviceID::random(), "Anna's iPhone", *TrackpadProtocol::PairingCode::fromDigits(digits), now,
            now + 120s,         failed};
    }
    static inline QApplication* application = nullptr;
};

TEST_F(ShellWindows, PairingPanelFloatsAtTheTopRightWithTheCodeAndCancelsOnEscape) {
    RuntimeHarness h;
    PairingPanelWindow window(*h.runtime);
    PairingPanelController controller(*h.runtime, window, h.executor);
    int cancels = 0;
    window.setCancel([&] { ++cancels; });
    controller.install();
    h.runtime->start();
    h.event(PairingEvent::PendingPairingChanged{pending("048213", 1)});
    settle();

    QWidget& panel = window.widget();
    ASSERT_TRUE(panel.isVisible());
    EXPECT_TRUE(panel.windowFlags() & Qt::Tool);
    EXPECT_TRUE(panel.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(panel.windowFlags() & Qt::WindowDoesNotAcceptFocus) << "Escape must reach it";
    EXPECT_TRUE(panel.testAttribute(Qt::WA_ShowWithoutActivating));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel.x() + panel.width(), area.right() + 1 - 12);
    EXPECT_EQ(panel.y(), area.top() + 12);

    auto* code = panel.findChild<QLabel*>(QStringLiteral("code"));
    ASSERT_TRUE(code);
    EXPECT_EQ(code->text(), QStringLiteral("048 213"));
    EXPECT_EQ(code->accessibleName(), QStringLiteral("Pairing code 0 4 8 2 1 3"));
    EXPECT_EQ(panel.findChild<QLabel*>(QStringLiteral("title"))->text(),
              QStringLiteral("Pair with Anna's iPhone"));
    EXPECT_EQ(panel.findChild<QLabel*>(QStringLiteral("statusLine"))->text(),
              QString::fromUtf8("\u26A0 Wrong code. 2 tries left."));
    const QString countdown = panel.findChild<QLabel*>(QStringLiteral("countdown"))->text();
    EXPECT_TRUE(countdown == QStringLiteral("Expires in 2:00") ||
                countdown == QStringLiteral("Expires in 1:59"))
        << countdown.toStdString();

    QTest::keyClick(&panel, Qt::Key_Escape);
    EXPECT_EQ(cancels, 1);

    // The outcome replaces the body; the dismissal hides the panel.
    h.event(PairingEvent::PairingFinished{CompanionNetwork::PairingOutcome::declined()});
    settle();
    EXPECT_EQ(panel.findChild<QLabel*>(QStringLiteral("title"))->text(), QStringLiteral("Pairing failed"));
    EXPECT_EQ(panel.findChild<QLabel*>(QStringLiteral("message"))->text(),
              QStringLiteral("Pairing was declined."));
    EXPECT_FALSE(code->isVisibleTo(&panel));
    h.executor.advance(3.0);
    settle();
    EXPECT_FALSE(panel.isVisible());
}

TEST_F(ShellWindows, ConnectionNoticePassesInputThroughAndAStaleFadeHidesNothing) {
    ConnectionNoticeWindow notice;
    notice.dismiss();  // never shown: nothing happens
    const DeviceID a = DeviceID::random();
    notice.show({{a, "Bea"}, {DeviceID::random(), "Al"}});
    settle();
    QWidget* window = notice.widget();
    ASSERT_TRUE(window->isVisible());
    EXPECT_TRUE(window->windowFlags() & Qt::WindowTransparentForInput);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_EQ(window->width(), 300);
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("names"))->accessibleName(),
              QLocale().createSeparatedList({QStringLiteral("Bea"), QStringLiteral("Al")}));
    const QRect area = QGuiApplication::screens().front()->availableGeometry();
    EXPECT_EQ(window->y(), area.top() + 12);

    notice.dismiss();
    settle(100);
    notice.show({{a, "Bea"}});  // during the fade-out
    settle(500);
    EXPECT_TRUE(window->isVisible());
    notice.dismiss();
    settle(500);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(ShellWindows, OnboardingFollowsThePermissionInTheSameWindow) {
    platform::ManualExecutor executor;
    TrustAnswer probe;
    probe.trusted = false;
    AccessibilityPermission permission(executor, probe);
    OnboardingWindow onboarding(permission);
    onboarding.show();
    settle();
    QWidget* window = onboarding.widget();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Lumivex"));
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("title"))->text(),
              QStringLiteral("Allow Accessibility"));
    probe.trusted = true;
    permission.refresh();
    settle();
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("title"))->text(), QStringLiteral("You're all set"));
    int visibleButtons = 0;
    for (auto* button : window->findChildren<QPushButton*>()) {
        visibleButtons += button->isVisibleTo(window) ? 1 : 0;
    }
    EXPECT_EQ(visibleButtons, 1) << "only Done";
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible()) << "Escape closes only while access is missing";
}

// A tray icon over a runtime of fakes, with a login item in a folder of its own.
struct TrayHarness {
    RuntimeHarness h;
    TemporaryFolder autostart;
    XdgAutostartLoginItem item{"/usr/bin/lumivex", autostart.path()};
    LaunchAtLogin login{item, "/proc/self/exe"};
    TrayIcon tray{*h.runtime, h.permission, login, h.preferences, {}};

    // Starts the runtime with Anna's and Ben's phones paired.
    void startWithTwoPhones(const DeviceID& anna, const DeviceID& ben) {
        h.runtime->start();
        const Date now = std::chrono::system_clock::now();
        h.event(PairingEvent::TrustedDevicesChanged{{TrustedDevice{anna, "Anna's iPhone", now, std::nullopt, {}},
                                                     TrustedDevice{ben, "Ben's iPhone", now, std::nullopt, {}}}});
    }
};

TEST_F(ShellWindows, TrayMenuIsDerivedAgainAndItsTogglesWriteThePreferences) {
    TrayHarness world;
    RuntimeHarness& h = world.h;
    TrayIcon& tray = world.tray;
    QMenu& menu = tray.menu();
    auto action = [&](const char* name) { return menu.findChild<QAction*>(QString::fromLatin1(name)); };
    auto texts = [&] {
        QStringList out;
        for (QAction* each : menu.actions()) {
            out << (each->isSeparator() ? QStringLiteral("---") : each->text());
        }
        return out;
    };
    EXPECT_EQ(texts().front(), QString::fromUtf8("Starting\u2026"));
    EXPECT_EQ(texts().back(), QStringLiteral("Quit Lumivex"));
    ASSERT_TRUE(action("companion.unlockFromIPhone"));
    EXPECT_FALSE(action("companion.unlockFromIPhone")->isChecked());

    h.runtime->start();
    h.event(PairingEvent::PendingPairingChanged{pending("123456")});
    settle();
    EXPECT_TRUE(texts().contains(QStringLiteral("Pairing code: 123 456")));
    EXPECT_TRUE(texts().contains(QStringLiteral("Pair with Anna's iPhone")));

    action("companion.unlockFromIPhone")->trigger();
    settle(20);
    EXPECT_TRUE(h.preferences.allowsUnlockFromIPhone().value());
    EXPECT_TRUE(action("companion.unlockFromIPhone")->isChecked());
    EXPECT_TRUE(
        texts().contains(QStringLiteral("Paired iPhones can enter your login password on the lock screen.")));
    ASSERT_TRUE(action("companion.pairedPhones"));
}

TEST_F(ShellWindows, TrayMenuKeepsNoOldSubmenusAndShowsAmpersandsAsWritten) {
    TrayHarness world;
    RuntimeHarness& h = world.h;
    TrayIcon& tray = world.tray;
    h.runtime->start();
    const Date now = std::chrono::system_clock::now();
    h.event(PairingEvent::TrustedDevicesChanged{
        {TrustedDevice{DeviceID::random(), "Tom & Jerry", now, std::nullopt, {}},
         TrustedDevice{DeviceID::random(), "Anna's iPhone", now, std::nullopt, {}}}});
    settle();
    QMenu& menu = tray.menu();
    const auto menusBefore = menu.findChildren<QMenu*>().size();
    for (int change = 0; change < 1000; ++change) {
        h.runtime->forgetError.set(change % 2 == 0 ? std::optional<std::string>("disk full") : std::nullopt);
        settle();
    }
    EXPECT_EQ(menu.findChildren<QMenu*>().size(), menusBefore);

    QStringList rows;
    for (QAction* row :
         menu.findChild<QAction*>(QStringLiteral("companion.pairedPhones"))->menu()->actions()) {
        rows << row->iconText();
    }
    EXPECT_TRUE(rows.contains(QStringLiteral("Tom & Jerry")))
        << rows.join(QStringLiteral(" | ")).toStdString();
}

TEST_F(ShellWindows, AnOpenTrayMenuStaysOpenWithItsSubmenusWhilePhonesComeAndGo) {
    TrayHarness world;
    RuntimeHarness& h = world.h;
    TrayIcon& tray = world.tray;
    const DeviceID anna = DeviceID::random();
    world.startWithTwoPhones(anna, DeviceID::random());
    settle();
    QMenu& menu = tray.menu();
    menu.popup(QPoint(10, 10));
    QPointer<QMenu> paired = menu.findChild<QAction*>(QStringLiteral("companion.pairedPhones"))->menu();
    ASSERT_TRUE(paired);
    paired->popup(QPoint(200, 10));
    QPointer<QMenu> phone = paired->actions().front()->menu();
    ASSERT_TRUE(phone);
    phone->popup(QPoint(400, 10));
    settle();
    const QList<QAction*> shown = menu.actions();
    const auto titles = [&] {
        QStringList out;
        for (QAction* row : paired->actions()) {
            out << row->text();
        }
        return out;
    };

    for (const std::set<DeviceID>& connected : {std::set<DeviceID>{anna}, std::set<DeviceID>{}}) {
        h.connect(connected);
        settle();
        ASSERT_TRUE(paired && phone) << "a submenu was replaced";
        EXPECT_TRUE(menu.isVisible());
        EXPECT_TRUE(paired->isVisible());
        EXPECT_TRUE(phone->isVisible());
        EXPECT_EQ(menu.actions(), shown) << "the items were made again";
        EXPECT_EQ(titles().front(), connected.empty() ? QStringLiteral("Anna's iPhone")
                                                      : QStringLiteral("Anna's iPhone \u2014 Connected"));
    }
    // The kept items still do what they say now.
    menu.findChild<QAction*>(QStringLiteral("companion.unlockFromIPhone"))->trigger();
    settle(20);
    EXPECT_TRUE(h.preferences.allowsUnlockFromIPhone().value());
    menu.hide();
}

TEST_F(ShellWindows, AnOpenTrayMenuAddsNothingToThePixmapCacheWhilePhonesComeAndGo) {
    TrayHarness world;
    RuntimeHarness& h = world.h;
    TrayIcon& tray = world.tray;
    const DeviceID anna = DeviceID::random();
    const DeviceID ben = DeviceID::random();
    world.startWithTwoPhones(anna, ben);
    settle();
    // Opened down to a phone's submenu, as the pointer leaves it: the item of each open submenu is
    // highlighted.
    QMenu& menu = tray.menu();
    menu.popup(QPoint(10, 10));
    QAction* pairedItem = menu.findChild<QAction*>(QStringLiteral("companion.pairedPhones"));
    menu.setActiveAction(pairedItem);
    QMenu* paired = pairedItem->menu();
    paired->popup(QPoint(200, 10));
    paired->setActiveAction(paired->actions().front());
    paired->actions().front()->menu()->popup(QPoint(400, 10));
    settle();

    // The style keeps what it draws in the process's pixmap cache, least recently used out first: a
    // picture put there now is crowded out only if the repaints keep adding new ones. Only posted
    // events run, so that the cache's own timed trimming cannot take it either.
    const int limit = QPixmapCache::cacheLimit();
    QPixmapCache::setCacheLimit(256);
    QPixmap picture(64, 64);
    picture.fill(Qt::red);
    const QString key = QStringLiteral("ShellWindows.picture");
    ASSERT_TRUE(QPixmapCache::insert(key, picture));
    for (int change = 0; change < 2000; ++change) {
        h.connect(change % 2 == 0 ? std::set<DeviceID>{anna} : std::set<DeviceID>{anna, ben});
        for (int pass = 0; pass < 3; ++pass) {
            QCoreApplication::sendPostedEvents();
        }
    }
    EXPECT_TRUE(menu.isVisible() && paired->isVisible());
    EXPECT_EQ(paired->actions().at(1)->text(), QStringLiteral("Ben's iPhone \u2014 Connected"));
    QPixmap kept;
    EXPECT_TRUE(QPixmapCache::find(key, &kept)) << "every repaint left new pictures in the cache";
    QPixmapCache::remove(key);
    QPixmapCache::setCacheLimit(limit);
    menu.hide();
}

TEST_F(ShellWindows, PhonesNamesAreShownAsWrittenNeverAsMarkup) {
    const std::string hostile = "<b style=\"font-size:40pt\">Big</b><img src=\"/etc/hostname\">";
    RuntimeHarness h;
    PairingPanelWindow window(*h.runtime);
    PairingPanelController controller(*h.runtime, window, h.executor);
    controller.install();
    h.runtime->start();
    const Date now = std::chrono::system_clock::now();
    h.event(PairingEvent::PendingPairingChanged{
        PendingPairing{DeviceID::random(), hostile, *TrackpadProtocol::PairingCode::fromDigits("123456"), now,
                       now + 120s, 0}});
    settle();
    for (QLabel* label : window.widget().findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    }
    EXPECT_EQ(window.widget().findChild<QLabel*>(QStringLiteral("title"))->text().toStdString(),
              "Pair with " + hostile);

    ConnectionNoticeWindow notice;
    notice.show({{DeviceID::random(), hostile}});
    settle();
    EXPECT_EQ(notice.widget()->findChild<QLabel*>(QStringLiteral("names"))->textFormat(), Qt::PlainText);
}

TEST_F(ShellWindows, ReturnInTheOnboardingWindowPressesItsDefaultButton) {
    platform::ManualExecutor executor;
    TrustAnswer probe;
    probe.trusted = false;
    AccessibilityPermission permission(executor, probe);
    OnboardingWindow onboarding(permission);
    onboarding.show();
    settle();
    QWidget* window = onboarding.widget();
    // "Open System Settings" looks again: the grant made meanwhile shows at once.
    probe.trusted = true;
    QTest::keyClick(window, Qt::Key_Return);
    settle();
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("title"))->text(), QStringLiteral("You're all set"));
    EXPECT_TRUE(window->isVisible());
    QTest::keyClick(window, Qt::Key_Enter);  // "Done"
    settle();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(ShellWindows, TheUnlockTimeShowsNoEmptyZoneInAnyLocale) {
    const QLocale previous;
    const Date date = std::chrono::system_clock::now();
    for (const char* name : {"es_ES", "ca_ES", "en_US", "de_DE", "fr_FR", "ja_JP"}) {
        QLocale::setDefault(QLocale(QString::fromLatin1(name)));
        const std::string text = timeOfDayWithSeconds(date);
        EXPECT_EQ(text.find('('), std::string::npos) << name << ": " << text;
        EXPECT_EQ(text.find('['), std::string::npos) << name << ": " << text;
        EXPECT_EQ(text, QString::fromStdString(text).trimmed().toStdString()) << name;
    }
    QLocale::setDefault(previous);
}

}  // namespace
}  // namespace Shell::testing
