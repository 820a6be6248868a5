#include "injector/XTestKeyboard.h"

#include <string.h>
#include <sys/uio.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
// xkb.h names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "injector/KeyVocabulary.h"
#include "injector/XConnection.h"
#include "injector/XkbServerKeymap.h"
#include "platform/Log.h"

namespace Injector {
namespace {

using Clock = std::chrono::steady_clock;

xcb_keysym_t modifierKeysym(Modifiers modifier) {
    if (modifier == Modifiers::shift) {
        return XKB_KEY_Shift_L;
    }
    if (modifier == Modifiers::control) {
        return XKB_KEY_Control_L;
    }
    if (modifier == Modifiers::option) {
        return XKB_KEY_Alt_L;
    }
    return XKB_KEY_Super_L;
}

// Overwrites the whole buffer of a text that may be a password: a string moved from, or short enough to
// sit inside the object, keeps its characters past its (then zero) length.
void wipeText(std::u32string& text) {
    text.resize(text.capacity());
    explicit_bzero(text.data(), text.size() * sizeof(char32_t));
    text.clear();
}

template <typename T>
void wipeVector(std::vector<T>& values) {
    if (!values.empty()) {
        explicit_bzero(values.data(), values.size() * sizeof(T));
    }
    values.clear();
}

// Two rows of one key's symbols give the same keys: the same first symbol and the same symbols at all,
// since the server may repeat a key's levels in the columns of the other groups.
bool sameKey(const xcb_keysym_t* a, std::size_t aCount, const xcb_keysym_t* b, std::size_t bCount) {
    const xcb_keysym_t aFirst = aCount > 0 ? a[0] : 0;
    const xcb_keysym_t bFirst = bCount > 0 ? b[0] : 0;
    const auto within = [](const xcb_keysym_t* row, std::size_t count) {
        return [row, count](xcb_keysym_t sym) {
            return sym == 0 || std::find(row, row + count, sym) != row + count;
        };
    };
    return aFirst == bFirst && std::all_of(a, a + aCount, within(b, bCount)) &&
           std::all_of(b, b + bCount, within(a, aCount));
}

}  // namespace

// Everything below the queue lives on the worker thread.
struct XTestKeyboard::Impl {
    Impl(const std::string& displayName, Options options)
        : options(options), display(displayName), tracker(display.get()) {
        if (display.usable()) {
            const xcb_setup_t* setup = xcb_get_setup(display.get());
            minKeycode = setup->min_keycode;
            maxKeycode = setup->max_keycode;
            const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(display.get(), &xcb_test_id);
            available = xtest != nullptr && xtest->present != 0;
        }
        worker = std::thread([this] { run(); });
    }

    // The queue.
    struct Task {
        std::function<void()> run;
        bool typing = false;
        // The keys and characters it carries, counted against the owner's limit.
        std::size_t weight = 0;
        // When it was queued: a barrier goes once everything queued before it has gone.
        std::uint64_t order = 0;
    };
    // Queues a task of the owner; with `limited`, refuses it (false) when the owner's waiting work
    // would pass the limit.
    bool enqueue(Owner owner, Task task, bool limited = false);
    // Queues a task that runs once everything queued before it, of every owner, has been carried out.
    void enqueueBarrier(std::function<void()> task);
    // The next task the worker may run, under the lock.
    std::optional<Task> next();
    // Drops the owner's queued text, and asks its running text to stop, under the lock. The tasks go
    // to `dropped`, to be let go outside the lock.
    void dropTyping(Owner owner, std::deque<Task>& dropped);
    void discardTyping() {
        std::deque<Task> dropped;
        {
            std::lock_guard lock(mutex);
            for (auto& entry : queues) {
                dropTyping(entry.first, dropped);
            }
        }
        // The texts go (and are wiped) here, outside the lock.
    }
    // A unit of the owner asked at `epoch` should stop before its next step: its text was dropped.
    bool stopRequested(Owner owner, std::uint64_t epoch) {
        std::lock_guard lock(mutex);
        const auto queue = queues.find(owner);
        return queue == queues.end() || queue->second.epoch != epoch;
    }
    void wait(std::function<void()> task) {
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        enqueueBarrier([&] {
            // Answered also when the task fails, so the caller never waits for good.
            struct Done {
                std::promise<void>& promise;
                ~Done() { promise.set_value(); }
            } answer{done};
            task();
        });
        finished.wait();
    }
    // Carries out the steps in order; text stops between two steps, when the unit holds no key down,
    // once it was dropped meanwhile.
    void performSteps(std::vector<Step>& steps, Owner owner, bool typing, std::uint64_t epoch);
    // Whether it went out: a text, all of its characters.
    bool performStep(Step& step, Owner owner) {
        if (!step.text.empty()) {
            const bool whole = typeText(step.text, step.hold);
            wipeText(step.text);
            return whole;
        }
        pressKey(step.virtualKeyCode, step.down, owner);
        return true;
    }
    // The unit presses a key that locks or latches something (Caps Lock, Shift Lock, a Level 3 lock...),
    // with the modifiers it holds by then: it asks for that change, which putting the levels back would
    // undo. Takes the keymap and group read for the unit.
    bool pressesLockKey(const std::vector<Step>& steps);
    void run();

