// The XTEST keyboard on the keymaps users really have, read back by a client that decodes keys as
// applications do: a second layout group locked, a layout switched between two typings, locks, latches
// and groups the user changes while a text is typed, a key the user maps while the companion runs, two
// posters sharing the process's keyboard, keys a sequence left down, and bindings that go as soon as
// their keys have been read.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "injector/HIDEventPoster.h"
#include "injector/KeyVocabulary.h"
#include "injector/LockScreenUnlocker.h"
#include "injector/XTestKeyboard.h"
#include "injector/tests/e2e/UnlockFakes.h"
#include "platform/DispatchQueue.h"
#include "platform/Executor.h"
#include "testing/KeymapUser.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using testing_support::XKeyReader;
using testing_support::XvfbServer;
using namespace std::chrono_literals;

void typeText(HIDEventPoster& poster, const std::u16string& text) {
    InputEvent event = InputEvent::keyboard(EventType::keyDown, 0, 0);
    event.unicodeText = text;
    poster.post(event);
    event.type = EventType::keyUp;
    poster.post(event);
}

class XTestKeyboardLayoutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        if (!testing_support::findExecutable("setxkbmap") || !testing_support::findExecutable("xmodmap")) {
            GTEST_SKIP() << "setxkbmap or xmodmap is not installed (scripts/install-deps.sh brings them)";
        }
        server = std::make_unique<XvfbServer>();
    }
    void run(const std::vector<std::string>& argv) {
        const auto result = testing_support::runCommand(argv, 20s);
        ASSERT_EQ(result.exitCode, 0) << argv[0] << ": " << result.errors;
    }
    void setLayout(const std::string& layout) {
        run({"setxkbmap", "-display", server->displayName(), "-layout", layout});
    }
    // A fresh client in the focus, as the user's next window would be.
    std::unique_ptr<XKeyReader> reader(XKeyReader::Options options = {}) {
        return std::make_unique<XKeyReader>(server->displayName(), options);
    }
    std::string typed(HIDEventPoster& poster, XKeyReader& client, const std::u16string& text,
                      std::size_t presses) {
        typeText(poster, text);
        poster.sync();
        EXPECT_TRUE(client.waitForPresses(presses, 10s)) << client.text();
        return client.text();
    }

    std::unique_ptr<XvfbServer> server;
};

TEST_F(XTestKeyboardLayoutTest, TextArrivesAsAskedWhateverGroupIsLocked) {
    setLayout("us,de");
    auto german = reader();
    german->lockGroup(1);
    german->setCapsLock(true);
    const std::vector<std::uint32_t> mappingBefore = german->keyboardMapping();
    HIDEventPoster poster(server->displayName());
    EXPECT_EQ(typed(poster, *german, u"Your zip-code: y=z \u2713", 20), "Your zip-code: y=z ✓");
    poster.settleKeyboard();
    EXPECT_EQ(german->lockedGroup(), 1u);
    EXPECT_TRUE(german->capsLocked());
    EXPECT_EQ(german->keyboardMapping(), mappingBefore);

    german.reset();
    setLayout("us,ru");
    auto russian = reader();
    russian->lockGroup(1);
    EXPECT_EQ(typed(poster, *russian, u"secret", 6), "secret");
}

