#include "injector/LockScreenUnlocker.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <variant>

#include "injector/InputEvent.h"
#include "injector/KeyVocabulary.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace Injector {
namespace {

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::max(value, 0.0));
    return text;
}

// Overwrites a buffer that held the password, in a way the compiler may not leave out. The whole
// capacity: a string moved from, or cleared, keeps its characters past its (then zero) length.
template <typename Text>
void wipe(Text& text) {
    text.resize(text.capacity());
    explicit_bzero(text.data(), text.size() * sizeof(typename Text::value_type));
    text.clear();
}

// notTyped: the checks allowed the key, but it could not go out as the lock screen reads it.
enum class KeyPostResult { posted, unlocked, focusLost, withdrawn, outOfTime, notTyped };

struct KeyEvent {
    InputEvent event;
    std::uint16_t keyCode = 0;
    bool isPress = false;
};

KeyEvent keyEvent(EventType type, std::uint16_t keyCode, std::uint64_t flags, bool isPress,
                  std::u16string text = {}) {
    KeyEvent key{InputEvent::keyboard(type, keyCode, flags), keyCode, isPress};
    key.event.setIntegerField(EventField::eventSourceUserData, injectedEventTag);
    key.event.unicodeText = std::move(text);
    return key;
}

std::vector<KeyEvent> shiftNudge() {
    return {keyEvent(EventType::flagsChanged, KeyCode::shift, Modifiers::shift.rawValue, true),
            keyEvent(EventType::flagsChanged, KeyCode::shift, 0, false)};
}

// Select all is Control+A on Linux desktops, where Command (Super) is the window manager's.
std::vector<KeyEvent> selectAll(std::uint16_t keyCode) {
    const std::uint64_t control = Modifiers::control.rawValue;
    return {keyEvent(EventType::flagsChanged, KeyCode::control, control, true),
            keyEvent(EventType::keyDown, keyCode, control, true, u"a"),
            keyEvent(EventType::keyUp, keyCode, control, false, u"a"),
            keyEvent(EventType::flagsChanged, KeyCode::control, 0, false)};
}

// Control+U, which kills the line in the lockers that read it so.
std::vector<KeyEvent> lineKill(std::uint16_t keyCode) {
    const std::uint64_t control = Modifiers::control.rawValue;
    return {keyEvent(EventType::flagsChanged, KeyCode::control, control, true),
            keyEvent(EventType::keyDown, keyCode, control, true, u"u"),
            keyEvent(EventType::keyUp, keyCode, control, false, u"u"),
            keyEvent(EventType::flagsChanged, KeyCode::control, 0, false)};
}

// The character Control+U types, for a lock screen that would ask for the modifiers only once Control
// is let go.
std::vector<KeyEvent> lineKillCharacter() {
    return {keyEvent(EventType::keyDown, 0, 0, true, u"\u0015"),
            keyEvent(EventType::keyUp, 0, 0, false, u"\u0015")};
}

std::vector<KeyEvent> escapeKey() {
    return {keyEvent(EventType::keyDown, KeyCode::escape, 0, true),
            keyEvent(EventType::keyUp, KeyCode::escape, 0, false)};
}

std::vector<KeyEvent> deletes(int count) {
    std::vector<KeyEvent> events;
    for (int i = 0; i < count; ++i) {
        events.push_back(keyEvent(EventType::keyDown, KeyCode::deleteKey, 0, true));
        events.push_back(keyEvent(EventType::keyUp, KeyCode::deleteKey, 0, false));
    }
    return events;
}

std::vector<KeyEvent> returnKey() {
    return {keyEvent(EventType::keyDown, KeyCode::returnKey, 0, true),
            keyEvent(EventType::keyUp, KeyCode::returnKey, 0, false)};
}

void wipe(std::vector<KeyEvent>& events) {
    for (KeyEvent& key : events) {
        wipe(key.event.unicodeText);
    }
}

}  // namespace