    // The worker's work.
    xcb_connection_t* connection() const { return display.get(); }
    bool usable() const { return available && display.usable(); }
    void fake(bool down, xcb_keycode_t code) {
        xcb_test_fake_input(connection(), down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME,
                            XCB_NONE, 0, 0, 0);
    }
    // Presses and releases the key, within Shift when asked (shiftKey then names it).
    void tap(xcb_keycode_t code, bool shifted) {
        if (shifted) {
            fake(true, *shiftKey);
        }
        fake(true, code);
        fake(false, code);
        if (shifted) {
            fake(false, *shiftKey);
        }
    }
    void roundTrip() {
        XReply<xcb_get_input_focus_reply_t> reply(
            xcb_get_input_focus_reply(connection(), xcb_get_input_focus(connection()), nullptr));
    }
    void drainEvents();
    void noteEvent(const xcb_generic_event_t* event);
    // Checks that the spare codes a notification named hold what we gave them; a change of someone
    // else's makes the whole keyboard be read again.
    void verifySpares();
    // Reads the core mapping and the keymap again when a foreign change was announced.
    bool refresh();
    void rescanSpares();
    void buildKeys(std::uint32_t group);
    bool isSpare(xcb_keycode_t code) const {
        return std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.code == code; });
    }
    // A key that types the symbol in the current group: (code, needs Shift). Spare codes are left out.
    std::optional<std::pair<xcb_keycode_t, bool>> keyTyping(xcb_keysym_t keysym) const {
        if (auto found = keys.find(keysym); found != keys.end()) {
            return found->second;
        }
        return std::nullopt;
    }
    // The key that types the symbol in the text being typed: one needing Shift only with a Shift key to
    // press (`shiftKey`), and not for a steady text.
    std::optional<std::pair<xcb_keycode_t, bool>> textKey(xcb_keysym_t keysym) const {
        auto key = keyTyping(keysym);
        if (key && key->second && (!shiftKey || textHold == BindingHold::steady)) {
            key.reset();
        }
        return key;
    }
    std::optional<xcb_keycode_t> keycodeOf(xcb_keysym_t keysym) const {
        if (auto found = keyTyping(keysym); found && !found->second) {
            return found->first;
        }
        return std::nullopt;
    }
    // A spare code and level that types the symbol, bound now when it is not yet.
    struct Slot {
        xcb_keycode_t code = 0;
        int level = 0;
    };
    std::optional<Slot> spareFor(xcb_keysym_t keysym);
    // Binds the symbol as spareFor does, but leaves the request to sendChanges. When every level is
    // still being read, waits for the first to be free and takes in the notices that came meanwhile.
    std::optional<Slot> bindSpare(xcb_keysym_t keysym);
    void prepareBindings(const std::u32string& scalars, std::size_t from);
    // Takes in the mapping notices that have arrived: a spare code someone else changed is dropped,
    // neither bound again nor put back, and a foreign change has the keymap read again (and the keys of
    // the text's group built again). False when the mapping cannot be read.
    bool readNotices();
    // A key of a spare code went up: its binding stays until the clients have read it.
    void noteRelease(const Slot& slot);
    // The slot still types the symbol: its code is still a spare code of ours, bound to it.
    bool holdsBinding(const Slot& slot, xcb_keysym_t keysym) const {
        return std::any_of(spares.begin(), spares.end(), [&](const Spare& s) {
            return s.code == slot.code && s.bound[std::size_t(slot.level)] == keysym;
        });
    }
    bool isBound(xcb_keysym_t keysym) const {
        return std::any_of(spares.begin(), spares.end(),
                           [&](const Spare& s) { return s.bound[0] == keysym || s.bound[1] == keysym; });
    }
    // The levels a spare code can carry: the shifted one only with a Shift key to reach it, and not for
    // a steady text.
    int levels() const { return shiftKey && textHold != BindingHold::steady ? 2 : 1; }
    // What a code gives now, as we last gave it or read it.
    std::vector<xcb_keysym_t> symbolsOf(xcb_keycode_t code) const;
    // Sends the spare codes changed since the last call, and updates the cache.
    void sendChanges();
    // Locks and latches the real modifiers of `mask` as `locked` and `latched` say; the others stay.
    // False without XKB.
    bool setModifiers(std::uint8_t mask, std::uint8_t locked, std::uint8_t latched);
    // The user's locked and latched modifiers while some are lifted. The levels lifted are held clear on
    // the server, so whatever sets one of them meanwhile, or changes any of them, is the user's doing:
    // each look at the keyboard takes it in as the user's own state (a lock pressed toggles it, a latch
    // taken waits) and lifts it again, and the put-back gives the keyboard the state the user made.
    struct LiftedLevels {
        // The user's levels have been read.
        bool read = false;
        // The levels lifted, held clear until put back.
        std::uint8_t mask = 0;
        // The user's locked and latched modifiers, as left and as changed since.
        std::uint8_t locked = 0;
        std::uint8_t latched = 0;
        // What the server held at the last look, less what was lifted then.
        std::uint8_t seenLocked = 0;
        std::uint8_t seenLatched = 0;
    };
    // Reads the keyboard's state: the layout group the user sees becomes `textGroup` (its keys built;
    // 0 when the state cannot be read), the keymap's announced changes are taken in, and, for `lifted`,
    // what the user changed of the levels since the last look. False when the mapping cannot be read.
    bool look(LiftedLevels* lifted);
    // Lifts whatever level-changing modifier the last look found locked or latched (Caps or Shift Lock,
    // a sticky Shift, a Level 3 or Level 5 lock or latch), so that it changes no key that goes out.
    void lift(LiftedLevels& lifted);
    // Both, before each key and character of a lifted unit: what the user changes while it is typed
    // alters none of its keys.
    bool follow(LiftedLevels& lifted) {
        if (!look(&lifted)) {
            return false;
        }
        lift(lifted);
        return true;
    }
    // Gives the lifted levels the state the user left or made of them.
    void putBackLevels(LiftedLevels& lifted);
    // Holds the server from a look at the keyboard to the keys that rely on it: no other client's
    // request (a layout switcher, an on-screen keyboard, a lock key sent by a tool) comes between.
    // Held only for requests to the server, never while waiting on anything else.
    struct ServerHeld {
        explicit ServerHeld(Impl& keyboard) : keyboard(keyboard) { xcb_grab_server(keyboard.connection()); }
        ~ServerHeld() {
            xcb_ungrab_server(keyboard.connection());
            xcb_flush(keyboard.connection());
        }
        ServerHeld(const ServerHeld&) = delete;
        ServerHeld& operator=(const ServerHeld&) = delete;
        Impl& keyboard;
    };
    // An attempt's levels are lifted before its first key goes out, while it still has the keyboard,
    // and stay lifted until it ends: the keys around the password (the wake Shift, select all, Delete,
    // Return) would otherwise clear a Shift Lock, use up a sticky Shift or go out on another level.
    void liftForAttempt(Owner owner);
    // Puts back the levels lifted for the owner's attempt (none: whoever's they are), and lets the
    // bindings kept for its steady texts go back after the brief settle time.
    void putBackAttemptLevels(std::optional<Owner> owner = std::nullopt);
    // The X key code of a virtual key code: a modifier by its symbol among the keys built now, any other
    // key through the evdev table.
    std::optional<xcb_keycode_t> keycodeOfKey(std::uint16_t virtualKeyCode) const;
    void pressKey(std::uint16_t virtualKeyCode, bool down, Owner owner);
    // Whether every character went out.
    bool typeText(std::u32string& scalars, BindingHold hold);
    void releaseOwned(Owner owner);
    // Puts back the bindings whose release was acknowledged a settle time ago; with `waitForAll`, waits
    // for the others too.
    void restoreBindings(bool waitForAll);
    std::optional<Clock::time_point> nextRestore() const;
    void updateBindingCount() {
        bindingCount = std::size_t(
            std::count_if(spares.begin(), spares.end(), [](const Spare& s) { return s.bound[0] != 0; }));
    }

    Options options;
    XConnection display;
    XkbKeymapTracker tracker;
    bool available = false;
    int minKeycode = 8;
    int maxKeycode = 255;

    // The core mapping as last read, kept up to date with our own bindings.
    bool mappingStale = true;
    int perKeycode = 0;
    std::vector<xcb_keysym_t> symbols;
    // The keys of the current keymap and group, by symbol; spare codes left out.
    std::unordered_map<xcb_keysym_t, std::pair<xcb_keycode_t, bool>> keys;
    xkb_keymap* keysKeymap = nullptr;
    std::optional<std::uint32_t> keysGroup;
    // The real modifiers that change what some key of the group types (Shift, Lock, and those Level 3
    // and Level 5 sit on): lifted while text is typed when the user left them locked or latched.
    std::uint8_t levelModifiers = 0;

    std::map<Owner, std::multiset<xcb_keycode_t>> held;

    // A spare code carries two symbols, the second on the shifted level, so that twice as many missing
    // characters are bound at once. The shifted level is bound only while the first is, and the code
    // is put back as a whole.
    struct Spare {
        xcb_keycode_t code = 0;
        std::array<xcb_keysym_t, 2> bound{};  // 0: not bound
        // When each level may be bound to something else: its key's last release plus the hold of the
        // text that typed it; never while a binding waits for its key.
        std::array<Clock::time_point, 2> rebindAfter{};
        // When the code may be put back: the latest of its keys' releases plus their text's hold.
        Clock::time_point restoreAfter{};
        std::array<std::uint64_t, 2> lastUse{};
        // What the code held before it was bound, put back when the binding goes.
        std::vector<xcb_keysym_t> before;
        // A steady text typed it: kept as it is until the attempt ends.
        bool steady = false;
        // The symbols the code gives now, as the server reports them: the first for both levels
        // while the second is not bound.
        std::array<xcb_keysym_t, 2> mapping() const {
            return {bound[0], bound[1] != 0 ? bound[1] : bound[0]};
        }
        // The symbols the server holds for the code are the ones we gave it.
        bool holds(const xcb_keysym_t* syms, std::size_t count) const {
            const auto [first, second] = mapping();
            bool same = count == 0 || (syms[0] == first && (count < 2 || syms[1] == second || syms[1] == 0));
            for (std::size_t i = 0; i < count; ++i) {
                same = same && (syms[i] == 0 || syms[i] == first || syms[i] == second);
            }
            return same;
        }
    };
    std::vector<Spare> spares;
    std::optional<xcb_keycode_t> shiftKey;
    std::uint64_t uses = 0;
    // The text being typed: the layout group its keys come from, and how long its bindings are kept.
    std::uint32_t textGroup = 0;
    BindingHold textHold = BindingHold::ordinary;
    // The unit of text being typed, when it may be dropped meanwhile: its text then stops at the next
    // character.
    struct Droppable {
        Owner owner;
        std::uint64_t epoch;
    };
    std::optional<Droppable> droppable;
    // The lift the step being carried out follows (its unit's or its attempt's); none for a lone key.
    LiftedLevels* lifting = nullptr;
    // What the attempt under way lifted, and whose attempt it is.
    struct AttemptLevels {
        Owner owner = nullptr;
        LiftedLevels lifted;
    };
    std::optional<AttemptLevels> attemptLevels;
    // Spare codes whose new symbols are not sent yet, each with what the server holds for it meanwhile
    // as far as we know.
    std::map<xcb_keycode_t, std::vector<xcb_keysym_t>> changing;
    // What the server holds for a spare code as far as we know: the cache, or for a code about to
    // change, what it held when the change was decided.
    std::vector<xcb_keysym_t> heldNow(xcb_keycode_t code) const {
        if (const auto found = changing.find(code); found != changing.end()) {
            return found->second;
        }
        const std::size_t index = std::size_t(code - minKeycode) * std::size_t(perKeycode);
        std::vector<xcb_keysym_t> row;
        for (std::size_t column = 0; column < std::size_t(perKeycode); ++column) {
            row.push_back(index + column < symbols.size() ? symbols[index + column] : 0);
        }
        return row;
    }
    // A spare code is to change: what it holds now is kept for the check before the change is sent.
    void markChanging(xcb_keycode_t code) {
        if (changing.count(code) == 0) {
            changing[code] = heldNow(code);
        }
    }
    // Spare codes a notification named since: our own changes, or someone else's.
    std::set<xcb_keycode_t> toVerify;

    // Shared with the callers.
    mutable std::mutex mutex;
    std::condition_variable wake;
    struct Queue {
        std::deque<Task> tasks;
        std::size_t weight = 0;
        // Raised whenever its text is dropped: a unit begun before stops.
        std::uint64_t epoch = 0;
        bool inTurn = false;
        // A unit was refused since the queue was last empty: the burst has been logged.
        bool refusing = false;
    };
    std::map<Owner, Queue> queues;
    // The owners with work, in the order of their turns.
    std::deque<Owner> turns;
    std::deque<Task> barriers;
    std::uint64_t queued = 0;
    // The epoch of the unit the worker runs now.
    std::uint64_t runningEpoch = 0;
    // The owner of the attempt that has the keyboard to itself.
    std::optional<Owner> attempt;
    bool stopping = false;
    std::atomic<std::size_t> bindingCount{0};
    std::atomic<std::uint64_t> mappingChanges{0};
    // The spare codes by key code, for callers on other threads.
    std::array<std::atomic<bool>, 256> spareCodes{};
    std::thread worker;
};