TEST_F(XTestKeyboardLayoutTest, TextIsExactWhateverModifiersTheUserLeftLockedOrLatched) {
    struct Case {
        const char* what;
        std::vector<std::string> layout;
        unsigned locked;
        unsigned latched;
    };
    constexpr unsigned shiftMask = 0x01;
    constexpr unsigned levelThreeMask = 0x80;  // Mod5, where the keymaps put Level 3
    const Case cases[] = {
        {"Shift Lock", {"-layout", "us", "-option", "caps:shiftlock"}, shiftMask, 0},
        {"a sticky Shift", {"-layout", "us", "-option", ""}, 0, shiftMask},
        {"Level 3 locked", {"-layout", "de", "-option", ""}, levelThreeMask, 0},
        {"Level 3 latched", {"-layout", "de", "-option", ""}, 0, levelThreeMask},
    };
    HIDEventPoster poster(server->displayName());
    for (const Case& engaged : cases) {
        std::vector<std::string> argv = {"setxkbmap", "-display", server->displayName()};
        argv.insert(argv.end(), engaged.layout.begin(), engaged.layout.end());
        run(argv);
        auto client = reader();
        client->lockModifiers(engaged.locked, engaged.locked);
        client->latchModifiers(engaged.latched, engaged.latched);
        EXPECT_EQ(typed(poster, *client, u"abc ABC 123 \u00e9@", 14), "abc ABC 123 é@") << engaged.what;
        poster.settleKeyboard();
        EXPECT_EQ(client->lockedModifiers() & 0xFF, engaged.locked) << engaged.what;
        EXPECT_EQ(client->latchedModifiers() & 0xFF, engaged.latched) << engaged.what;
        client->lockModifiers(0xFF, 0);
        client->latchModifiers(0xFF, 0);
    }
}

// The user changes the keyboard while a long text is typed: every character after the change still
// arrives as sent, and afterwards the keyboard holds what the user made of it, not what it held before.
// The text outlasts the spare codes, so it takes more than the binding settle time, and the change comes
// once its first characters have arrived.
TEST_F(XTestKeyboardLayoutTest, WhatTheUserChangesWhileATextIsTypedAltersNoCharacterAndStays) {
    static constexpr unsigned shiftMask = 0x01;
    struct Case {
        const char* what;
        std::function<void(XKeyReader&)> before;
        std::function<void(XKeyReader&)> change;
        std::function<void(XKeyReader&)> check;
    };
    const Case cases[] = {
        {"Caps Lock pressed on", [](XKeyReader&) {}, [](XKeyReader& c) { c.tapKey(XK_Caps_Lock); },
         [](XKeyReader& c) { EXPECT_TRUE(c.capsLocked()); }},
        {"Caps Lock pressed off", [](XKeyReader& c) { c.setCapsLock(true); },
         [](XKeyReader& c) { c.tapKey(XK_Caps_Lock); }, [](XKeyReader& c) { EXPECT_FALSE(c.capsLocked()); }},
        {"the group switched", [](XKeyReader&) {}, [](XKeyReader& c) { c.lockGroup(1); },
         [](XKeyReader& c) { EXPECT_EQ(c.lockedGroup(), 1u); }},
        {"Shift latched", [](XKeyReader&) {}, [](XKeyReader& c) { c.latchModifiers(shiftMask, shiftMask); },
         [](XKeyReader& c) { EXPECT_EQ(c.latchedModifiers() & shiftMask, shiftMask); }},
    };
    // Characters no layout has, each followed by a letter that de and us put on different keys.
    std::u16string text;
    std::string expected;
    for (char16_t character = 0x4E00; character < 0x4E00 + 60; ++character) {
        text += character;
        text += u'y';
        expected +=
            std::string{char(0xE4), char(0x80 | ((character >> 6) & 0x3F)), char(0x80 | (character & 0x3F))};
        expected += 'y';
    }
    HIDEventPoster poster(server->displayName());
    for (const Case& user : cases) {
        setLayout("us,de");
        auto client = reader();
        user.before(*client);
        typeText(poster, text);
        ASSERT_TRUE(client->waitForPresses(10, 10s)) << user.what;
        user.change(*client);
        poster.sync();
        EXPECT_TRUE(client->waitForPresses(text.size(), 10s)) << user.what;
        EXPECT_EQ(client->text(), expected) << user.what;
        poster.settleKeyboard();
        user.check(*client);
        client->lockModifiers(0xFF, 0);
        client->latchModifiers(0xFF, 0);
        client->lockGroup(0);
    }
}

TEST_F(XTestKeyboardLayoutTest, TextTypedAfterALayoutChangeArrivesExactly) {
    const std::u16string text = u"Your zip-code: y=z !\"#$%&'()*+,-./";
    const std::string expected = "Your zip-code: y=z !\"#$%&'()*+,-./";
    setLayout("us");
    HIDEventPoster poster(server->displayName());
    for (const char* layout : {"us", "de", "us", "de"}) {
        setLayout(layout);
        // The change announced, then a moment as a user would leave, and a client in the focus.
        std::this_thread::sleep_for(100ms);
        auto client = reader();
        EXPECT_EQ(typed(poster, *client, text, expected.size()), expected) << "after switching to " << layout;
    }
}

