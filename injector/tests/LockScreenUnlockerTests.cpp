// The unlocker's outcome table with a fake lock screen, a recording poster and virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "injector/KeyVocabulary.h"
#include "injector/LockScreenUnlocker.h"
#include "injector/RecordingEventPoster.h"
#include "platform/DispatchQueue.h"

namespace Injector {
namespace {

using Status = UnlockStatus;

const LockScreenField secureField{{SecureInputKey{42}}, std::nullopt, 42, LockScreenFieldCheck::secureInput};
const LockScreenField axField{{AXElementKey{7}}, 0, 42, LockScreenFieldCheck::accessibility};

struct VirtualTime {
    std::mutex mutex;
    double now = 100;
    std::function<void(double)> onSleep;
    void sleep(double seconds) {
        std::function<void(double)> hook;
        {
            std::lock_guard lock(mutex);
            now += seconds;
            hook = onSleep;
        }
        if (hook) {
            hook(now);
        }
    }
    double clock() {
        std::lock_guard lock(mutex);
        return now;
    }
};

class FakeLockScreen final : public LockScreen {
  public:
    bool isLocked() override {
        if (onIsLocked) {
            onIsLocked();
        }
        return locked;
    }
    bool displayIsAsleep() override { return asleep; }
    void wake() override { ++wakes; }
    LockScreenFocus examine() override {
        ++examines;
        return onExamine ? onExamine() : LockScreenFocus{LockScreenFocus::PasswordField{field}};
    }
    bool isFocused(const LockScreenField&) override { return onIsFocused ? onIsFocused() : true; }
    LockScreenFill fill(const LockScreenField&, std::string_view password) override {
        filledWith = std::string(password);
        return onFill ? onFill() : LockScreenFill{LockScreenFill::Failed{"refused"}};
    }