bool XTestKeyboard::Impl::enqueue(Owner owner, Task task, bool limited) {
    bool logRefusal = false;
    bool accepted = false;
    {
        std::lock_guard lock(mutex);
        Queue& queue = queues[owner];
        if (limited && queue.weight + task.weight > queuedLimit) {
            logRefusal = !queue.refusing;
            queue.refusing = true;
        } else {
            accepted = true;
            task.order = ++queued;
            queue.weight += task.weight;
            queue.tasks.push_back(std::move(task));
            if (!queue.inTurn) {
                queue.inTurn = true;
                turns.push_back(owner);
            }
        }
    }
    if (logRefusal) {
        static const platform::Logger logger("dev.quelmar.trackpad.mac", "input");
        logger.notice("Keys and text are arriving faster than they can be typed; what passes " +
                      std::to_string(queuedLimit) +
                      " waiting keys and characters is left out until they have been typed.");
    }
    if (accepted) {
        wake.notify_one();
    }
    return accepted;
}

void XTestKeyboard::Impl::enqueueBarrier(std::function<void()> task) {
    {
        std::lock_guard lock(mutex);
        barriers.push_back({std::move(task), false, 0, ++queued});
    }
    wake.notify_one();
}

std::optional<XTestKeyboard::Impl::Task> XTestKeyboard::Impl::next() {
    if (!barriers.empty()) {
        const std::uint64_t order = barriers.front().order;
        const bool before = std::any_of(queues.begin(), queues.end(), [&](const auto& entry) {
            return !entry.second.tasks.empty() && entry.second.tasks.front().order < order;
        });
        if (!before) {
            Task task = std::move(barriers.front());
            barriers.pop_front();
            return task;
        }
    }
    // The owners take turns, a unit each; during an attempt only its owner's work goes.
    for (std::size_t tries = turns.size(); tries > 0; --tries) {
        const Owner owner = turns.front();
        turns.pop_front();
        const auto found = queues.find(owner);
        if (found == queues.end()) {
            continue;
        }
        Queue& queue = found->second;
        if (queue.tasks.empty()) {
            // An owner whose work was dropped: nothing of it is left to remember.
            if (!held.contains(owner)) {
                queues.erase(found);
            } else {
                queue.inTurn = false;
            }
            continue;
        }
        if (attempt && *attempt != owner) {
            turns.push_back(owner);
            continue;
        }
        Task task = std::move(queue.tasks.front());
        queue.tasks.pop_front();
        queue.weight -= task.weight;
        runningEpoch = queue.epoch;
        if (queue.tasks.empty()) {
            queue.inTurn = false;
            queue.refusing = false;
        } else {
            turns.push_back(owner);
        }
        return task;
    }
    return std::nullopt;
}

void XTestKeyboard::Impl::dropTyping(Owner owner, std::deque<Task>& dropped) {
    Queue& queue = queues[owner];
    ++queue.epoch;
    std::deque<Task> kept;
    for (Task& task : queue.tasks) {
        if (task.typing) {
            queue.weight -= task.weight;
            dropped.push_back(std::move(task));
        } else {
            kept.push_back(std::move(task));
        }
    }
    queue.tasks.swap(kept);
}

void XTestKeyboard::Impl::performSteps(std::vector<Step>& steps, Owner owner, bool typing,
                                       std::uint64_t epoch) {
    const auto holding = [&] {
        const auto mine = held.find(owner);
        return mine == held.end() ? std::size_t(0) : mine->second.size();
    };
    const std::size_t heldBefore = holding();
    // The whole unit goes out under one lift, its keys (the Return and Tab of a text, a key combination)
    // as much as its characters: each names exactly the modifiers it goes out with, and a lock or latch
    // of the user's would turn a Tab into Shift+Tab, or be used up by it. The lift follows the user from
    // key to key (see LiftedLevels). A unit that presses a lock or latch key itself keeps the user's
    // levels, as that key means to change them.
    struct UnitLevels {
        Impl& keyboard;
        LiftedLevels lifted;
        ~UnitLevels() {
            keyboard.lifting = nullptr;
            keyboard.putBackLevels(lifted);
            xcb_flush(keyboard.connection());
        }
    } unit{*this, {}};
    if (look(&unit.lifted) && !pressesLockKey(steps)) {
        lifting = &unit.lifted;
    } else {
        unit.lifted = {};
    }
    for (std::size_t i = 0; i < steps.size(); ++i) {
        // Between two keys of the unit, never while it holds one of its own down.
        const bool free = holding() <= heldBefore;
        if (typing && i > 0 && free && stopRequested(owner, epoch)) {
            break;
        }
        struct Typing {
            std::optional<Droppable>& droppable;
            ~Typing() { droppable.reset(); }
        } typingStep{droppable};
        if (typing && free) {
            droppable = Droppable{owner, epoch};
        }
        performStep(steps[i], owner);
    }
}

void XTestKeyboard::Impl::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex);
            std::optional<Task> found;
            while (!(found = next()) && !stopping) {
                const std::optional<Clock::time_point> due = nextRestore();
                if (!due) {
                    wake.wait(lock);
                } else if (wake.wait_until(lock, *due) == std::cv_status::timeout) {
                    break;
                }
            }
            if (!found && stopping) {
                return;
            }
            if (found) {
                task = std::move(found->run);
            }
        }
        try {
            if (task) {
                task();
            }
            if (usable()) {
                drainEvents();
                restoreBindings(false);
            } else {
                // Nothing can be put back on a broken connection.
                for (Spare& spare : spares) {
                    spare.bound = {};
                }
                updateBindingCount();
            }
        } catch (...) {
            // A fault of the X connection is not the process's end; what was asked is dropped.
        }
    }
}