TEST_F(XTestKeyboardLayoutTest, TwoPostersSharingTheKeyboardInterleaveExactly) {
    auto client = reader();
    client->setCapsLock(true);
    const std::vector<std::uint32_t> mappingBefore = client->keyboardMapping();
    auto keyboard = std::make_shared<XTestKeyboard>(server->displayName());
    HIDEventPoster gestures(server->displayName(), {}, keyboard);
    HIDEventPoster unlocker(server->displayName(), {}, keyboard);
    for (int round = 0; round < 10; ++round) {
        typeText(gestures, u"\u2713");
        typeText(unlocker, u"\u00e9a");
        typeText(gestures, u"\u2713B");
    }
    gestures.sync();
    ASSERT_TRUE(client->waitForPresses(50, 10s)) << client->text();
    // The posters take turns; each one's characters arrive exact and in its order.
    const std::string text = client->text();
    std::string fromGestures;
    std::string fromUnlocker;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string character = text.substr(i, length);
        (character == "✓" || character == "B" ? fromGestures : fromUnlocker) += character;
        i += length;
    }
    std::string expectedGestures;
    std::string expectedUnlocker;
    for (int round = 0; round < 10; ++round) {
        expectedGestures += "✓✓B";
        expectedUnlocker += "éa";
    }
    EXPECT_EQ(fromGestures, expectedGestures) << text;
    EXPECT_EQ(fromUnlocker, expectedUnlocker) << text;
    unlocker.settleKeyboard();
    EXPECT_TRUE(client->capsLocked());
    EXPECT_EQ(client->keyboardMapping(), mappingBefore);
}

TEST_F(XTestKeyboardLayoutTest, TwoPostersTypingAtOnceWithCapsLockOnFlipNoLetter) {
    auto client = reader();
    client->setCapsLock(true);
    auto keyboard = std::make_shared<XTestKeyboard>(server->displayName());
    HIDEventPoster first(server->displayName(), {}, keyboard);
    HIDEventPoster second(server->displayName(), {}, keyboard);
    // Each poster types from a thread of its own, one lower-case and one upper-case, with a character the
    // keymap lacks in every piece.
    const auto typeFrom = [](HIDEventPoster& poster, char16_t base, char16_t missing) {
        for (int piece = 0; piece < 30; ++piece) {
            std::u16string text;
            for (char16_t c = 0; c < 9; ++c) {
                text += char16_t(base + (piece + c) % 26);
            }
            text += missing;
            typeText(poster, text);
        }
    };
    std::thread lower([&] { typeFrom(first, u'a', u'\u00e9'); });
    std::thread upper([&] { typeFrom(second, u'A', u'\u00c9'); });
    lower.join();
    upper.join();
    first.sync();
    ASSERT_TRUE(client->waitForPresses(600, 20s)) << client->text().size();
    std::string lowerSeen;
    std::string upperSeen;
    std::string lowerWanted;
    std::string upperWanted;
    for (int piece = 0; piece < 30; ++piece) {
        for (int c = 0; c < 9; ++c) {
            lowerWanted += char('a' + (piece + c) % 26);
            upperWanted += char('A' + (piece + c) % 26);
        }
        lowerWanted += "é";
        upperWanted += "É";
    }
    const std::string text = client->text();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "é") == 0) {
            lowerSeen += "é";
            ++i;
        } else if (text.compare(i, 2, "É") == 0) {
            upperSeen += "É";
            ++i;
        } else if (text[i] >= 'a' && text[i] <= 'z') {
            lowerSeen += text[i];
        } else {
            upperSeen += text[i];
        }
    }
    EXPECT_EQ(lowerSeen, lowerWanted);
    EXPECT_EQ(upperSeen, upperWanted);
    first.settleKeyboard();
    EXPECT_TRUE(client->capsLocked());
}