    std::atomic<bool> locked{true};
    std::atomic<bool> asleep{false};
    std::atomic<int> wakes{0};
    std::atomic<int> examines{0};
    LockScreenField field = secureField;
    std::function<void()> onIsLocked;
    std::function<LockScreenFocus()> onExamine;
    std::function<bool()> onIsFocused;
    std::function<LockScreenFill()> onFill;
    std::string filledWith;
};

class FixedUnlockLayout final : public UnlockKeyboardLayout {
  public:
    std::optional<UnlockKey> key(std::string_view character) override {
        if (character == "a") {
            return UnlockKey{0, false, false};
        }
        return character == "u" ? u : std::nullopt;
    }
    std::optional<UnlockKey> u;
};

struct Key {
    EventType type;
    std::uint16_t code;
    std::u16string text;
    friend bool operator==(const Key&, const Key&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Key& k) {
        return out << "{" << int(k.type) << "," << k.code << "," << k.text.size() << "}";
    }
};

class UnlockerTest : public ::testing::Test {
  protected:
    UnlockReport unlock(
        std::string password, std::function<bool()> withdrawn = [] { return false; }) {
        std::promise<UnlockReport> result;
        int calls = 0;
        unlocker.unlock(std::move(password), std::move(withdrawn), [&](UnlockReport report) {
            ++calls;
            result.set_value(std::move(report));
        });
        UnlockReport report = result.get_future().get();
        queue.sync([] {});
        EXPECT_EQ(calls, 1);
        return report;
    }
    std::vector<Key> keys() const {
        std::vector<Key> result;
        for (const InputEvent& event : poster.events()) {
            if (event.type == EventType::keyDown || event.type == EventType::keyUp ||
                event.type == EventType::flagsChanged) {
                result.push_back({event.type, event.keyCode, event.unicodeText});
            }
        }
        return result;
    }
    bool logged(const std::string& text) {
        std::lock_guard lock(logMutex);
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

    VirtualTime time;
    FakeLockScreen lockScreen;
    FixedUnlockLayout layout;
    RecordingEventPoster poster;
    platform::DispatchQueue queue{"dev.quelmar.trackpad.mac.unlock"};
    std::mutex logMutex;
    std::vector<std::string> lines;
    LockScreenUnlocker unlocker{lockScreen,
                                layout,
                                poster,
                                LockScreenUnlocker::Timing{},
                                queue,
                                [this](double s) { time.sleep(s); },
                                [this] { return time.clock(); },
                                [this](const std::string& line) {
                                    std::lock_guard lock(logMutex);
                                    lines.push_back(line);
                                }};
};

constexpr auto down = EventType::keyDown;
constexpr auto up = EventType::keyUp;
constexpr auto flags = EventType::flagsChanged;

TEST_F(UnlockerTest, PreChecksRefuseInTheirOrderBeforeAnythingIsPosted) {
    EXPECT_EQ(unlock("pw", [] { return true; }).status, Status::notAllowed);
    lockScreen.locked = false;
    EXPECT_EQ(unlock("a\tb").status, Status::notLocked);  // locked comes before typable
    lockScreen.locked = true;
    for (const char* password : {"", "a\tb", "line\n", "bad\xFF"}) {
        const UnlockReport report = unlock(password);
        EXPECT_EQ(report.status, Status::cannotType) << password;
        EXPECT_EQ(report.reason, "The password is empty or has a control character. Nothing was entered.");
    }
    EXPECT_EQ(poster.count(), 0u);
    EXPECT_EQ(lockScreen.wakes, 0);
    EXPECT_TRUE(logged("Unlock ended notAllowed: The attempt was withdrawn (the iPhone disconnected"));
}

TEST_F(UnlockerTest, ASecondCallWhileOneRunsIsBusyAndTheFirstGoesOn) {
    std::promise<void> release;
    queue.async([gate = release.get_future().share()] { gate.wait(); });
    std::promise<UnlockReport> first;
    int firstCalls = 0;
    unlocker.unlock(
        "pw", [] { return false; },
        [&](UnlockReport r) {
            ++firstCalls;
            first.set_value(r);
        });
    EXPECT_TRUE(unlocker.isRunning());
    std::optional<UnlockReport> second;
    unlocker.unlock(
        "pw", [] { return true; }, [&](UnlockReport r) { second = r; });
    EXPECT_EQ(second->status, Status::notAllowed);  // withdrawn comes before busy
    unlocker.unlock(
        "pw", [] { return false; }, [&](UnlockReport r) { second = r; });
    EXPECT_EQ(second->status, Status::busy);
    EXPECT_EQ(second->reason, "Another unlock was running.");
    release.set_value();
    EXPECT_EQ(first.get_future().get().status, Status::stillLocked);
    queue.sync([] {});
    EXPECT_EQ(firstCalls, 1);
    EXPECT_FALSE(unlocker.isRunning());
}

// The lock check reaches the buses and the display, which may hang: it runs on the queue, and a request
// that arrives meanwhile is answered busy at once instead of waiting behind it.
TEST_F(UnlockerTest, TheLockCheckRunsOnTheQueueAndARequestMeanwhileIsBusy) {
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> checksOnCaller{0};
    lockScreen.onIsLocked = [&] {
        checksOnCaller += std::this_thread::get_id() == caller ? 1 : 0;
        answered.wait_for(std::chrono::seconds(2));  // a bus that doesn't answer
    };
    lockScreen.locked = false;
    std::promise<UnlockReport> first;
    std::atomic<int> firstCalls{0};
    unlocker.unlock(
        "", [] { return false; },
        [&](UnlockReport r) {
            ++firstCalls;
            first.set_value(r);
        });
    std::optional<UnlockReport> second;
    unlocker.unlock(
        "pw", [] { return false; }, [&](UnlockReport r) { second = r; });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, Status::busy);
    answer.set_value();
    const UnlockReport report = first.get_future().get();
    EXPECT_EQ(report.status, Status::notLocked);  // the lock comes before the empty password
    EXPECT_EQ(report.reason, "The screen wasn't locked, so nothing was entered.");
    queue.sync([] {});
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(checksOnCaller, 0);
    EXPECT_FALSE(unlocker.isRunning());
    EXPECT_EQ(poster.count(), 0u);
}

// A lock screen probe that throws ends the attempt with one answer, leaves the process running and the
// unlocker free for the next request.
TEST_F(UnlockerTest, AFaultBelowEndsTheAttemptWithAnAnswerAndFreesTheUnlocker) {
    lockScreen.onExamine = []() -> LockScreenFocus { throw std::runtime_error("bus gone"); };
    const UnlockReport failed = unlock("pw");
    EXPECT_EQ(failed.status, Status::notReached);
    EXPECT_EQ(failed.reason, "The unlock stopped on an unexpected error.");
    EXPECT_FALSE(unlocker.isRunning());
    lockScreen.onExamine = nullptr;
    EXPECT_NE(unlock("pw").status, Status::busy);
}

TEST_F(UnlockerTest, TypesIntoAFieldVerifiedBySecureInputThenPressesReturn) {
    std::atomic<bool> returned{false};
    int polls = 0;
    time.onSleep = [&](double) {
        if (returned && polls++ == 1) {
            lockScreen.locked = false;  // at the first poll after Return
        }
    };
    poster.onPost = [&](const InputEvent& e) {
        if (e.type == up && e.keyCode == KeyCode::returnKey) {
            returned = true;
        }
    };
    const UnlockReport report = unlock("pässwörd✓");
    EXPECT_EQ(report.status, Status::unlocked);
    EXPECT_EQ(report.entry, UnlockEntry::typed);
    EXPECT_EQ(report.reason, "Unlocked 0.1 s after Return.");
    std::vector<Key> expected = {{flags, 56, u""}, {flags, 56, u""},  // nudge
                                 {flags, 59, u""}, {down, 0, u"a"},
                                 {up, 0, u"a"},    {flags, 59, u""},  // select all
                                 {down, 51, u""},  {up, 51, u""}};
    for (const std::u16string c : {u"p", u"ä", u"s", u"s", u"w", u"ö", u"r", u"d", u"✓"}) {
        expected.push_back({down, 0, c});
        expected.push_back({up, 0, c});
    }
    expected.push_back({down, 36, u""});
    expected.push_back({up, 36, u""});
    EXPECT_EQ(keys(), expected);
    for (const InputEvent& event : poster.events()) {
        EXPECT_EQ(event.integerField(EventField::eventSourceUserData), injectedEventTag);
    }
    EXPECT_TRUE(logged(
        "Password field verified by the login window's secure input (Accessibility named no element)"));
    EXPECT_TRUE(logged("Typed the password at the HID event tap."));
    std::lock_guard lock(logMutex);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("sswö"), std::string::npos) << line;
    }
}