void XTestKeyboard::Impl::drainEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection())) {
        noteEvent(event);
        std::free(event);
    }
}

void XTestKeyboard::Impl::noteEvent(const xcb_generic_event_t* event) {
    const std::uint8_t type = event->response_type & 0x7F;
    // A change of spare codes only is most likely our own binding (the server announces each several
    // times); it is checked against what we gave the codes before the next look-up.
    const auto allSpare = [&](xcb_keycode_t first, int count) {
        for (int code = first; code < int(first) + count; ++code) {
            if (code > maxKeycode || !isSpare(xcb_keycode_t(code))) {
                return false;
            }
        }
        return count > 0;
    };
    const auto verify = [&](xcb_keycode_t first, int count) {
        for (int code = first; code < int(first) + count; ++code) {
            toVerify.insert(xcb_keycode_t(code));
        }
    };
    if (type == XCB_MAPPING_NOTIFY) {
        const auto* notify = reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
        if (notify->request != XCB_MAPPING_KEYBOARD) {
            return;
        }
        if (allSpare(notify->first_keycode, notify->count)) {
            verify(notify->first_keycode, notify->count);
            return;
        }
    } else if (tracker.announcesChange(event)) {
        const auto* notify = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(event);
        const int first = notify->firstKeySym;
        const int last = first + notify->nKeySyms;
        const auto within = [&](xcb_keycode_t from, std::uint8_t count) {
            return count == 0 || (from >= first && from + count <= last);
        };
        if (notify->xkbType == XCB_XKB_MAP_NOTIFY && notify->nTypes == 0 &&
            allSpare(notify->firstKeySym, notify->nKeySyms) &&
            within(notify->firstKeyAct, notify->nKeyActs) &&
            within(notify->firstKeyBehavior, notify->nKeyBehavior) &&
            within(notify->firstKeyExplicit, notify->nKeyExplicit) &&
            within(notify->firstModMapKey, notify->nModMapKeys) &&
            within(notify->firstVModMapKey, notify->nVModMapKeys)) {
            verify(notify->firstKeySym, notify->nKeySyms);
            return;
        }
    } else {
        return;
    }
    // Someone else changed the keyboard: read it again before the next look-up.
    mappingStale = true;
    tracker.markStale();
}

void XTestKeyboard::Impl::verifySpares() {
    if (toVerify.empty() || mappingStale) {
        toVerify.clear();
        return;
    }
    std::vector<std::pair<xcb_keycode_t, xcb_get_keyboard_mapping_cookie_t>> asked;
    for (const xcb_keycode_t code : toVerify) {
        asked.emplace_back(code, xcb_get_keyboard_mapping(connection(), code, 1));
    }
    toVerify.clear();
    for (const auto& [code, cookie] : asked) {
        XReply<xcb_get_keyboard_mapping_reply_t> reply(
            xcb_get_keyboard_mapping_reply(connection(), cookie, nullptr));
        if (!reply) {
            mappingStale = true;
            continue;
        }
        xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
        const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
        bool ours = true;
        for (const Spare& spare : spares) {
            if (spare.code == code) {
                ours = spare.holds(syms, std::size_t(std::max(length, 0)));
            }
        }
        // The reply may hold a character of a password.
        explicit_bzero(syms, std::size_t(length) * sizeof(xcb_keysym_t));
        if (!ours) {
            mappingStale = true;
        }
    }
    if (mappingStale) {
        tracker.markStale();
    }
}

bool XTestKeyboard::Impl::refresh() {
    if (!mappingStale && !symbols.empty()) {
        return true;
    }
    // Changes are asked for before the mapping is read, so none between the two goes unseen.
    tracker.ready();
    const int count = maxKeycode - minKeycode + 1;
    XReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        connection(), xcb_get_keyboard_mapping(connection(), xcb_keycode_t(minKeycode), std::uint8_t(count)),
        nullptr));
    if (!reply || reply->keysyms_per_keycode == 0) {
        return false;
    }
    wipeVector(symbols);
    perKeycode = reply->keysyms_per_keycode;
    xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    symbols.assign(syms, syms + length);
    // The reply may hold characters bound for a password.
    explicit_bzero(syms, std::size_t(length) * sizeof(xcb_keysym_t));
    mappingStale = false;
    rescanSpares();
    keysKeymap = nullptr;
    return true;
}

void XTestKeyboard::Impl::rescanSpares() {
    std::vector<Spare> found;
    for (int code = minKeycode; code <= maxKeycode; ++code) {
        const std::size_t index = std::size_t(code - minKeycode) * std::size_t(perKeycode);
        if (index + std::size_t(perKeycode) > symbols.size()) {
            break;
        }
        const xcb_keysym_t* syms = symbols.data() + index;
        auto mine =
            std::find_if(spares.begin(), spares.end(), [&](const Spare& s) { return s.code == code; });
        const bool empty = std::all_of(syms, syms + perKeycode, [](xcb_keysym_t sym) { return sym == 0; });
        const bool ours =
            mine != spares.end() && mine->bound[0] != 0 && mine->holds(syms, std::size_t(perKeycode));
        if (ours) {
            // Still our binding: kept, and put back later.
            found.push_back(std::move(*mine));
        } else if (empty) {
            Spare spare;
            spare.code = xcb_keycode_t(code);
            if (mine != spares.end()) {
                spare.lastUse = mine->lastUse;
                spare.rebindAfter = mine->rebindAfter;
            }
            found.push_back(std::move(spare));
        }
        // Otherwise the code holds symbols someone else gave it: not ours to bind or put back.
    }
    for (Spare& spare : spares) {
        spare.bound = {};
        wipeVector(spare.before);
    }
    spares = std::move(found);
    std::array<bool, 256> spare{};
    for (const Spare& s : spares) {
        spare[s.code] = true;
    }
    for (std::size_t code = 0; code < spare.size(); ++code) {
        spareCodes[code].store(spare[code], std::memory_order_relaxed);
    }
    updateBindingCount();
}

void XTestKeyboard::Impl::buildKeys(std::uint32_t group) {
    xkb_keymap* keymap = tracker.keymap();
    if (keymap == keysKeymap && keysGroup == group) {
        return;
    }
    keys.clear();
    keysKeymap = keymap;
    keysGroup = group;
    if (keymap == nullptr) {
        return;
    }
    xkb_state* state = xkb_state_new(keymap);
    if (state == nullptr) {
        return;
    }
    const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    for (const bool shift : {false, true}) {
        if (shift && shiftIndex == XKB_MOD_INVALID) {
            break;
        }
        xkb_state_update_mask(state, shift ? 1u << shiftIndex : 0, 0, 0, 0, 0, group);
        for (int code = minKeycode; code <= maxKeycode; ++code) {
            if (isSpare(xcb_keycode_t(code))) {
                continue;
            }
            const xkb_keysym_t sym = xkb_state_key_get_one_sym(state, xkb_keycode_t(code));
            if (sym != XKB_KEY_NoSymbol) {
                keys.emplace(sym, std::make_pair(xcb_keycode_t(code), shift));
            }
        }
    }
    // Each real modifier (the keymap's first eight) locked alone: one that changes a key's symbol
    // changes its level. Keypad keys are left out, since text is never typed on them (Num Lock stays).
    const auto keypad = [](xkb_keysym_t sym) { return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal; };
    std::vector<xkb_keysym_t> plain;
    xkb_state_update_mask(state, 0, 0, 0, 0, 0, group);
    for (int code = minKeycode; code <= maxKeycode; ++code) {
        plain.push_back(xkb_state_key_get_one_sym(state, xkb_keycode_t(code)));
    }
    levelModifiers = 0;
    for (unsigned bit = 0; bit < 8 && bit < xkb_keymap_num_mods(keymap); ++bit) {
        xkb_state_update_mask(state, 0, 0, 1u << bit, 0, 0, group);
        for (int code = minKeycode; code <= maxKeycode; ++code) {
            const xkb_keysym_t before = plain[std::size_t(code - minKeycode)];
            const xkb_keysym_t sym = xkb_state_key_get_one_sym(state, xkb_keycode_t(code));
            if (sym != before && !keypad(sym) && !keypad(before) && !isSpare(xcb_keycode_t(code))) {
                levelModifiers = std::uint8_t(levelModifiers | (1u << bit));
                break;
            }
        }
    }
    xkb_state_unref(state);
}