TEST_F(XTestKeyboardLayoutTest, AKeyTheUserMapsMeanwhileIsNeitherOverwrittenNorCleared) {
    auto client = reader();
    HIDEventPoster poster(server->displayName());
    EXPECT_EQ(typed(poster, *client, u"x\u2713", 2), "x✓");
    poster.settleKeyboard();

    // The first codes without symbols, those typing takes next, are given keys by the user.
    const std::vector<std::uint32_t> mapping = client->keyboardMapping();
    const std::size_t perKeycode = mapping.size() / 248;
    std::vector<std::size_t> spares;
    for (std::size_t code = 8; code <= 255 && spares.size() < 3; ++code) {
        bool empty = true;
        for (std::size_t column = 0; column < perKeycode; ++column) {
            empty = empty && mapping[(code - 8) * perKeycode + column] == 0;
        }
        if (empty) {
            spares.push_back(code);
        }
    }
    ASSERT_EQ(spares.size(), 3u);
    for (std::size_t i = 0; i < spares.size(); ++i) {
        run({"xmodmap", "-display", server->displayName(), "-e",
             "keycode " + std::to_string(spares[i]) + " = F" + std::to_string(13 + i)});
    }
    const std::vector<std::uint32_t> mappedByUser = client->keyboardMapping();
    ASSERT_EQ(mappedByUser[(spares[2] - 8) * perKeycode], std::uint32_t(XK_F15));

    EXPECT_EQ(typed(poster, *client, u"\u2713\u00e9", 4), "x✓✓é");
    poster.settleKeyboard();
    EXPECT_EQ(client->keyboardMapping(), mappedByUser);
}

