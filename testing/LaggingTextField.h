#pragma once
// A Qt text field (the lumivex-test-text-field program) on a display, for tests of typing into a real
// toolkit: its UI thread can be made to stall at the first key press, and what it holds is read back
// from the lines it writes after every change. Also the mixed text such tests type.
//
// Thread: one thread at a time.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class Subprocess;

class LaggingTextField {
  public:
    struct Options {
        // The UI thread sleeps this long at the first key press.
        std::chrono::milliseconds stallAtFirstKey{0};
        // ...and this long at every key press, as an application slow to handle keys does.
        std::chrono::milliseconds stallAtEveryKey{0};
    };
    // Starts the field and waits until it has the keyboard focus; throws std::runtime_error when it
    // cannot be started or never takes the focus.
    LaggingTextField(const std::string& displayName, Options options);
    ~LaggingTextField();
    LaggingTextField(const LaggingTextField&) = delete;
    LaggingTextField& operator=(const LaggingTextField&) = delete;

    // The field's text as it last wrote it (UTF-8).
    std::string text() const;
    // Waits until the text equals `expected`, or has not changed for `quiet`, or `timeout` passed;
    // returns the text then.
    std::string waitForText(const std::string& expected, std::chrono::milliseconds quiet,
                            std::chrono::milliseconds timeout) const;

    // 290 characters of mixed scripts (Latin with accents, Greek, Cyrillic, Japanese, Chinese, Korean,
    // symbols and ASCII), 118 of them distinct characters a `us` keymap lacks. UTF-8.
    static const std::string& mixedText();
    // The Unicode scalars of UTF-8 text.
    static std::u32string scalarsOf(const std::string& utf8);
    // UTF-8 text as a phone sends it: pieces of at most 255 bytes on character boundaries, each a text
    // of its own, as scalars.
    static std::vector<std::u32string> wirePieces(const std::string& utf8);

  private:
    std::filesystem::path folder_;
    std::filesystem::path output_;
    std::unique_ptr<Subprocess> process_;
};

}  // namespace testing_support