std::vector<xcb_keysym_t> XTestKeyboard::Impl::symbolsOf(xcb_keycode_t code) const {
    for (const Spare& spare : spares) {
        if (spare.code == code && spare.bound[0] != 0) {
            const auto [first, second] = spare.mapping();
            return {first, second};
        }
    }
    std::vector<xcb_keysym_t> syms;
    const std::size_t index = std::size_t(code - minKeycode) * std::size_t(perKeycode);
    for (std::size_t column = 0; column < std::size_t(perKeycode); ++column) {
        syms.push_back(index + column < symbols.size() ? symbols[index + column] : 0);
    }
    return syms;
}

void XTestKeyboard::Impl::sendChanges() {
    if (changing.empty()) {
        return;
    }
    // Every client reads the whole keymap again for each request, so the codes change together: one
    // request per run of adjacent spare codes, from the first code that changes to the last. A code in
    // between that does not change is sent with what it holds; only spare codes are ever sent, since a
    // user's own key must not be rewritten from a cache that may be behind.
    std::vector<xcb_keycode_t> codes;
    for (const Spare& spare : spares) {
        codes.push_back(spare.code);
    }
    std::sort(codes.begin(), codes.end());
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::size_t start = 0;
    while (start < codes.size()) {
        std::size_t end = start + 1;
        while (end < codes.size() && codes[end] == codes[end - 1] + 1) {
            ++end;
        }
        std::size_t first = end;
        std::size_t last = start;
        for (std::size_t i = start; i < end; ++i) {
            if (changing.count(codes[i]) != 0) {
                first = std::min(first, i);
                last = i;
            }
        }
        if (first < end) {
            runs.emplace_back(first, last);
        }
        start = end;
    }
    // The cache may be behind: a tool of the user's may have mapped one of these codes since the last
    // notice was taken in, or do so between this look and the change. With the server held, each run is
    // read first and written only if it still holds what the cache says; otherwise the user's keys stay,
    // the run's bindings are not made, and the whole keyboard is read again before the next key.
    const ServerHeld server(*this);
    std::vector<xcb_get_keyboard_mapping_cookie_t> asked;
    for (const auto& [first, last] : runs) {
        asked.push_back(xcb_get_keyboard_mapping(connection(), codes[first], std::uint8_t(last - first + 1)));
    }
    for (std::size_t run = 0; run < runs.size(); ++run) {
        const auto [first, last] = runs[run];
        XReply<xcb_get_keyboard_mapping_reply_t> reply(
            xcb_get_keyboard_mapping_reply(connection(), asked[run], nullptr));
        bool current = reply && reply->keysyms_per_keycode > 0;
        if (current) {
            const std::size_t width = reply->keysyms_per_keycode;
            xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
            const std::size_t length =
                std::size_t(std::max(xcb_get_keyboard_mapping_keysyms_length(reply.get()), 0));
            for (std::size_t i = first; i <= last && current; ++i) {
                const std::size_t at = (i - first) * width;
                std::vector<xcb_keysym_t> held = heldNow(codes[i]);
                current = at + width <= length && sameKey(syms + at, width, held.data(), held.size());
                wipeVector(held);
            }
            // The reply may hold characters of a password.
            explicit_bzero(syms, length * sizeof(xcb_keysym_t));
        }
        if (!current) {
            mappingStale = true;
            tracker.markStale();
            continue;
        }
        std::vector<std::vector<xcb_keysym_t>> rows;
        std::size_t width = 1;
        for (std::size_t i = first; i <= last; ++i) {
            rows.push_back(symbolsOf(codes[i]));
            width = std::max(width, rows.back().size());
        }
        std::vector<xcb_keysym_t> flat;
        for (std::vector<xcb_keysym_t>& row : rows) {
            row.resize(width, 0);
            flat.insert(flat.end(), row.begin(), row.end());
            wipeVector(row);
        }
        xcb_change_keyboard_mapping(connection(), std::uint8_t(rows.size()), codes[first],
                                    std::uint8_t(width), flat.data());
        ++mappingChanges;
        for (std::size_t i = first; i <= last; ++i) {
            const std::size_t index = std::size_t(codes[i] - minKeycode) * std::size_t(perKeycode);
            for (std::size_t column = 0; column < std::size_t(perKeycode); ++column) {
                if (index + column < symbols.size()) {
                    symbols[index + column] = column < width ? flat[(i - first) * width + column] : 0;
                }
            }
        }
        // The symbols may be characters of a password.
        wipeVector(flat);
    }
    for (auto& entry : changing) {
        wipeVector(entry.second);
    }
    changing.clear();
}

std::optional<XTestKeyboard::Impl::Slot> XTestKeyboard::Impl::spareFor(xcb_keysym_t keysym) {
    std::optional<Slot> slot = bindSpare(keysym);
    sendChanges();
    return slot;
}

std::optional<XTestKeyboard::Impl::Slot> XTestKeyboard::Impl::bindSpare(xcb_keysym_t keysym) {
    for (;;) {
        if (spares.empty()) {
            return std::nullopt;
        }
        for (Spare& spare : spares) {
            for (int level = 0; level < levels(); ++level) {
                if (spare.bound[std::size_t(level)] == keysym) {
                    spare.lastUse[std::size_t(level)] = ++uses;
                    return Slot{spare.code, level};
                }
            }
        }
        // Free levels first, then the level whose binding may go first. Among free levels, those that
        // add no request to the ones already due (a code changing anyway, then a neighbour of one) come
        // first.
        const auto cost = [&](const Spare& spare) {
            if (changing.count(spare.code) != 0) {
                return 0;
            }
            const bool besideOne = (spare.code > 0 && changing.count(xcb_keycode_t(spare.code - 1)) != 0) ||
                                   changing.count(xcb_keycode_t(spare.code + 1)) != 0;
            return besideOne ? 1 : 2;
        };
        Spare* choice = nullptr;
        int level = 0;
        const auto rank = [&](const Spare& spare, int at) {
            const std::size_t i = std::size_t(at);
            const bool free = spare.bound[i] == 0;
            return std::make_tuple(free ? 0 : 1, free ? cost(spare) : 0,
                                   free ? Clock::time_point{} : spare.rebindAfter[i], spare.lastUse[i]);
        };
        for (Spare& spare : spares) {
            for (int at = 0; at < levels(); ++at) {
                if (at == 1 && spare.bound[0] == 0) {
                    continue;
                }
                if (choice == nullptr || rank(spare, at) < rank(*choice, level)) {
                    choice = &spare;
                    level = at;
                }
            }
        }
        if (choice->bound[std::size_t(level)] != 0 &&
            choice->rebindAfter[std::size_t(level)] == Clock::time_point::max()) {
            // Every level holds a character still to be typed (bound ahead, until the user took some of
            // the codes) or kept for an attempt. The character bound furthest ahead gives its level up:
            // its key has not gone out, so no client reads that binding, and it is bound again in turn.
            Spare* ahead = nullptr;
            int aheadLevel = 0;
            for (Spare& spare : spares) {
                for (int at = 0; at < levels(); ++at) {
                    const std::size_t i = std::size_t(at);
                    const bool waiting =
                        spare.bound[i] != 0 && spare.rebindAfter[i] == Clock::time_point::max();
                    if (!spare.steady && waiting &&
                        (ahead == nullptr || spare.lastUse[i] > ahead->lastUse[std::size_t(aheadLevel)])) {
                        ahead = &spare;
                        aheadLevel = at;
                    }
                }
            }
            if (ahead == nullptr) {
                return std::nullopt;
            }
            choice = ahead;
            level = aheadLevel;
        }
        const std::size_t slot = std::size_t(level);
        if (choice->bound[slot] != 0 && choice->rebindAfter[slot] != Clock::time_point::max()) {
            // The clients must have read the old binding before it changes: the server must have passed
            // the key on (a round trip), and the slowest of them looked the key up.
            roundTrip();
            if (Clock::now() < choice->rebindAfter[slot]) {
                // A text dropped meanwhile (its phone went, the process stops) waits no longer.
                while (Clock::now() < choice->rebindAfter[slot]) {
                    if (droppable && stopRequested(droppable->owner, droppable->epoch)) {
                        return std::nullopt;
                    }
                    std::this_thread::sleep_until(
                        std::min(choice->rebindAfter[slot], Clock::now() + std::chrono::milliseconds(10)));
                }
                // The user may have mapped a spare code meanwhile: chosen again with that taken in.
                if (!readNotices()) {
                    return std::nullopt;
                }
                continue;
            }
        } else if (choice->bound[slot] == 0 && level == 0) {
            const std::size_t index = std::size_t(choice->code - minKeycode) * std::size_t(perKeycode);
            choice->before.assign(
                symbols.begin() + std::ptrdiff_t(std::min(index, symbols.size())),
                symbols.begin() + std::ptrdiff_t(std::min(index + std::size_t(perKeycode), symbols.size())));
        }
        choice->bound[slot] = keysym;
        choice->lastUse[slot] = ++uses;
        choice->rebindAfter[slot] = Clock::time_point::max();
        markChanging(choice->code);
        updateBindingCount();
        return Slot{choice->code, level};
    }
}