TEST_F(XTestKeyboardLayoutTest, KeysTheUserMapsOnSpareCodesDuringALongTextSurviveIt) {
    // The user's tool maps spare codes at two moments it picks with the server held: codes bound to
    // characters not yet typed, and, just before the keyboard binds it again, a code whose characters
    // have gone out, once the reader has read them. So a key the reader misreads was sent on the
    // user's key after the change.
    auto client = reader();
    constexpr auto settle = 300ms;
    XTestKeyboard keyboard(server->displayName(), {.bindingSettle = settle, .restoreSettle = settle});
    testing_support::KeymapUser user(server->displayName(), client->window());
    const std::uint8_t shift = user.keycodeOf(XK_Shift_L);
    // 600 distinct characters the keymap lacks: every spare code is bound again and again, a run of
    // them each settle time.
    constexpr char32_t firstCharacter = 0x4E00;
    constexpr std::size_t length = 600;
    std::u32string text;
    std::string expected;
    for (char32_t c = firstCharacter; c < firstCharacter + length; ++c) {
        text += c;
        expected += char(0xE0 | (c >> 12));
        expected += char(0x80 | ((c >> 6) & 0x3F));
        expected += char(0x80 | (c & 0x3F));
    }
    using Presses = std::vector<testing_support::KeymapUser::Press>;
    // The characters typed before the presses' end (Shift and the markers left out), and the presses
    // the reader counts (the markers in).
    const auto typedIn = [&](const Presses& presses) {
        return std::size_t(std::count_if(presses.begin(), presses.end(), [&](const auto& press) {
            return press.code != shift && press.code != user.markerCode();
        }));
    };
    const auto readerCount = [&](const Presses& presses) {
        return std::size_t(std::count_if(presses.begin(), presses.end(),
                                         [&](const auto& press) { return press.code != shift; }));
    };
    // A pause between two runs that the reader has caught up with: the presses so far.
    const auto pause = [&]() -> std::optional<Presses> {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            const Presses presses = user.presses();
            if (!presses.empty() && std::chrono::steady_clock::now() - presses.back().arrived >= 50ms &&
                client->waitForPresses(readerCount(presses), 5s) && user.presses().size() == presses.size()) {
                return presses;
            }
            std::this_thread::sleep_for(2ms);
        }
        return std::nullopt;
    };
    // The codes the keyboard has bound to characters of the text, each with the indices of its characters.
    const auto boundCodes = [&] {
        std::size_t perKeycode = 0;
        const std::vector<std::uint32_t> mapping = user.keyboardMapping(perKeycode);
        std::map<std::uint8_t, std::vector<std::size_t>> bound;
        for (std::size_t code = 8; perKeycode > 0 && code < mapping.size() / perKeycode; ++code) {
            std::vector<std::size_t> characters;
            bool ours = true;
            for (std::size_t column = 0; column < perKeycode; ++column) {
                const std::uint32_t sym = mapping[code * perKeycode + column];
                const std::uint32_t at = sym - (0x1000000 + firstCharacter);
                if (sym != 0 && at < length) {
                    characters.push_back(at);
                } else {
                    ours = ours && sym == 0;
                }
            }
            if (ours && !characters.empty()) {
                bound[std::uint8_t(code)] = characters;
            }
        }
        return bound;
    };

    // The tool looks again and again, the server held each time, until it finds codes bound to
    // characters not yet typed (and to none the reader has yet to read).
    keyboard.type(text);
    std::vector<std::pair<std::uint8_t, std::uint32_t>> usersKeys;
    const auto lookingSince = std::chrono::steady_clock::now();
    while (usersKeys.empty() && std::chrono::steady_clock::now() - lookingSince < 30s) {
        user.holdServer();
        std::string readSoFar = client->text();
        readSoFar.erase(std::remove(readSoFar.begin(), readSoFar.end(), ' '), readSoFar.end());
        const auto bound = boundCodes();
        const std::optional<Presses> sent = user.mark(10s);
        ASSERT_TRUE(sent);
        for (const auto& [code, characters] : bound) {
            const bool ahead = std::any_of(characters.begin(), characters.end(),
                                           [&](std::size_t at) { return at >= typedIn(*sent); });
            const bool read = std::all_of(characters.begin(), characters.end(), [&](std::size_t at) {
                return at >= typedIn(*sent) || at < readSoFar.size() / 3;
            });
            if (ahead && read && usersKeys.size() < 2) {
                usersKeys.emplace_back(code, std::uint32_t(XK_F13 + usersKeys.size()));
                user.mapKey(code, usersKeys.back().second);
            }
        }
        user.releaseServer();
    }
    ASSERT_FALSE(usersKeys.empty()) << "no code was seen bound before its characters were typed";
    for (int round = 0; round < 8 && usersKeys.size() < 3; ++round) {
        const std::optional<Presses> paused = pause();
        ASSERT_TRUE(paused) << "the text ended before a pause was caught";
        user.holdServer();
        const std::optional<Presses> sent = user.mark(10s);
        ASSERT_TRUE(sent);
        // The keyboard binds again first the level whose character went out first.
        std::optional<std::pair<std::size_t, std::uint8_t>> oldest;
        for (const auto& [code, characters] : boundCodes()) {
            const std::size_t at = *std::min_element(characters.begin(), characters.end());
            if (!oldest || at < oldest->first) {
                oldest.emplace(at, code);
            }
        }
        if (typedIn(*sent) == typedIn(*paused) && oldest) {
            // The keyboard's next binding is due meanwhile, and waits behind the held server.
            std::this_thread::sleep_until(paused->back().arrived + settle + 200ms);
            usersKeys.emplace_back(oldest->second, std::uint32_t(XK_F15));
            user.mapKey(oldest->second, XK_F15);
        }
        user.releaseServer();
    }
    ASSERT_EQ(usersKeys.size(), 3u) << "the keyboard went on before the server was held";

    keyboard.sync();
    const Presses presses = user.presses();
    const std::size_t markers = std::size_t(std::count_if(
        presses.begin(), presses.end(), [&](const auto& press) { return press.code == user.markerCode(); }));
    EXPECT_TRUE(client->waitForPresses(length + markers, 30s));
    std::string read = client->text();
    read.erase(std::remove(read.begin(), read.end(), ' '), read.end());
    const auto [wrong, wanted] = std::mismatch(read.begin(), read.end(), expected.begin(), expected.end());
    EXPECT_EQ(read, expected) << "the first difference after " << (wanted - expected.begin()) / 3
                              << " characters: read \""
                              << std::string(wrong, std::min(wrong + 24, read.end())) << "\"";
    keyboard.settle();
    std::size_t perKeycode = 0;
    const std::vector<std::uint32_t> after = user.keyboardMapping(perKeycode);
    for (const auto& [code, keysym] : usersKeys) {
        EXPECT_EQ(after[code * perKeycode], keysym) << "key code " << int(code);
    }
}