TEST_F(UnlockerTest, AFieldNeverVerifiedEndsWithTheLastReasonAndNothingTyped) {
    int n = 0;
    lockScreen.onExamine = [&] {
        return LockScreenFocus{LockScreenFocus::Unverified{"check " + std::to_string(++n > 3 ? 3 : n)}};
    };
    const UnlockReport report = unlock("pw");
    EXPECT_EQ(report.status, Status::notReached);
    EXPECT_EQ(
        report.reason,
        "The lock screen's password field wasn't verified within 5.0 s, so nothing was entered. Last check: "
        "check 3.");
    for (const Key& key : keys()) {
        EXPECT_EQ(key.code, KeyCode::shift);  // nudges only
    }
    EXPECT_GE(keys().size(), 8u);
    std::lock_guard lock(logMutex);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Password field not verified yet: check 3."), 1);
}

TEST_F(UnlockerTest, AccessibilityDeniedAndUnlockedElsewhere) {
    lockScreen.onExamine = [] { return LockScreenFocus{LockScreenFocus::AccessibilityDenied{}}; };
    EXPECT_EQ(unlock("pw").status, Status::accessibilityRequired);
    lockScreen.onExamine = [&] {
        lockScreen.locked = false;
        return LockScreenFocus{LockScreenFocus::Unverified{"x"}};
    };
    const UnlockReport report = unlock("pw");
    EXPECT_EQ(report.status, Status::notLocked);
    EXPECT_EQ(report.reason, "The screen unlocked another way before the password went in.");
}

