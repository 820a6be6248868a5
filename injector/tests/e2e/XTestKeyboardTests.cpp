// The XTEST keyboard against a private Xvfb and a client that decodes keys as applications do: key
// strokes with modifiers, text the keymap has and text it lacks, Caps Lock, and the keymap afterwards.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "injector/HIDEventPoster.h"
#include "injector/KeyVocabulary.h"
#include "injector/XTestKeyboard.h"
#include "platform/Log.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using testing_support::XKeyReader;
using testing_support::XvfbServer;
using namespace std::chrono_literals;

InputEvent key(EventType type, std::uint16_t code, std::uint64_t flags = 0) {
    return InputEvent::keyboard(type, code, flags);
}

InputEvent textEvent(EventType type, std::u16string text) {
    InputEvent event = InputEvent::keyboard(type, 0, 0);
    event.unicodeText = std::move(text);
    return event;
}

class XTestKeyboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<XvfbServer>();
        reader = std::make_unique<XKeyReader>(server->displayName());
        poster = std::make_unique<HIDEventPoster>(server->displayName());
        ASSERT_TRUE(poster->isAvailable());
        mappingBefore = reader->keyboardMapping();
    }
    void typeText(const std::u16string& text) {
        poster->post(textEvent(EventType::keyDown, text));
        poster->post(textEvent(EventType::keyUp, text));
    }
    void press(std::uint16_t code) {
        poster->post(key(EventType::keyDown, code));
        poster->post(key(EventType::keyUp, code));
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<XKeyReader> reader;
    std::unique_ptr<HIDEventPoster> poster;
    std::vector<std::uint32_t> mappingBefore;
};

TEST_F(XTestKeyboardTest, TextWithCharactersTheKeymapLacksArrivesExactlyWithCapsLockOn) {
    reader->setCapsLock(true);
    typeText(u"a\u00e9\u20ac");
    press(KeyCode::returnKey);
    press(KeyCode::tab);
    typeText(u"b");
    typeText(u"p\u00e4ssw\u00f6rd\u2713A");
    poster->settleKeyboard();
    ASSERT_TRUE(reader->waitForPresses(16, 5s)) << reader->text();
    EXPECT_EQ(reader->text(), "aé€\n\tbpässwörd✓A");

    EXPECT_TRUE(reader->capsLocked());
    EXPECT_EQ(reader->keyboardMapping(), mappingBefore);
}

TEST_F(XTestKeyboardTest, ModifiersBecomeTheirLinuxKeysAroundTheKey) {
    const std::uint64_t shiftCommand = (Modifiers::shift | Modifiers::command).rawValue;
    poster->post(key(EventType::flagsChanged, KeyCode::shift, Modifiers::shift.rawValue));
    poster->post(key(EventType::flagsChanged, KeyCode::command, shiftCommand));
    poster->post(key(EventType::keyDown, KeyCode::leftArrow, shiftCommand | 0xa00000));
    poster->post(key(EventType::keyUp, KeyCode::leftArrow, shiftCommand | 0xa00000));
    poster->post(key(EventType::flagsChanged, KeyCode::command, Modifiers::shift.rawValue));
    poster->post(key(EventType::flagsChanged, KeyCode::shift, 0));
    poster->sync();
    ASSERT_TRUE(reader->waitForKeys(6, 5s));
    std::vector<std::pair<std::uint32_t, bool>> seen;
    for (const auto& k : reader->keys()) {
        seen.emplace_back(k.keysym, k.press);
    }
    const std::vector<std::pair<std::uint32_t, bool>> expected = {{XK_Shift_L, true},  {XK_Super_L, true},
                                                                  {XK_Left, true},     {XK_Left, false},
                                                                  {XK_Super_L, false}, {XK_Shift_L, false}};
    EXPECT_EQ(seen, expected);
}

TEST_F(XTestKeyboardTest, ManyDistinctMissingCharactersReuseSpareCodesWithoutLosingAny) {
    // More distinct characters than the keymap has spare codes, so codes are rebound while typing.
    std::u16string text;
    std::string expected;
    for (char16_t c = 0x410; c < 0x410 + 48; ++c) {  // Cyrillic capitals, none on a us keymap
        text += c;
    }
    for (const char16_t c : text) {
        expected += char(0xC0 | (c >> 6));
        expected += char(0x80 | (c & 0x3F));
    }
    typeText(text);
    poster->settleKeyboard();
    ASSERT_TRUE(reader->waitForPresses(text.size(), 10s)) << reader->text();
    EXPECT_EQ(reader->text(), expected);
    EXPECT_EQ(reader->keyboardMapping(), mappingBefore);
}