TEST_F(XTestKeyboardLayoutTest, ManyMissingCharactersAreBoundAndPutBackInFewMappingChanges) {
    // A keymap whose codes without symbols are twelve adjacent ones.
    auto client = reader();
    const std::vector<std::uint32_t> mapping = client->keyboardMapping();
    const std::size_t perKeycode = mapping.size() / 248;
    std::vector<std::string> argv = {"xmodmap", "-display", server->displayName()};
    for (std::size_t code = 8; code <= 255; ++code) {
        bool empty = true;
        for (std::size_t column = 0; column < perKeycode; ++column) {
            empty = empty && mapping[(code - 8) * perKeycode + column] == 0;
        }
        const bool inRun = code >= 200 && code < 212;
        if (empty != inRun) {
            argv.insert(argv.end(), {"-e", "keycode " + std::to_string(code) + (inRun ? " =" : " = F20")});
        }
    }
    run(argv);
    const std::vector<std::uint32_t> mappingBefore = client->keyboardMapping();

    auto keyboard = std::make_shared<XTestKeyboard>(server->displayName());
    HIDEventPoster poster(server->displayName(), {}, keyboard);
    std::u16string text;
    std::string expected;
    for (char16_t c = 0x3b1; c < 0x3b1 + 20; ++c) {  // Greek small letters, none on a us keymap
        text += c;
        expected += char(0xC0 | (c >> 6));
        expected += char(0x80 | (c & 0x3F));
    }
    EXPECT_EQ(typed(poster, *client, text, text.size()), expected);
    poster.settleKeyboard();
    EXPECT_EQ(client->keyboardMapping(), mappingBefore);
    // Bound in one change and put back in one (a change per code took over thirty).
    EXPECT_LE(keyboard->mappingChangeCount(), 2u);
}

TEST_F(XTestKeyboardLayoutTest, APasswordsBindingsGoSoonAfterTheirKeysWentUp) {
    auto client = reader();
    const std::vector<std::uint32_t> mappingBefore = client->keyboardMapping();
    HIDEventPoster poster(server->displayName(), {.briefKeyBindings = true});
    EXPECT_EQ(typed(poster, *client, u"s\u00e9cr\u2713t", 6), "sécr✓t");
    // No settling asked for: the keyboard puts the password's characters back by itself, well before
    // the 600 ms an ordinary text's bindings are kept for slow clients.
    EXPECT_TRUE(
        testing_support::waitUntil([&] { return client->keyboardMapping() == mappingBefore; }, 350ms));
}

TEST_F(XTestKeyboardLayoutTest, TextNotYetBegunIsDroppedWhenTheProcessStops) {
    auto client = reader();
    const std::vector<std::uint32_t> mappingBefore = client->keyboardMapping();
    {
        XTestKeyboard keyboard(server->displayName());
        // Each text needs more spare codes than there are, so the first is still being typed when the
        // process stops.
        for (int text = 0; text < 20; ++text) {
            std::u32string cyrillic;
            for (char32_t c = 0x410; c < 0x410 + 48; ++c) {
                cyrillic += c;
            }
            keyboard.type(cyrillic);
        }
        keyboard.discardQueuedText();
    }
    EXPECT_LT(client->keys().size(), 2u * 20 * 48);
    EXPECT_EQ(client->keyboardMapping(), mappingBefore);
}