TEST_F(UnlockerTest, FillRefusedThenTypedAndFilledFieldReadingEmptyIsTyped) {
    lockScreen.field = axField;
    lockScreen.locked = true;
    // Refused: typed without clearing (the field held 0 characters), still locked after Return.
    UnlockReport report = unlock("pw");
    EXPECT_EQ(report.status, Status::notReached);  // still locked and known empty before Return
    EXPECT_EQ(report.entry, UnlockEntry::typed);
    EXPECT_TRUE(
        logged("Accessibility couldn't fill the password field (refused); typing the password instead."));
    EXPECT_EQ(lockScreen.filledWith, "pw");

    poster.clear();
    lockScreen.onFill = [] { return LockScreenFill{LockScreenFill::Filled{}}; };
    report = unlock("pw");
    EXPECT_EQ(report.entry, UnlockEntry::typed);
    EXPECT_EQ(keys()[2], (Key{flags, 59, u""}));  // select all before typing
    EXPECT_TRUE(logged("Accessibility set the password field, but it still reads empty"));

    lockScreen.field.characterCount = 2;
    report = unlock("pw");
    EXPECT_EQ(report.status, Status::stillLocked);
    EXPECT_EQ(report.entry, UnlockEntry::filled);
    EXPECT_EQ(report.reason,
              "Still locked 6.0 s after Return. Check the saved password; if it is right, the password may "
              "not have "
              "reached the field.");
}

TEST_F(UnlockerTest, AFieldHoldingManyCharactersIsClearedWhole) {
    lockScreen.field = axField;
    lockScreen.field.characterCount = 300;
    unlock("pw");
    const std::vector<Key> k = keys();
    EXPECT_EQ(std::count(k.begin(), k.end(), Key{down, 51, u""}), 1);
    EXPECT_EQ(k[2], (Key{flags, 59, u""}));
    poster.clear();
    lockScreen.field.characterCount = 5;
    unlock("pw");
    const std::vector<Key> five = keys();
    EXPECT_EQ(std::count(five.begin(), five.end(), Key{down, 51, u""}), 5);
}

// A lock screen that reads Control+A as a character, or as the start of the line, keeps what its field
// held: the field's own emptying keys go instead, the character key found on the layout like select all's.
TEST_F(UnlockerTest, AFieldThatNamesItsEmptyingKeysIsEmptiedByThem) {
    const auto clearingKeys = [&] {
        std::vector<Key> k = keys();
        return std::vector<Key>(k.begin() + 2,
                                k.end() - 2 * 2 - 2);  // after the nudge, before "pw" and Return
    };
    lockScreen.field.clearing = LockScreenFieldClearing::controlU;
    layout.u = UnlockKey{7, false, false};  // where a layout of its own puts u
    unlock("pw");
    EXPECT_EQ(clearingKeys(),
              (std::vector<Key>{{flags, 59, u""}, {down, 7, u"u"}, {up, 7, u"u"}, {flags, 59, u""}}));
    EXPECT_TRUE(
        logged("The password field's characters can't be counted; emptying it with Control+U first."));
    const std::vector<InputEvent> events = poster.events();
    EXPECT_EQ(events[3].flags, Modifiers::control.rawValue);

    // No key types a plain u: the key where u sits on the common layouts.
    poster.clear();
    layout.u = UnlockKey{7, true, false};
    unlock("pw");
    EXPECT_EQ(clearingKeys()[1], (Key{down, KeyCode::u, u"u"}));

    poster.clear();
    lockScreen.field.clearing = LockScreenFieldClearing::escape;
    unlock("pw");
    EXPECT_EQ(clearingKeys(), (std::vector<Key>{{down, 53, u""}, {up, 53, u""}}));
    EXPECT_TRUE(logged("The password field's characters can't be counted; emptying it with Escape first."));

    // More characters than are deleted one by one: emptied whole the same way.
    poster.clear();
    lockScreen.field.characterCount = 300;
    unlock("pw");
    EXPECT_EQ(clearingKeys(), (std::vector<Key>{{down, 53, u""}, {up, 53, u""}}));
}