std::string_view caseName(UnlockStatus status) {
    switch (status) {
        case UnlockStatus::unlocked:
            return "unlocked";
        case UnlockStatus::stillLocked:
            return "stillLocked";
        case UnlockStatus::notLocked:
            return "notLocked";
        case UnlockStatus::notAllowed:
            return "notAllowed";
        case UnlockStatus::accessibilityRequired:
            return "accessibilityRequired";
        case UnlockStatus::busy:
            return "busy";
        case UnlockStatus::cannotType:
            return "cannotType";
        case UnlockStatus::notReached:
            return "notReached";
    }
    return "notReached";
}

std::string_view rawValue(UnlockEntry entry) {
    return entry == UnlockEntry::filled ? "filled" : "typed";
}

std::string_view displayText(UnlockEntry entry) {
    return entry == UnlockEntry::filled ? "Filled by Accessibility"
                                        : "Typed as characters (Accessibility couldn't fill the field)";
}

std::optional<std::vector<std::u16string>> typingChunks(std::string_view password) {
    if (password.empty() || TrackpadProtocol::containsControlCharacter(password)) {
        return std::nullopt;
    }
    icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(password.data(), std::int32_t(password.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    characters->setText(unicode);
    // Never grown: a vector that grows leaves its short strings' characters in the buffer it gives up.
    std::vector<std::u16string> chunks;
    chunks.reserve(std::size_t(unicode.length()));
    for (std::int32_t start = characters->first(), end = characters->next(); end != icu::BreakIterator::DONE;
         start = end, end = characters->next()) {
        std::u16string chunk;
        chunk.reserve(20);
        for (std::int32_t i = start; i < end;) {
            const UChar32 scalar = unicode.char32At(i);
            const std::int32_t length = U16_LENGTH(scalar);
            if (!chunk.empty() && chunk.size() + std::size_t(length) > 20) {
                chunks.push_back(chunk);
                wipe(chunk);
            }
            for (std::int32_t k = 0; k < length; ++k) {
                chunk += char16_t(unicode.charAt(i + k));
            }
            i += length;
        }
        if (!chunk.empty()) {
            chunks.push_back(chunk);
            wipe(chunk);
        }
    }
    // The ICU copy held the password too.
    if (UChar* buffer = unicode.getBuffer(-1); buffer != nullptr) {
        explicit_bzero(buffer, std::size_t(unicode.getCapacity()) * sizeof(UChar));
        unicode.releaseBuffer(0);
    }
    return chunks;
}

struct LockScreenUnlocker::Attempt {
    LockScreenUnlocker& unlocker;
    std::string password;
    std::vector<std::u16string> chunks;
    std::uint16_t selectAllKeyCode = 0;
    std::uint16_t lineKillKeyCode = KeyCode::u;
    double deadline = 0;
    double returnDeadline = 0;
    IsWithdrawn isWithdrawn;
    Completion completion;

    ~Attempt() {
        wipe(password);
        for (std::u16string& chunk : chunks) {
            wipe(chunk);
        }
    }

    using Outcome = UnlockReport;
    enum class GateKind { field, lockOnly };

    LockScreen& lock() { return unlocker.lockScreen_; }
    double now() { return unlocker.clock_(); }
    void log(const std::string& line) { unlocker.note(line); }
    bool withdrawn() { return isWithdrawn && isWithdrawn(); }

    static Outcome withdrawnOutcome() {
        return {UnlockStatus::notAllowed,
                "The attempt was withdrawn (the iPhone disconnected, was forgotten, or Unlock from iPhone "
                "was turned "
                "off).",
                std::nullopt};
    }
    static Outcome unlockedAnotherWay() {
        return {UnlockStatus::notLocked, "The screen unlocked another way before the password went in.",
                std::nullopt};
    }
    Outcome outOfTime(const std::string& what) const {
        return {UnlockStatus::notReached,
                "The attempt ran out of its " + seconds(unlocker.timing_.attemptTimeLimit) + " while " +
                    what +
                    ", so it stopped without pressing Return, to answer before the iPhone stops waiting. "
                    "Accessibility was slow to check the password field.",
                std::nullopt};
    }
    static Outcome notTyped(const std::string& what) {
        return {UnlockStatus::notReached,
                "A key couldn't go out the way the lock screen reads it while " + what +
                    " (no spare key code was left for a character), so typing stopped without Return.",
                std::nullopt};
    }
    static Outcome focusLost(const std::string& what) {
        return {UnlockStatus::notReached,
                "The password field lost the focus while " + what + "; typing stopped without Return.",
                std::nullopt};
    }

    KeyPostResult post(std::vector<KeyEvent> events, GateKind gate, const LockScreenField* field,
                       double limit);
    // The checks before anything is woken or posted; none when the attempt may run.
    std::optional<Outcome> refusal();
    Outcome run();
    std::variant<LockScreenField, Outcome> waitForField();
    std::variant<UnlockEntry, Outcome> fillOrType(const LockScreenField& field);
    std::variant<UnlockEntry, Outcome> type(const LockScreenField& field, std::optional<int> characterCount);
    Outcome pressReturn(const LockScreenField& field, UnlockEntry entry);

    // The keyboard is the attempt's alone from its first key to its last.
    bool holdsKeyboard = false;
    void takeKeyboard() {
        unlocker.poster_.beginExclusive();
        holdsKeyboard = true;
    }
    void giveKeyboardBack() {
        if (holdsKeyboard) {
            holdsKeyboard = false;
            unlocker.poster_.endExclusive();
        }
    }
};

KeyPostResult LockScreenUnlocker::Attempt::post(std::vector<KeyEvent> events, GateKind gate,
                                                const LockScreenField* field, double limit) {
    std::multiset<std::uint16_t> held;
    KeyPostResult result = KeyPostResult::posted;
    // Each press is checked where it goes out, on the keyboard's own thread, against the screen as it
    // is then: a key queued behind other work must not land after the lock screen went.
    const auto stillStands = [&] {
        if (withdrawn()) {
            result = KeyPostResult::withdrawn;
        } else if (!lock().isLocked()) {
            result = KeyPostResult::unlocked;
        } else if (now() >= limit) {
            result = KeyPostResult::outOfTime;
        } else if (gate == GateKind::field && !lock().isFocused(*field)) {
            result = KeyPostResult::focusLost;
        } else if (now() >= limit) {
            result = KeyPostResult::outOfTime;
        }
        return result == KeyPostResult::posted;
    };
    const auto always = [] { return true; };
    std::size_t index = 0;
    for (; index < events.size(); ++index) {
        const KeyEvent& key = events[index];
        if (key.isPress) {
            if (!unlocker.poster_.postChecked(key.event, stillStands)) {
                if (result == KeyPostResult::posted) {
                    result = KeyPostResult::notTyped;
                }
                break;
            }
            held.insert(key.keyCode);
        } else {
            if (auto found = held.find(key.keyCode); found != held.end()) {
                held.erase(found);
            }
            unlocker.poster_.postChecked(key.event, always);
        }
        unlocker.sleep_(unlocker.timing_.keyInterval);
    }
    // Let go of whatever this sequence still holds, without pauses.
    for (; result != KeyPostResult::posted && index < events.size(); ++index) {
        const KeyEvent& key = events[index];
        if (!key.isPress) {
            if (auto found = held.find(key.keyCode); found != held.end()) {
                held.erase(found);
                unlocker.poster_.postChecked(key.event, always);
            }
        }
    }
    wipe(events);
    return result;
}

std::optional<LockScreenUnlocker::Attempt::Outcome> LockScreenUnlocker::Attempt::refusal() {
    if (!lock().isLocked()) {
        return Outcome{UnlockStatus::notLocked, "The screen wasn't locked, so nothing was entered.",
                       std::nullopt};
    }
    std::optional<std::vector<std::u16string>> typable = typingChunks(password);
    if (!typable) {
        return Outcome{UnlockStatus::cannotType,
                       "The password is empty or has a control character. Nothing was entered.",
                       std::nullopt};
    }
    chunks = std::move(*typable);
    const std::optional<UnlockKey> a = unlocker.layout_.key("a");
    selectAllKeyCode = a && !a->shift && !a->option ? a->keyCode : 0;
    // Without a plain key for u, the key where u sits on the common layouts.
    const std::optional<UnlockKey> u = unlocker.layout_.key("u");
    lineKillKeyCode = u && !u->shift && !u->option ? u->keyCode : KeyCode::u;
    return std::nullopt;
}

LockScreenUnlocker::Attempt::Outcome LockScreenUnlocker::Attempt::run() {
    const Timing& timing = unlocker.timing_;
    log("Unlock started.");
    if (withdrawn()) {
        return withdrawnOutcome();
    }
    const bool wasAsleep = lock().displayIsAsleep();
    const double t0 = now();
    lock().wake();
    if (wasAsleep) {
        const double t1 = now();
        bool asleep = lock().displayIsAsleep();
        while (asleep && !withdrawn() && now() < t1 + timing.wakeTimeout) {
            unlocker.sleep_(timing.pollInterval);
            asleep = lock().displayIsAsleep();
        }
        if (!asleep) {
            log("The display was asleep; it woke in " + seconds(now() - t0) + ".");
        } else {
            log("The display was asleep and still was " + seconds(timing.wakeTimeout) + " after waking it.");
        }
    }
    switch (post(shiftNudge(), GateKind::lockOnly, nullptr, returnDeadline)) {
        case KeyPostResult::posted:
            unlocker.sleep_(timing.settleDelay);
            break;
        case KeyPostResult::unlocked:
        case KeyPostResult::focusLost:
            return unlockedAnotherWay();
        case KeyPostResult::withdrawn:
            return withdrawnOutcome();
        case KeyPostResult::outOfTime:
            return outOfTime("waking the lock screen");
        case KeyPostResult::notTyped:
            return notTyped("waking the lock screen");
    }
    auto found = waitForField();
    if (auto* outcome = std::get_if<Outcome>(&found)) {
        return *outcome;
    }
    const LockScreenField field = std::get<LockScreenField>(found);
    auto entered = fillOrType(field);
    if (auto* outcome = std::get_if<Outcome>(&entered)) {
        return *outcome;
    }
    return pressReturn(field, std::get<UnlockEntry>(entered));
}

std::variant<LockScreenField, LockScreenUnlocker::Attempt::Outcome>
LockScreenUnlocker::Attempt::waitForField() {
    const Timing& timing = unlocker.timing_;
    const double start = now();
    double lastNudge = start;
    std::string lastReason = "nothing was checked";
    while (!withdrawn()) {
        if (!lock().isLocked()) {
            return unlockedAnotherWay();
        }
        const LockScreenFocus focus = lock().examine();
        if (const auto* field = std::get_if<LockScreenFocus::PasswordField>(&focus.value)) {
            log(std::string("Password field verified ") +
                (field->field.check == LockScreenFieldCheck::accessibility
                     ? "by Accessibility"
                     : "by the login window's secure input (Accessibility named no element)") +
                " after " + seconds(now() - start) + ".");
            return field->field;
        }
        if (std::holds_alternative<LockScreenFocus::AccessibilityDenied>(focus.value)) {
            return Outcome{
                UnlockStatus::accessibilityRequired,
                "Accessibility isn't allowed for Lumivex, so the password field can't be checked. Nothing "
                "was entered.",
                std::nullopt};
        }
        const std::string& reason = std::get<LockScreenFocus::Unverified>(focus.value).reason;
        if (reason != lastReason) {
            log("Password field not verified yet: " + reason + ".");
            lastReason = reason;
        }
        if (now() - start >= timing.fieldTimeout) {
            return Outcome{UnlockStatus::notReached,
                           "The lock screen's password field wasn't verified within " +
                               seconds(timing.fieldTimeout) +
                               ", so nothing was entered. Last check: " + lastReason + ".",
                           std::nullopt};
        }
        if (now() >= returnDeadline) {
            return outOfTime("looking for the password field");
        }
        if (now() - lastNudge >= timing.nudgeInterval) {
            switch (post(shiftNudge(), GateKind::lockOnly, nullptr, returnDeadline)) {
                case KeyPostResult::posted:
                    lastNudge = now();
                    break;
                case KeyPostResult::unlocked:
                case KeyPostResult::focusLost:
                    return unlockedAnotherWay();
                case KeyPostResult::withdrawn:
                    return withdrawnOutcome();
                case KeyPostResult::outOfTime:
                    return outOfTime("looking for the password field");
                case KeyPostResult::notTyped:
                    return notTyped("looking for the password field");
            }
        }
        unlocker.sleep_(timing.pollInterval);
    }
    return withdrawnOutcome();
}

std::variant<UnlockEntry, LockScreenUnlocker::Attempt::Outcome> LockScreenUnlocker::Attempt::fillOrType(
    const LockScreenField& field) {
    if (withdrawn()) {
        return withdrawnOutcome();
    }
    if (!lock().isLocked()) {
        return unlockedAnotherWay();
    }
    if (!lock().isFocused(field)) {
        return Outcome{UnlockStatus::notReached,
                       "The password field lost the focus before the password went in. Nothing was entered.",
                       std::nullopt};
    }
    if (now() >= returnDeadline) {
        return outOfTime("filling the field");
    }
    const LockScreenFill fill = lock().fill(field, password);
    if (const auto* failed = std::get_if<LockScreenFill::Failed>(&fill.value)) {
        log("Accessibility couldn't fill the password field (" + failed->reason +
            "); typing the password instead.");
        return type(field, field.characterCount);
    }
    const LockScreenFocus again = lock().examine();
    const auto* seen = std::get_if<LockScreenFocus::PasswordField>(&again.value);
    if (seen != nullptr && seen->field.id == field.id && seen->field.characterCount == 0) {
        log("Accessibility set the password field, but it still reads empty; typing the password instead.");
        return type(field, std::nullopt);
    }
    log("Accessibility filled the password field.");
    return UnlockEntry::filled;
}

std::variant<UnlockEntry, LockScreenUnlocker::Attempt::Outcome> LockScreenUnlocker::Attempt::type(
    const LockScreenField& field, std::optional<int> characterCount) {
    constexpr int maximumDeletes = 128;
    // Emptied whole by the keys the lock screen reads so: characters left before the password would
    // make Return submit a password that is certainly wrong, which may count toward the system's lockout.
    if (field.readsKeysLate) {
        unlocker.poster_.typeForLateReader();
    }
    const auto emptyWhole = [&](const std::string& why) -> std::vector<std::vector<KeyEvent>> {
        switch (field.clearing) {
            case LockScreenFieldClearing::controlU:
                log(why + "; emptying it with Control+U first.");
                return {field.readsKeysLate ? lineKillCharacter() : lineKill(lineKillKeyCode)};
            case LockScreenFieldClearing::escape:
                log(why + "; emptying it with Escape first.");
                return {escapeKey()};
            case LockScreenFieldClearing::selectAllThenDelete:
                break;
        }
        log(why + "; selecting all of it and deleting first.");
        return {selectAll(selectAllKeyCode), deletes(1)};
    };
    std::vector<std::vector<KeyEvent>> clearing;
    if (!characterCount) {
        clearing = emptyWhole("The password field's characters can't be counted");
    } else if (*characterCount > maximumDeletes) {
        clearing = emptyWhole("The password field holds more characters than are deleted one by one");
    } else if (*characterCount > 0) {
        log("The password field already held characters; deleting them first.");
        clearing = {deletes(*characterCount)};
    }
    for (std::vector<KeyEvent>& group : clearing) {
        switch (post(std::move(group), GateKind::field, &field, returnDeadline)) {
            case KeyPostResult::posted:
                break;
            case KeyPostResult::unlocked:
                return unlockedAnotherWay();
            case KeyPostResult::focusLost:
                return focusLost("clearing the field");
            case KeyPostResult::withdrawn:
                return withdrawnOutcome();
            case KeyPostResult::outOfTime:
                return outOfTime("clearing the field");
            case KeyPostResult::notTyped:
                return notTyped("clearing the field");
        }
    }
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        std::vector<KeyEvent> events = {keyEvent(EventType::keyDown, 0, 0, true, chunks[i]),
                                        keyEvent(EventType::keyUp, 0, 0, false, chunks[i])};
        switch (post(std::move(events), GateKind::field, &field, returnDeadline)) {
            case KeyPostResult::posted:
                break;
            case KeyPostResult::unlocked:
                if (i == 0) {
                    return unlockedAnotherWay();
                }
                return Outcome{
                    UnlockStatus::unlocked,
                    "The screen unlocked another way while the password was typed; typing stopped.",
                    std::nullopt};
            case KeyPostResult::focusLost:
                return focusLost("typing");
            case KeyPostResult::withdrawn:
                return withdrawnOutcome();
            case KeyPostResult::outOfTime:
                return outOfTime("typing");
            case KeyPostResult::notTyped:
                return notTyped("typing");
        }
    }
    log("Typed the password at the HID event tap.");
    return UnlockEntry::typed;
}

LockScreenUnlocker::Attempt::Outcome LockScreenUnlocker::Attempt::pressReturn(const LockScreenField& field,
                                                                              UnlockEntry entry) {
    const Timing& timing = unlocker.timing_;
    unlocker.sleep_(timing.pollInterval);
    bool knownEmpty = false;
    const LockScreenFocus focus = lock().examine();
    const auto* seen = std::get_if<LockScreenFocus::PasswordField>(&focus.value);
    if (seen != nullptr && seen->field.id == field.id && seen->field.characterCount) {
        knownEmpty = *seen->field.characterCount == 0;
        log(knownEmpty ? "The password field is still empty." : "The password field holds characters.");
    } else {
        log("The password field's characters can't be counted.");
    }
    const auto withEntry = [&](Outcome outcome) {
        outcome.entry = entry;
        return outcome;
    };
    const KeyPostResult returned = post(returnKey(), GateKind::field, &field, returnDeadline);
    // A lock screen that reads keys late may not have read the password yet: its key bindings and the
    // user's lifted locks stay as they are until the wait below is over (the attempt's end).
    if (!field.readsKeysLate) {
        giveKeyboardBack();
    }
    switch (returned) {
        case KeyPostResult::posted:
            break;
        case KeyPostResult::unlocked:
            return withEntry(
                {UnlockStatus::unlocked, "The screen unlocked before Return was pressed.", std::nullopt});
        case KeyPostResult::focusLost:
            return withEntry(focusLost("pressing Return"));
        case KeyPostResult::withdrawn:
            return withEntry(withdrawnOutcome());
        case KeyPostResult::outOfTime:
            return withEntry(outOfTime("pressing Return"));
        case KeyPostResult::notTyped:
            return withEntry(notTyped("pressing Return"));
    }
    const double returnTime = now();
    const double wait = std::min(timing.unlockTimeout, std::max(0.0, deadline - returnTime));
    const double t2 = now();
    bool locked = lock().isLocked();
    while (locked && now() < t2 + wait) {
        unlocker.sleep_(timing.pollInterval);
        locked = lock().isLocked();
    }
    if (!locked) {
        return withEntry({UnlockStatus::unlocked,
                          "Unlocked " + seconds(now() - returnTime) + " after Return.", std::nullopt});
    }
    if (knownEmpty) {
        return withEntry(
            {UnlockStatus::notReached,
             "Still locked, and the password field was empty after the password went in: it didn't "
             "reach the field.",
             std::nullopt});
    }
    return withEntry(
        {UnlockStatus::stillLocked,
         "Still locked " + seconds(timing.unlockTimeout) +
             " after Return. Check the saved password; if it is right, the password may not have reached "
             "the field.",
         std::nullopt});
}

void LockScreenUnlocker::defaultLog(const std::string& line) {
    static const platform::Logger logger("dev.quelmar.trackpad.mac", "unlock");
    logger.notice(line);
}

LockScreenUnlocker::LockScreenUnlocker(LockScreen& lockScreen, UnlockKeyboardLayout& layout,
                                       EventPoster& poster, Timing timing, platform::DispatchQueue& queue,
                                       Sleep sleep, Clock clock, Log log)
    : timing_(timing),
      lockScreen_(lockScreen),
      layout_(layout),
      poster_(poster),
      queue_(queue),
      sleep_(std::move(sleep)),
      clock_(std::move(clock)),
      log_(log ? std::move(log) : Log(defaultLog)) {}

LockScreenUnlocker::~LockScreenUnlocker() {
    std::uint64_t heldBack = 0;
    {
        std::lock_guard lock(logBudgetMutex_);
        heldBack = logBudget_.takeHeldBack();
    }
    tellHeldBack(heldBack);
}

void LockScreenUnlocker::note(const std::string& line) {
    platform::NoticeBudget::Decision decision;
    {
        std::lock_guard lock(logBudgetMutex_);
        decision = logBudget_.take(clock_());
    }
    tellHeldBack(decision.heldBack);
    if (decision.log) {
        log_(line);
    }
}

void LockScreenUnlocker::tellHeldBack(std::uint64_t count) {
    if (count > 0) {
        log_(std::to_string(count) + " more unlock log lines within " + seconds(logWindow) +
             " were left out.");
    }
}

bool LockScreenUnlocker::isRunning() const {
    std::lock_guard lock(busy_);
    return isRunning_;
}

void LockScreenUnlocker::finish(const UnlockReport& report, const Completion& completion) {
    note("Unlock ended " + std::string(caseName(report.status)) + ": " + report.reason);
    if (completion) {
        completion(report);
    }
}

void LockScreenUnlocker::unlock(std::string password, IsWithdrawn isWithdrawn, Completion completion) {
    auto refuse = [&](UnlockStatus status, const char* reason) {
        wipe(password);
        finish({status, reason, std::nullopt}, completion);
    };
    if (isWithdrawn && isWithdrawn()) {
        return refuse(
            UnlockStatus::notAllowed,
            "The attempt was withdrawn (the iPhone disconnected, was forgotten, or Unlock from iPhone was "
            "turned off).");
    }
    // Taken here, before the checks that reach the system run on the queue: a request arriving while
    // another is checked or typed is answered at once, so a flood builds no backlog on the queue.
    bool taken = false;
    {
        std::lock_guard lock(busy_);
        taken = !isRunning_;
        isRunning_ = true;
    }
    if (!taken) {
        return refuse(UnlockStatus::busy, "Another unlock was running.");
    }
    auto run = std::make_shared<Attempt>(Attempt{
        *this, std::move(password), {}, 0, KeyCode::u, 0, 0, std::move(isWithdrawn), std::move(completion)});
    wipe(password);
    run->deadline = clock_() + timing_.attemptTimeLimit;
    queue_.async([this, run] { attempt(run); });
}

void LockScreenUnlocker::attempt(const std::shared_ptr<Attempt>& run) {
    run->returnDeadline = run->deadline - timing_.unlockTimeout;
    UnlockReport report;
    bool ran = false;
    try {
        if (std::optional<UnlockReport> refused = run->refusal()) {
            report = std::move(*refused);
        } else {
            ran = true;
            run->takeKeyboard();
            report = run->run();
        }
    } catch (const std::exception&) {
        // A fault below (a probe, the poster) must neither end the process nor leave the unlocker busy
        // for good, and the phone still gets its one answer. What the error says is not logged: it may
        // have been built from the text being typed.
        report = {UnlockStatus::notReached, "The unlock stopped on an unexpected error.", std::nullopt};
    }
    try {
        run->giveKeyboardBack();
    } catch (const std::exception&) {
    }
    wipe(run->password);
    {
        std::lock_guard lock(busy_);
        isRunning_ = false;
    }
    finish(report, run->completion);
    if (ran) {
        // Key bindings the poster made to type the password's characters go back now.
        poster_.settleKeyboard();
    }
}

}  // namespace Injector