void XTestKeyboard::Impl::prepareBindings(const std::u32string& scalars, std::size_t from) {
    // The bindings of the batch are chosen first and sent together.
    std::vector<xcb_keysym_t> pending;
    for (std::size_t i = from; i < scalars.size(); ++i) {
        const xcb_keysym_t keysym = xkb_utf32_to_keysym(scalars[i]);
        if (keysym == XKB_KEY_NoSymbol || isBound(keysym) ||
            std::find(pending.begin(), pending.end(), keysym) != pending.end() || textKey(keysym)) {
            continue;
        }
        // Only levels that are free now: never bound, or read by every client and typed already.
        const auto now = Clock::now();
        const bool free = std::any_of(spares.begin(), spares.end(), [&](const Spare& s) {
            for (std::size_t at = 0; at < std::size_t(levels()); ++at) {
                if (at == 1 && s.bound[0] == 0) {
                    continue;
                }
                if (s.bound[at] == 0 || s.rebindAfter[at] <= now) {
                    return true;
                }
            }
            return false;
        });
        if (!free || pending.size() >= spares.size() * std::size_t(levels())) {
            break;
        }
        pending.push_back(keysym);
        bindSpare(keysym);
    }
    sendChanges();
    wipeVector(pending);
}

bool XTestKeyboard::Impl::readNotices() {
    drainEvents();
    verifySpares();
    if (!mappingStale) {
        return true;
    }
    if (!refresh()) {
        return false;
    }
    buildKeys(textGroup);
    return true;
}

void XTestKeyboard::Impl::noteRelease(const Slot& slot) {
    const bool brief = textHold == BindingHold::brief;
    const auto now = Clock::now();
    const auto rebind = now + (brief ? options.briefSettle : options.bindingSettle);
    const auto restore = now + (brief ? options.briefSettle : options.restoreSettle);
    for (Spare& s : spares) {
        if (s.code == slot.code && textHold == BindingHold::steady) {
            s.steady = true;
            s.rebindAfter[std::size_t(slot.level)] = Clock::time_point::max();
            s.restoreAfter = Clock::time_point::max();
        } else if (s.code == slot.code) {
            auto& after = s.rebindAfter[std::size_t(slot.level)];
            // A binding typed by an ordinary text keeps its time when a brief one types it too.
            after = after == Clock::time_point::max() ? rebind : std::max(after, rebind);
            s.restoreAfter = std::max(s.restoreAfter, restore);
        }
    }
}

void XTestKeyboard::Impl::pressKey(std::uint16_t virtualKeyCode, bool down, Owner owner) {
    std::optional<ServerHeld> server;
    if (lifting != nullptr) {
        // A key of a lifted unit or attempt goes out in the levels and group the user has now.
        server.emplace(*this);
        if (!follow(*lifting)) {
            return;
        }
    } else {
        drainEvents();
        verifySpares();
        if (!refresh()) {
            return;
        }
        if (KeyCode::modifierOfKey(virtualKeyCode)) {
            buildKeys(tracker.group());
        }
    }
    const std::optional<xcb_keycode_t> code = keycodeOfKey(virtualKeyCode);
    if (!code) {
        return;
    }
    std::multiset<xcb_keycode_t>& mine = held[owner];
    if (down) {
        mine.insert(*code);
    } else if (auto found = mine.find(*code); found != mine.end()) {
        mine.erase(found);
    } else {
        return;
    }
    fake(down, *code);
    xcb_flush(connection());
}

std::optional<xcb_keycode_t> XTestKeyboard::Impl::keycodeOfKey(std::uint16_t virtualKeyCode) const {
    if (const std::optional<Modifiers> modifier = KeyCode::modifierOfKey(virtualKeyCode)) {
        if (const std::optional<xcb_keycode_t> code = keycodeOf(modifierKeysym(*modifier))) {
            return code;
        }
    }
    const std::optional<std::uint16_t> evdev = KeyCode::evdevKeyCode(virtualKeyCode);
    if (!evdev || *evdev + 8 > maxKeycode) {
        return std::nullopt;
    }
    return xcb_keycode_t(*evdev + 8);
}

void XTestKeyboard::Impl::releaseOwned(Owner owner) {
    auto mine = held.find(owner);
    if (mine == held.end()) {
        return;
    }
    for (const xcb_keycode_t code : mine->second) {
        fake(false, code);
    }
    held.erase(mine);
    xcb_flush(connection());
}

bool XTestKeyboard::Impl::setModifiers(std::uint8_t mask, std::uint8_t locked, std::uint8_t latched) {
    // xcb's LatchLockState has no field for the latched modifiers' values (the protocol's byte after
    // affectModLatches), so the request is put together here.
    const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(connection(), &xcb_xkb_id);
    if (xkb == nullptr || xkb->present == 0) {
        return false;
    }
    xcb_xkb_latch_lock_state_request_t request{};
    request.deviceSpec = XCB_XKB_ID_USE_CORE_KBD;
    request.affectModLocks = mask;
    request.modLocks = std::uint8_t(locked & mask);
    request.affectModLatches = mask;
    request.pad0 = std::uint8_t(latched & mask);
    std::array<iovec, 3> parts{};
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    xcb_protocol_request_t protocol{1, &xcb_xkb_id, XCB_XKB_LATCH_LOCK_STATE, 1};
    xcb_send_request(connection(), 0, &parts[2], &protocol);
    return true;
}

bool XTestKeyboard::Impl::look(LiftedLevels* lifted) {
    // The modifiers and the group as they are now: letters are typed in the group the user sees. The
    // round trip also brings in every change of the keymap announced before it.
    XkbKeymapTracker::LockState state;
    const bool haveState = tracker.readState(state);
    drainEvents();
    verifySpares();
    const bool mapped = refresh();
    if (mapped) {
        textGroup = haveState ? state.group : 0;
        buildKeys(textGroup);
    }
    if (lifted != nullptr && haveState) {
        if (!lifted->read) {
            lifted->read = true;
            lifted->locked = state.lockedMods;
            lifted->latched = state.latchedMods;
        } else {
            // A change of a level since the last look is the user's (see LiftedLevels); any other
            // modifier is as the server has it.
            const std::uint8_t levels = levelModifiers | lifted->mask;
            const auto take = [levels](std::uint8_t user, std::uint8_t seen, std::uint8_t now) {
                return std::uint8_t(((user ^ seen ^ now) & levels) | (now & ~levels));
            };
            lifted->locked = take(lifted->locked, lifted->seenLocked, state.lockedMods);
            lifted->latched = take(lifted->latched, lifted->seenLatched, state.latchedMods);
        }
        lifted->seenLocked = state.lockedMods;
        lifted->seenLatched = state.latchedMods;
    }
    return mapped;
}