TEST_F(UnlockerTest, AFailedCheckInTheMiddleOfControlULetsControlGo) {
    lockScreen.field.clearing = LockScreenFieldClearing::controlU;
    std::atomic<bool> controlDown{false};
    poster.onPost = [&](const InputEvent& e) {
        if (e.type == flags && e.keyCode == KeyCode::control && e.flags != 0) {
            controlDown = true;
        }
    };
    lockScreen.onIsFocused = [&] { return !controlDown; };
    const UnlockReport report = unlock("pw");
    EXPECT_EQ(report.status, Status::notReached);
    EXPECT_EQ(report.reason,
              "The password field lost the focus while clearing the field; typing stopped without Return.");
    const std::vector<Key> k = keys();
    ASSERT_EQ(k.size(), 4u);  // the nudge, then Control down and up: u never went down
    EXPECT_EQ(k[2], (Key{flags, 59, u""}));
    EXPECT_EQ(k[3], (Key{flags, 59, u""}));
    EXPECT_EQ(poster.events().back().flags, 0u);
}

TEST_F(UnlockerTest, WithdrawalWhileTypingReleasesEveryKeyAndPostsNoReturn) {
    std::atomic<int> presses{0};
    std::atomic<bool> withdrawn{false};
    poster.onPost = [&](const InputEvent& e) {
        if (e.type == flags && e.keyCode == KeyCode::control && e.flags != 0) {
            withdrawn = true;  // in the middle of Select all, after Control went down
        }
        presses += e.type == down ? 1 : 0;
    };
    const UnlockReport report = unlock("pw", [&] { return withdrawn.load(); });
    EXPECT_EQ(report.status, Status::notAllowed);
    const std::vector<Key> k = keys();
    ASSERT_GE(k.size(), 2u);
    EXPECT_EQ(k[k.size() - 2], (Key{flags, 59, u""}));
    EXPECT_EQ(k.back(), (Key{flags, 59, u""}));
    EXPECT_EQ(poster.events().back().flags, 0u);  // Control let go
    EXPECT_EQ(presses, 0);
}

TEST_F(UnlockerTest, UnlockingDuringTypingStopsWithTheRightStatus) {
    int chunks = 0;
    poster.onPost = [&](const InputEvent& e) {
        if (e.type == up && !e.unicodeText.empty() && e.keyCode == 0 && ++chunks == 1) {
            lockScreen.locked = false;
        }
    };
    lockScreen.field.characterCount = 0;
    lockScreen.field = LockScreenField{{SecureInputKey{42}}, 0, 42, LockScreenFieldCheck::secureInput};
    UnlockReport report = unlock("pw");
    EXPECT_EQ(report.status, Status::unlocked);
    EXPECT_EQ(report.reason, "The screen unlocked another way while the password was typed; typing stopped.");
    EXPECT_FALSE(report.entry);
}