TEST_F(XTestKeyboardTest, OwnsOnlyTheSpareCodesItBinds) {
    XTestKeyboard keyboard(server->displayName());
    ASSERT_TRUE(keyboard.isAvailable());
    keyboard.type(U"\u20ac");
    keyboard.settle();
    int owned = 0;
    for (int code = 8; code <= 255; ++code) {
        if (keyboard.ownsKeyCodes(std::uint8_t(code), 1)) {
            ++owned;
        }
    }
    EXPECT_GT(owned, 0);
    EXPECT_LT(owned, 248);
    // 38 is the evdev code of the letter a, which the keymap holds.
    EXPECT_FALSE(keyboard.ownsKeyCodes(38, 1));
    EXPECT_FALSE(keyboard.ownsKeyCodes(8, 248));
    EXPECT_FALSE(keyboard.ownsKeyCodes(100, 0));
}

// Two phones, or a phone and the unlocker, share the keyboard.
class SharedKeyboardTest : public XTestKeyboardTest {
  protected:
    void SetUp() override {
        XTestKeyboardTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        keyboard = std::make_shared<XTestKeyboard>(server->displayName());
        phoneA = std::make_unique<HIDEventPoster>(server->displayName(), HIDEventPoster::Options{}, keyboard);
        phoneB = std::make_unique<HIDEventPoster>(server->displayName(), HIDEventPoster::Options{}, keyboard);
    }
    // One character per message, as the phone's text arrives.
    static void typeCharacters(HIDEventPoster& poster, const std::u16string& text) {
        for (const char16_t character : text) {
            poster.post(textEvent(EventType::keyDown, std::u16string(1, character)));
            poster.post(textEvent(EventType::keyUp, std::u16string(1, character)));
        }
    }
    // Waits, 10 s at most, until what the reader received passes `check`.
    bool waitUntilText(const std::function<bool(const std::string&)>& check) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!check(reader->text())) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // What the reader has received, at least every key the server carried out before the call: a key
    // of the reader's own (a space, which these tests type nowhere else) goes to the server after
    // them, and is waited for. The spaces are left out.
    std::string receivedUntilNow() {
        reader->tapKey(XK_space);
        ++spaces;
        EXPECT_TRUE(waitUntilText([&](const std::string& text) {
            return std::size_t(std::count(text.begin(), text.end(), ' ')) >= spaces;
        })) << reader->text();
        std::string text = reader->text();
        std::erase(text, ' ');
        return text;
    }
    // Phone A types 2000 characters, a message each, and phone B one key once `typedFirst` of them have
    // reached the reader. Phone B's key waits for at most one of phone A's units (here a character)
    // from the moment it is posted: that moment is marked by a space of the reader's own, sent once
    // the key is queued, which comes after every key the server had carried out by then. Besides the
    // unit whose turn comes first, B's key may follow the unit being typed when it was posted and the
    // one before it, which may not have reached the server yet; no earlier one can be on its way, as
    // the keyboard begins each unit by reading the keyboard's state from the server.
    void expectKeyWaitsForAtMostOneUnit(std::size_t typedFirst) {
        typeCharacters(*phoneA, std::u16string(2000, u'a'));
        ASSERT_TRUE(reader->waitForPresses(typedFirst, 20s)) << reader->text().size();
        typeCharacters(*phoneB, u"Z");
        reader->tapKey(XK_space);
        phoneA->sync();
        ASSERT_TRUE(reader->waitForPresses(2002, 20s)) << reader->text().size();
        const std::string text = reader->text();
        EXPECT_EQ(std::count(text.begin(), text.end(), 'a'), 2000);
        ASSERT_NE(text.find('Z'), std::string::npos) << text.size();
        ASSERT_NE(text.find(' '), std::string::npos) << text.size();
        const auto typedBefore = [&](char mark) {
            return std::count(text.begin(), text.begin() + std::ptrdiff_t(text.find(mark)), 'a');
        };
        EXPECT_LE(typedBefore('Z'), typedBefore(' ') + 3)
            << "phone B's key came after " << typedBefore('Z') << " of phone A's characters, "
            << typedBefore(' ') << " of them typed when it was posted";
    }
    static void collect(const platform::LogRecord& record, void* context) {
        auto* lines = static_cast<std::vector<std::string>*>(context);
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        lines->emplace_back(record.message);
    }

    std::shared_ptr<XTestKeyboard> keyboard;
    std::unique_ptr<HIDEventPoster> phoneA;
    std::unique_ptr<HIDEventPoster> phoneB;
    std::size_t spaces = 0;
};

