#pragma once
// Keyboard input through XTEST, one per process and shared by every poster that types, so that the
// spare key codes, their bindings, Caps Lock and the keys held are one state: virtual key codes become
// X key codes through the evdev table, the four modifiers become Super_L, Alt_L, Control_L and
// Shift_L, and text is typed character by character.
//
// A character is typed on the key that gives it in the keyboard's current layout group (with Shift
// when it sits on the shifted level); the keymap is the server's own, read again after every change
// the server announces. Any other character is bound to a spare key code (one without symbols, found
// again after every foreign change of the mapping), which keeps the binding until the receiving clients
// have had time to read the new mapping: clients look a key up in the mapping as it is when they
// process the event, and a toolkit whose UI thread is behind does so late, so a binding changed too
// soon would make them read nothing or a neighbour. Spare codes and their shifted level are used in
// turn, the level free soonest first; a level is bound to something else only a settle time after its
// key went up, and a binding is put back (to what the code held before) once the server has
// acknowledged its release and the settle time has passed. The mapping notices are taken in before
// every binding, also within one text: a spare code someone else changed is neither bound nor put back
// from then on. Bindings and put-backs are written with the server held, and only to codes that still
// hold what the keyboard last saw, so a key the user maps meanwhile is never overwritten; a character
// goes out on its spare code only while, the server held, the code is still bound to it, and is bound
// again elsewhere otherwise. Whatever the user left locked or latched that changes a key's level (Caps Lock, Shift
// Lock, a sticky Shift, Level 3 or Level 5) is lifted once for each unit posted whole (a text with the
// Return and Tab keys that stand for its line breaks and tabs, a key combination), and for an attempt
// from its first key to its end, and put back afterwards: it never changes typed characters or the
// modifiers a key goes out with, and the keys sent meanwhile (a Shift tap would clear a Shift Lock, any
// key uses up a sticky Shift) leave it as the user had it. The lift follows the user: the keyboard's
// state is read again before each key and character, with the server held until it has gone out so that
// no other client's request comes between; a group the user switched to is typed in from then on, a lock
// or latch the user changed meanwhile is taken as theirs and lifted too, and the put-back leaves the
// keyboard as the user made it. A unit that presses a key which itself locks
// or latches (Caps Lock, Shift Lock, a Level 3 lock...) is not lifted, since putting the levels back
// would undo it; nor is a lone key (`key`).
//
// The X requests, and every wait their pacing needs, happen on a worker thread of the keyboard's own
// with a connection of its own: the calls below queue the work and return at once, except sync,
// settle and the attempt's steps, which wait for it.
//
// Each owner (a poster, or one phone of a poster) has a queue of its own, carried out in order; the
// owners take turns a unit at a time (one key, or the keys and text of one message), so a key of one
// owner waits at most one unit of another and a modifier held within a unit never reaches another
// owner's keys. What an owner may leave waiting is bounded (`queuedLimit`); a unit beyond it is refused
// whole. An attempt (the unlock) has the keyboard to itself from its first key to its last: text
// waiting when it begins is dropped, other keys wait until it ends, and each of its keys is checked on
// the worker just before it goes out.
//
// Thread: any; the work runs on the keyboard's worker thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Injector {