// Whatever ends the attempt, every key of it went out while the keyboard was the attempt's alone, and
// the keyboard is given back before the phone is answered.
TEST_F(UnlockerTest, TheKeyboardIsTheAttemptsFromItsFirstKeyToItsLastWhateverEndsIt) {
    std::atomic<bool> withdrawn{false};
    bool exclusiveWhenAnswered = true;
    const auto attempt = [&](const std::string& password) {
        std::promise<UnlockReport> result;
        unlocker.unlock(
            password, [&] { return withdrawn.load(); },
            [&](UnlockReport report) {
                exclusiveWhenAnswered = poster.isExclusive();
                result.set_value(std::move(report));
            });
        const UnlockReport report = result.get_future().get();
        queue.sync([] {});
        return report;
    };
    // Unlocked after Return.
    time.onSleep = [&](double) {
        const std::vector<InputEvent> posted = poster.events();
        if (std::any_of(posted.begin(), posted.end(),
                        [](const InputEvent& e) { return e.keyCode == KeyCode::returnKey; })) {
            lockScreen.locked = false;
        }
    };
    EXPECT_EQ(attempt("pw").status, Status::unlocked);
    EXPECT_FALSE(exclusiveWhenAnswered);
    // Withdrawn in the middle of select all.
    time.onSleep = nullptr;
    lockScreen.locked = true;
    poster.onPost = [&](const InputEvent& e) {
        if (e.type == flags && e.keyCode == KeyCode::control && e.flags != 0) {
            withdrawn = true;
        }
    };
    EXPECT_EQ(attempt("pw").status, Status::notAllowed);
    EXPECT_FALSE(exclusiveWhenAnswered);
    // A fault of the lock screen after the first key.
    poster.onPost = nullptr;
    withdrawn = false;
    lockScreen.onExamine = []() -> LockScreenFocus { throw std::runtime_error("bus gone"); };
    EXPECT_EQ(attempt("pw").status, Status::notReached);
    EXPECT_FALSE(exclusiveWhenAnswered);
    EXPECT_GT(poster.count(), 10u);
    EXPECT_EQ(poster.postedOutsideExclusive(), 0u);
}

TEST(TypingChunksTest, CharactersSplitBetweenScalarsAtTwentyUnits) {
    EXPECT_FALSE(typingChunks(""));
    EXPECT_FALSE(typingChunks("a\x01"));
    const auto chunks = typingChunks(
        "a\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"
        "\U0001F600\U0001F600\U0001F600\U0001F600");
    ASSERT_TRUE(chunks);
    EXPECT_EQ(chunks->size(), 12u);  // emoji without joiners are characters of their own
    const auto family = typingChunks(
        "\U0001F468\U0001F3FB\u200D\U0001F469\U0001F3FB\u200D\U0001F467\U0001F3FB\u200D\U0001F466\U0001F3FB"
        "\u200D"
        "\U0001F466\U0001F3FB");
    ASSERT_TRUE(family);
    ASSERT_EQ(family->size(), 2u);
    EXPECT_EQ(family->at(0).size(), 20u);
    EXPECT_EQ(family->at(1).size(), 4u);
}

// A phone that sends requests without end cannot flood the log: what the budget holds back is told in
// one line, and the password never appears.
TEST_F(UnlockerTest, RequestsWithoutEndLogWithinTheBudget) {
    lockScreen.locked = false;
    for (int request = 0; request < 5000; ++request) {
        unlocker.unlock(
            "hunter2", [] { return false; }, [](UnlockReport) {});
    }
    queue.sync([] {});
    {
        std::lock_guard lock(logMutex);
        EXPECT_EQ(lines.size(), std::size_t(LockScreenUnlocker::logBurst));
    }
    time.sleep(LockScreenUnlocker::logWindow);
    unlocker.unlock(
        "hunter2", [] { return false; }, [](UnlockReport) {});
    queue.sync([] {});
    std::lock_guard lock(logMutex);
    ASSERT_EQ(lines.size(), std::size_t(LockScreenUnlocker::logBurst) + 2);
    EXPECT_EQ(lines[LockScreenUnlocker::logBurst], "4960 more unlock log lines within 10.0 s were left out.");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("hunter2"), std::string::npos);
    }
}

}  // namespace
}  // namespace Injector