TEST_F(SharedKeyboardTest, AnotherPhonesKeyWaitsForNoMoreThanOneText) {
    expectKeyWaitsForAtMostOneUnit(0);
}

TEST_F(SharedKeyboardTest, AnotherPhonesKeyPostedLateWaitsForNoMoreThanOneText) {
    expectKeyWaitsForAtMostOneUnit(1500);
}

TEST_F(SharedKeyboardTest, TextWaitingIsBoundedAndWhatPassesItIsRefusedWithOneLogLine) {
    std::vector<std::string> lines;
    const auto previous = platform::setLogSink(&collect, &lines);
    // Another owner has the keyboard to itself (as the unlocker does) while phone A hands its text
    // over, so none of it is typed meanwhile, however fast the keyboard and slow the phone.
    const int unlocker = 0;
    keyboard->beginAttempt(&unlocker);
    typeCharacters(*phoneA, std::u16string(20000, u'a'));
    keyboard->endAttempt(&unlocker);
    phoneA->sync();
    platform::setLogSink(previous.first, previous.second);
    // Everything the server carried out has reached the reader once a last key of another phone has.
    typeCharacters(*phoneB, u"!");
    phoneB->sync();
    ASSERT_TRUE(waitUntilText([](const std::string& text) { return !text.empty() && text.back() == '!'; }));
    const std::string text = reader->text();
    const auto typed = std::size_t(std::count(text.begin(), text.end(), 'a'));
    EXPECT_EQ(typed, XTestKeyboard::queuedLimit);
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.find("faster than") != std::string::npos; }),
        1)
        << lines.size() << " lines";
    // Once typed, text is taken again.
    typeCharacters(*phoneA, u"Z");
    phoneA->sync();
    EXPECT_TRUE(waitUntilText([](const std::string& text) { return text.back() == 'Z'; })) << reader->text();
}

TEST_F(SharedKeyboardTest, APhoneThatGoesTakesItsTextAlongAndLetsGoOfItsKeys) {
    const auto phone = TrackpadProtocol::UUID::random();
    phoneA->setSource(phone);
    // Two messages of text that takes a while (each character needs a key binding), and Shift held
    // down by a key of the phone's.
    std::vector<InputEvent> message;
    for (char16_t c = u'\u4e00'; c < u'\u4e00' + 1000; ++c) {
        message.push_back(textEvent(EventType::keyDown, std::u16string(1, c)));
        message.push_back(textEvent(EventType::keyUp, std::u16string(1, c)));
    }
    // And one text of a single key event, which stops between its characters too.
    std::u16string oneText;
    for (char16_t c = u'\u5e00'; c < u'\u5e00' + 1000; ++c) {
        oneText += c;
    }
    phoneA->post({key(EventType::flagsChanged, KeyCode::shift, Modifiers::shift.rawValue)});
    phoneA->post({textEvent(EventType::keyDown, oneText), textEvent(EventType::keyUp, oneText)});
    phoneA->post(message);
    phoneA->post(message);
    ASSERT_TRUE(reader->waitForPresses(5, 10s));
    phoneA->dropSource(phone);
    typeCharacters(*phoneB, u"z");
    phoneB->sync();
    const std::size_t atDrop = receivedUntilNow().size();
    std::this_thread::sleep_for(500ms);
    phoneB->sync();
    const std::string text = receivedUntilNow();
    EXPECT_EQ(text.size(), atDrop) << "typing went on after the phone went";
    EXPECT_LT(text.size(), 1000u * 3);
    // Phone B's key comes without the Shift phone A held.
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), 'z');
}

}  // namespace
}  // namespace Injector