class XTestKeyboard {
  public:
    struct Options {
        // Least time between a bound key going up and its spare code being bound to something else:
        // longer than the slowest client takes to read the binding (an application whose UI thread
        // is a few hundred milliseconds behind reads the mapping as it is when it catches up).
        std::chrono::milliseconds bindingSettle{600};
        // Least time between the server acknowledging a bound key's release and the binding being
        // put back.
        std::chrono::milliseconds restoreSettle{600};
        // Both, for a text typed with BindingHold::brief.
        std::chrono::milliseconds briefSettle{100};
    };
    // How long the bindings of a text's characters are kept after their keys went up.
    enum class BindingHold {
        // For clients that may be a few hundred milliseconds behind: the settle times of the options.
        ordinary,
        // For a known client that reads keys at once (a password typed into a screen locker): its
        // characters go back sooner.
        brief,
        // For a client that looks each key up only when it gets to it, with the modifiers held and the
        // keymap as they are then (a screen locker reading raw keys): no character goes out with Shift,
        // one that needs it is bound to a spare code's first level as a character the layout lacks, and
        // the bindings are neither changed nor put back until the attempt ends. Only for an attempt's
        // steps: a text whose characters need more spare codes than there are does not go out whole.
        steady,
    };
    // Who pressed a key: each poster lets go only of the keys it pressed. Also whose queue a key or
    // text waits in.
    using Owner = const void*;
    // One key going down or up, or (with text) characters typed.
    struct Step {
        std::uint16_t virtualKeyCode = 0;
        bool down = false;
        std::u32string text;
        BindingHold hold = BindingHold::ordinary;
    };
    // Keys and characters one owner may leave waiting: a few seconds of typing.
    static constexpr std::size_t queuedLimit = 2048;

    // Connects to the named display (empty: $DISPLAY). Without a display or XTEST the keyboard drops
    // everything; it never ends the process.
    explicit XTestKeyboard(const std::string& displayName);
    XTestKeyboard(const std::string& displayName, Options options);
    // Drops the texts not yet begun and stops the one being typed, carries out the rest of what is
    // queued, releases every key still held and puts every binding back, waiting for their settle time.
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    bool isAvailable() const;
    // Presses or releases the key of a virtual key code. Modifier keys press their left modifier by
    // symbol; a code without a Linux key does nothing, and a release of a key the owner does not hold
    // does nothing.
    void key(std::uint16_t virtualKeyCode, bool down, Owner owner);
    // Types the characters in order (a press and a release each), as a unit of text of the owner (see
    // perform). Scalars without a keyboard symbol are left out. The characters may be a password: the
    // keyboard's copies are wiped once typed.
    // `hold` is how long the bindings its characters need are kept (see BindingHold).
    void type(std::u32string scalars, Owner owner = nullptr, BindingHold hold = BindingHold::ordinary);
    // Queues the steps as one unit of the owner, carried out under one lift of the user's levels (see
    // above); `typing` marks a unit of text (its Return and Tab keys included), which is dropped with
    // the other text. False, with nothing queued and one log line per burst, when the owner's waiting
    // keys and characters would pass `queuedLimit`.
    bool perform(std::vector<Step> steps, Owner owner, bool typing);
    // Drops the texts queued and not yet begun, and stops the one being typed at its next character, as
    // when the process stops.
    void discardQueuedText();
    // The owner is gone: what it queued is dropped, its text stops, and its keys are let go.
    // `keep` is held until then, so that the owner's address is not taken by another meanwhile.
    void discardOwner(Owner owner, std::shared_ptr<const void> keep = nullptr);

    // The owner's attempt has the keyboard to itself until endAttempt: the text waiting now is dropped
    // (the text being typed stops at its next character), and every other owner's keys and text wait.
    void beginAttempt(Owner owner);
    // Carries out one step of the attempt when the worker gets to it, if `check`, run on the worker just
    // before, allows it; returns whether it went out (a text: all of its characters), once the X server
    // has it.
    bool attemptStep(Step step, Owner owner, const std::function<bool()>& check);
    // Lets go of the keys the attempt still holds, puts back the locks and latches lifted for it, lets
    // the bindings of its steady texts go back after the brief settle time, and gives the keyboard back.
    void endAttempt(Owner owner);
    // Releases every key the owner pressed and has not released.
    void releaseAll(Owner owner);
    // Waits until everything queued so far, by every owner, has been carried out by the X server.
    void sync();
    // Waits until everything queued so far is done and every binding has been put back.
    void settle();
    // Some spare code is bound now.
    bool hasBindings() const;
    // The keyboard mapping requests sent so far: each makes every client on the display read its
    // keymap again.
    std::uint64_t mappingChangeCount() const;
    // The key codes first to first + count - 1 are all spare codes this keyboard binds, as it saw the
    // keymap last: a mapping change that names only them is most likely one of its own bindings.
    bool ownsKeyCodes(std::uint8_t first, int count) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Injector