void XTestKeyboard::Impl::lift(LiftedLevels& lifted) {
    const std::uint8_t set = std::uint8_t(levelModifiers & (lifted.seenLocked | lifted.seenLatched));
    if (set != 0 && setModifiers(set, 0, 0)) {
        lifted.mask = std::uint8_t(lifted.mask | set);
        lifted.seenLocked = std::uint8_t(lifted.seenLocked & ~set);
        lifted.seenLatched = std::uint8_t(lifted.seenLatched & ~set);
    }
}

void XTestKeyboard::Impl::putBackLevels(LiftedLevels& lifted) {
    if (lifted.mask != 0) {
        // With what the user changed since the last key.
        const ServerHeld server(*this);
        look(&lifted);
        setModifiers(lifted.mask, lifted.locked, lifted.latched);
    }
    lifted = {};
}

bool XTestKeyboard::Impl::pressesLockKey(const std::vector<Step>& steps) {
    xkb_keymap* keymap = tracker.keymap();
    xkb_state* state = keymap != nullptr ? xkb_state_new(keymap) : nullptr;
    if (state == nullptr) {
        return false;
    }
    const auto locksOrLatches = [](xkb_keysym_t sym) {
        switch (sym) {
            case XKB_KEY_Caps_Lock:
            case XKB_KEY_Shift_Lock:
            case XKB_KEY_Num_Lock:
            case XKB_KEY_Scroll_Lock:
            case XKB_KEY_ISO_Lock:
            case XKB_KEY_ISO_Level2_Latch:
            case XKB_KEY_ISO_Level3_Latch:
            case XKB_KEY_ISO_Level3_Lock:
            case XKB_KEY_ISO_Level5_Latch:
            case XKB_KEY_ISO_Level5_Lock:
            case XKB_KEY_ISO_Group_Latch:
            case XKB_KEY_ISO_Group_Lock:
            case XKB_KEY_ISO_Next_Group:
            case XKB_KEY_ISO_Next_Group_Lock:
            case XKB_KEY_ISO_Prev_Group:
            case XKB_KEY_ISO_Prev_Group_Lock:
            case XKB_KEY_ISO_First_Group:
            case XKB_KEY_ISO_First_Group_Lock:
            case XKB_KEY_ISO_Last_Group:
            case XKB_KEY_ISO_Last_Group_Lock:
                return true;
            default:
                return false;
        }
    };
    // The unit's keys are followed from the levels as they would be lifted, so that each key is judged
    // by the symbol of the level its own modifiers put it on: a keymap may put a lock on a key's second
    // level only.
    xkb_state_update_mask(state, 0, 0, 0, 0, 0, textGroup);
    bool found = false;
    for (const Step& step : steps) {
        const std::optional<xcb_keycode_t> code =
            step.text.empty() ? keycodeOfKey(step.virtualKeyCode) : std::nullopt;
        if (!code) {
            continue;
        }
        if (step.down) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_state_key_get_syms(state, *code, &syms);
            if (std::any_of(syms, syms + std::max(count, 0), locksOrLatches)) {
                found = true;
                break;
            }
        }
        xkb_state_update_key(state, *code, step.down ? XKB_KEY_DOWN : XKB_KEY_UP);
    }
    xkb_state_unref(state);
    return found;
}

void XTestKeyboard::Impl::liftForAttempt(Owner owner) {
    {
        std::lock_guard lock(mutex);
        if (attempt != owner) {
            return;
        }
    }
    if (attemptLevels && attemptLevels->owner == owner) {
        return;
    }
    putBackAttemptLevels();
    // Lifted at its first key, which follows the lift as every key of the attempt does.
    attemptLevels = AttemptLevels{owner, {}};
}

void XTestKeyboard::Impl::putBackAttemptLevels(std::optional<Owner> owner) {
    if (!attemptLevels || !owner || attemptLevels->owner == *owner) {
        if (attemptLevels) {
            putBackLevels(attemptLevels->lifted);
            attemptLevels.reset();
        }
        const auto due = Clock::now() + options.briefSettle;
        for (Spare& spare : spares) {
            if (spare.steady) {
                spare.steady = false;
                for (auto& after : spare.rebindAfter) {
                    after = std::min(after, due);
                }
                spare.restoreAfter = due;
            }
        }
    }
}

bool XTestKeyboard::Impl::typeText(std::u32string& scalars, BindingHold hold) {
    // Outside a lifted unit or attempt, a text lifts the levels for itself.
    LiftedLevels own;
    LiftedLevels& lifted = lifting != nullptr ? *lifting : own;
    textHold = hold;
    bool whole = true;
    for (std::size_t i = 0; i < scalars.size(); ++i) {
        // A text dropped while it is typed (its phone went, the process stops) ends here.
        if (droppable && i > 0 && stopRequested(droppable->owner, droppable->epoch)) {
            whole = false;
            break;
        }
        const xcb_keysym_t keysym = xkb_utf32_to_keysym(scalars[i]);
        if (keysym == XKB_KEY_NoSymbol) {
            whole = false;
            continue;
        }
        // Each character in the group and levels the user has now, with the server held from the look to
        // the key. The look also takes in the mapping notices, so that a spare code the user maps during
        // a long text is left alone from then on.
        enum class OnKey { typed, none, lost };
        const auto typeOnKey = [&] {
            if (!follow(lifted)) {
                return OnKey::lost;
            }
            shiftKey = keycodeOf(XKB_KEY_Shift_L);
            if (const auto key = textKey(keysym)) {
                tap(key->first, key->second);
                return OnKey::typed;
            }
            return OnKey::none;
        };
        {
            const ServerHeld server(*this);
            const OnKey onKey = typeOnKey();
            if (onKey == OnKey::lost) {
                whole = false;
                break;
            }
            if (onKey == OnKey::typed) {
                continue;
            }
        }
        // A binding may wait for a level to come free, and the user may change the keyboard meanwhile:
        // the group switched to may even have a key for it, and a spare code the user mapped since it
        // was bound (or while the binding was being made) is theirs, its binding gone: the character is
        // bound again elsewhere. Each try loses a spare code to the user, so a few are enough.
        OnKey onKey = OnKey::none;
        for (int attempt = 0; attempt < 4 && onKey == OnKey::none; ++attempt) {
            if (!isBound(keysym)) {
                prepareBindings(scalars, i);
            }
            const std::optional<Slot> spare = spareFor(keysym);
            if (!spare) {
                break;
            }
            const ServerHeld server(*this);
            onKey = typeOnKey();
            if (onKey != OnKey::none || !holdsBinding(*spare, keysym)) {
                continue;
            }
            if (spare->level == 1 && !shiftKey) {
                break;
            }
            tap(spare->code, spare->level == 1);
            noteRelease(*spare);
            onKey = OnKey::typed;
        }
        if (onKey == OnKey::lost) {
            whole = false;
            break;
        }
        whole = whole && onKey == OnKey::typed;
    }
    // A binding made for a character that was not typed holds nothing anyone reads.
    for (Spare& spare : spares) {
        for (auto& after : spare.rebindAfter) {
            if (after == Clock::time_point::max() && !spare.steady) {
                after = Clock::now();
            }
        }
    }
    if (&lifted == &own) {
        putBackLevels(own);
    }
    xcb_flush(connection());
    return whole;
}

std::optional<Clock::time_point> XTestKeyboard::Impl::nextRestore() const {
    std::optional<Clock::time_point> due;
    for (const Spare& spare : spares) {
        if (spare.bound[0] != 0 && !spare.steady) {
            due = due ? std::min(*due, spare.restoreAfter) : spare.restoreAfter;
        }
    }
    return due;
}