TEST_F(XTestKeyboardLayoutTest, KeysASequenceLeftDownGoUpWhenThePosterSettles) {
    auto client = reader();
    HIDEventPoster poster(server->displayName());
    poster.post(InputEvent::keyboard(EventType::flagsChanged, KeyCode::control, Modifiers::control.rawValue));
    poster.settleKeyboard();
    ASSERT_TRUE(client->waitForKeys(2, 5s)) << client->keys().size();
    const auto keys = client->keys();
    EXPECT_EQ(keys[0].keysym, std::uint32_t(XK_Control_L));
    EXPECT_TRUE(keys[0].press);
    EXPECT_EQ(keys[1].keysym, std::uint32_t(XK_Control_L));
    EXPECT_FALSE(keys[1].press);
}

// A lock screen whose focus check fails with an error in the middle of select all.
class FailingLocker final : public LockScreen {
  public:
    bool isLocked() override { return true; }
    bool displayIsAsleep() override { return false; }
    void wake() override {}
    LockScreenFocus examine() override {
        return {LockScreenFocus::PasswordField{
            {{SecureInputKey{1}}, std::nullopt, 1, LockScreenFieldCheck::secureInput}}};
    }
    bool isFocused(const LockScreenField&) override {
        if (++checks == 3) {
            throw std::runtime_error("the probe failed");
        }
        return true;
    }
    LockScreenFill fill(const LockScreenField&, std::string_view) override {
        return {LockScreenFill::Failed{"no accessibility"}};
    }
    int checks = 0;
};

using AnyLayout = testing_fakes::AnyKeyLayout;
// A locker whose field is verified, until Return unlocks it.
using ReturnUnlocks = testing_fakes::VerifiedFieldLockScreen;

TEST_F(XTestKeyboardLayoutTest, ThePasswordArrivesExactlyInTheSecondGroup) {
    setLayout("us,de");
    auto locker = reader({.grabKeyboard = true});
    locker->lockGroup(1);
    HIDEventPoster poster(server->displayName());
    ReturnUnlocks lockScreen;
    AnyLayout layout;
    platform::DispatchQueue queue("dev.quelmar.trackpad.mac.unlock");
    LockScreenUnlocker unlocker(
        lockScreen, layout, poster, LockScreenUnlocker::Timing{}, queue,
        [&](double) {
            if (locker->text().find('\n') != std::string::npos) {
                lockScreen.locked = false;
            }
        },
        [] { return platform::monotonicSeconds(); }, [](const std::string&) {});
    std::promise<UnlockReport> done;
    unlocker.unlock(
        "Yz-1y", [] { return false; }, [&](UnlockReport report) { done.set_value(report); });
    EXPECT_EQ(done.get_future().get().status, UnlockStatus::unlocked);
    queue.sync([] {});
    const std::string text = locker->text();
    ASSERT_GE(text.size(), 6u);
    EXPECT_EQ(text.substr(text.size() - 6), "Yz-1y\n");
}

TEST_F(XTestKeyboardLayoutTest, AnUnlockThatFailsDuringSelectAllLeavesControlUp) {
    auto locker = reader({.grabKeyboard = true});
    HIDEventPoster poster(server->displayName());
    FailingLocker lockScreen;
    AnyLayout layout;
    platform::DispatchQueue queue("dev.quelmar.trackpad.mac.unlock");
    LockScreenUnlocker unlocker(
        lockScreen, layout, poster, LockScreenUnlocker::Timing{}, queue, [](double) {},
        [] { return platform::monotonicSeconds(); }, [](const std::string&) {});
    std::promise<UnlockReport> done;
    unlocker.unlock(
        "Yz-1y", [] { return false; }, [&](UnlockReport report) { done.set_value(report); });
    EXPECT_EQ(done.get_future().get().status, UnlockStatus::notReached);
    queue.sync([] {});
    poster.sync();
    const auto controlHeld = [&] {
        int down = 0;
        int seen = 0;
        for (const XKeyReader::Key& key : locker->keys()) {
            if (key.keysym == XK_Control_L) {
                down += key.press ? 1 : -1;
                ++seen;
            }
        }
        return seen == 0 || down != 0;
    };
    EXPECT_TRUE(testing_support::waitUntil([&] { return !controlHeld(); }, 2s)) << "Control is still down";
    EXPECT_EQ(locker->text(), "");
}

}  // namespace
}  // namespace Injector
