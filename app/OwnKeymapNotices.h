#pragma once
// Keeps the keymap notices the companion's own keyboard causes away from Qt. Every character the
// keymap lacks is typed by binding a spare key code, and every binding makes the X server tell each
// client that the keyboard mapping changed; Qt answers each such notice by reading the whole keymap
// again, with its round trips to the server, on the main thread. The spare codes carry nothing Qt's
// windows need, so a notice that names only them is swallowed; any other change of the keyboard (a
// new layout, someone else's mapping) still reaches Qt.
//
// Thread: main (Qt's native event filters run there).
#include <memory>

namespace Injector {
class XTestKeyboard;
}

namespace Shell {

class OwnKeymapNotices {
  public:
    // Installs the filter on the application's X connection; without one (another platform) it does
    // nothing.
    explicit OwnKeymapNotices(std::shared_ptr<const Injector::XTestKeyboard> keyboard);
    ~OwnKeymapNotices();
    OwnKeymapNotices(const OwnKeymapNotices&) = delete;
    OwnKeymapNotices& operator=(const OwnKeymapNotices&) = delete;

  private:
    struct Filter;
    std::unique_ptr<Filter> filter_;
};

}  // namespace Shell