void XTestKeyboard::Impl::restoreBindings(bool waitForAll) {
    if (bindingCount == 0) {
        return;
    }
    // The releases must have reached the server, and the clients been given their settle time, before
    // a binding goes.
    roundTrip();
    drainEvents();
    verifySpares();
    if (mappingStale) {
        refresh();
    }
    if (waitForAll) {
        std::optional<Clock::time_point> latest;
        for (const Spare& spare : spares) {
            // A steady text's bindings wait for its attempt to end.
            if (spare.bound[0] != 0 && !spare.steady) {
                latest = latest ? std::max(*latest, spare.restoreAfter) : spare.restoreAfter;
            }
        }
        if (latest && Clock::now() < *latest) {
            std::this_thread::sleep_until(*latest);
        }
    }
    // Every binding that is due goes in one pass.
    const auto now = Clock::now();
    for (Spare& spare : spares) {
        if (spare.bound[0] == 0 || now < spare.restoreAfter) {
            continue;
        }
        markChanging(spare.code);
        std::vector<xcb_keysym_t> before = spare.before;
        before.resize(std::size_t(perKeycode), 0);
        const std::size_t index = std::size_t(spare.code - minKeycode) * std::size_t(perKeycode);
        for (std::size_t column = 0; column < before.size(); ++column) {
            if (index + column < symbols.size()) {
                symbols[index + column] = before[column];
            }
        }
        wipeVector(before);
        spare.bound = {};
        spare.restoreAfter = {};
        wipeVector(spare.before);
    }
    sendChanges();
    updateBindingCount();
    xcb_flush(connection());
}

XTestKeyboard::XTestKeyboard(const std::string& displayName) : XTestKeyboard(displayName, Options{}) {}

XTestKeyboard::XTestKeyboard(const std::string& displayName, Options options)
    : impl_(std::make_unique<Impl>(displayName, options)) {}

XTestKeyboard::~XTestKeyboard() {
    Impl& d = *impl_;
    d.discardTyping();
    {
        std::lock_guard lock(d.mutex);
        d.attempt.reset();
    }
    d.enqueueBarrier([&d] {
        if (!d.usable()) {
            return;
        }
        while (!d.held.empty()) {
            d.releaseOwned(d.held.begin()->first);
        }
        d.putBackAttemptLevels();
        d.restoreBindings(true);
        // Carried out before the connection goes, so that whoever looks next sees the keymap as it was.
        d.roundTrip();
    });
    {
        std::lock_guard lock(d.mutex);
        d.stopping = true;
    }
    d.wake.notify_one();
    d.worker.join();
}

bool XTestKeyboard::isAvailable() const {
    return impl_->usable();
}

void XTestKeyboard::key(std::uint16_t virtualKeyCode, bool down, Owner owner) {
    Impl& d = *impl_;
    if (!d.usable()) {
        return;
    }
    d.enqueue(owner,
              {[&d, virtualKeyCode, down, owner] { d.pressKey(virtualKeyCode, down, owner); }, false, 1});
}

void XTestKeyboard::type(std::u32string scalars, Owner owner, BindingHold hold) {
    std::vector<Step> steps(1);
    steps.front().text = std::move(scalars);
    steps.front().hold = hold;
    wipeText(scalars);
    perform(std::move(steps), owner, true);
}

bool XTestKeyboard::perform(std::vector<Step> given, Owner owner, bool typing) {
    Impl& d = *impl_;
    // The steps move into the task, and are wiped when the task goes, carried out or dropped.
    std::shared_ptr<std::vector<Step>> steps(new std::vector<Step>(std::move(given)),
                                             [](std::vector<Step>* done) {
                                                 for (Step& step : *done) {
                                                     wipeText(step.text);
                                                 }
                                                 delete done;
                                             });
    for (Step& step : given) {
        wipeText(step.text);
    }
    if (!d.usable()) {
        return false;
    }
    std::size_t weight = 0;
    for (const Step& step : *steps) {
        weight += std::max<std::size_t>(step.text.size(), 1);
    }
    return d.enqueue(owner,
                     {[&d, steps, owner, typing] { d.performSteps(*steps, owner, typing, d.runningEpoch); },
                      typing, weight},
                     true);
}

void XTestKeyboard::discardQueuedText() {
    impl_->discardTyping();
}

void XTestKeyboard::discardOwner(Owner owner, std::shared_ptr<const void> keep) {
    Impl& d = *impl_;
    std::deque<Impl::Task> dropped;
    {
        std::lock_guard lock(d.mutex);
        const auto queue = d.queues.find(owner);
        if (queue != d.queues.end()) {
            d.dropTyping(owner, dropped);
            for (Impl::Task& task : queue->second.tasks) {
                dropped.push_back(std::move(task));
            }
            // The owner's turn, if it has one, is dropped when it comes up.
            queue->second.tasks.clear();
            queue->second.weight = 0;
        }
        if (d.attempt == owner) {
            d.attempt.reset();
        }
    }
    if (d.usable()) {
        // After the unit it may be in the middle of, which stops at its next character.
        d.enqueueBarrier([&d, owner, keep] {
            d.releaseOwned(owner);
            d.putBackAttemptLevels(owner);
            xcb_flush(d.connection());
            std::lock_guard lock(d.mutex);
            if (const auto queue = d.queues.find(owner);
                queue != d.queues.end() && queue->second.tasks.empty() && !queue->second.inTurn) {
                d.queues.erase(queue);
            }
        });
    }
}

void XTestKeyboard::beginAttempt(Owner owner) {
    Impl& d = *impl_;
    std::deque<Impl::Task> dropped;
    std::lock_guard lock(d.mutex);
    d.attempt = owner;
    for (auto& entry : d.queues) {
        if (entry.first != owner) {
            d.dropTyping(entry.first, dropped);
        }
    }
}

bool XTestKeyboard::attemptStep(Step given, Owner owner, const std::function<bool()>& check) {
    Impl& d = *impl_;
    auto step = std::make_shared<Step>(std::move(given));
    wipeText(given.text);
    if (!d.usable()) {
        const bool allowed = check();
        wipeText(step->text);
        return allowed;
    }
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> posted = answer->get_future();
    d.enqueue(owner, {[&d, step, owner, &check, answer] {
                          bool allowed = false;
                          try {
                              allowed = check();
                          } catch (...) {
                              wipeText(step->text);
                              answer->set_exception(std::current_exception());
                              return;
                          }
                          bool wentOut = false;
                          if (allowed) {
                              d.liftForAttempt(owner);
                              struct Lifting {
                                  Impl& keyboard;
                                  ~Lifting() { keyboard.lifting = nullptr; }
                              } lifting{d};
                              if (d.attemptLevels && d.attemptLevels->owner == owner) {
                                  d.lifting = &d.attemptLevels->lifted;
                              }
                              wentOut = d.performStep(*step, owner);
                              // The X server has the key before the caller goes on.
                              d.roundTrip();
                          }
                          wipeText(step->text);
                          answer->set_value(wentOut);
                      },
                      false, 1});
    return posted.get();
}

void XTestKeyboard::endAttempt(Owner owner) {
    Impl& d = *impl_;
    if (!d.usable()) {
        std::lock_guard lock(d.mutex);
        d.attempt.reset();
        return;
    }
    d.enqueue(owner, {[&d, owner] {
                          d.releaseOwned(owner);
                          d.putBackAttemptLevels(owner);
                          xcb_flush(d.connection());
                          std::lock_guard lock(d.mutex);
                          if (d.attempt == owner) {
                              d.attempt.reset();
                          }
                      },
                      false, 0});
}

void XTestKeyboard::releaseAll(Owner owner) {
    Impl& d = *impl_;
    if (d.usable()) {
        d.enqueue(owner, {[&d, owner] { d.releaseOwned(owner); }, false, 0});
    }
}

void XTestKeyboard::sync() {
    Impl& d = *impl_;
    if (d.usable()) {
        d.wait([&d] {
            d.roundTrip();
            d.drainEvents();
        });
    }
}

void XTestKeyboard::settle() {
    Impl& d = *impl_;
    if (d.usable()) {
        d.wait([&d] {
            d.drainEvents();
            d.restoreBindings(true);
        });
    }
}

std::uint64_t XTestKeyboard::mappingChangeCount() const {
    return impl_->mappingChanges;
}

bool XTestKeyboard::ownsKeyCodes(std::uint8_t first, int count) const {
    if (count <= 0 || int(first) + count > 256) {
        return false;
    }
    for (int code = first; code < int(first) + count; ++code) {
        if (!impl_->spareCodes[std::size_t(code)].load(std::memory_order_relaxed)) {
            return false;
        }
    }
    return true;
}

bool XTestKeyboard::hasBindings() const {
    return impl_->bindingCount > 0;
}

}  // namespace Injector
