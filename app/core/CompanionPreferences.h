#pragma once
// The user's switches, kept in a JSON file in the configuration folder: read once at start, written
// (atomically) on every change. A file that is missing, damaged or of another shape gives the defaults and
// stays as it is until the user changes a setting; a damaged one's text is then kept beside it, as
// Preferences.json.damaged, before the first write replaces it. Keys this version does not know are kept.
//
// Thread: the main queue.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Published.h"

namespace Shell {

class CompanionPreferences {
  public:
    static constexpr const char* showsConnectionNoticeKey = "showsConnectionNotice";
    static constexpr const char* highlightsPointerOnShakeKey = "highlightsPointerOnShake";
    static constexpr const char* allowsUnlockFromIPhoneKey = "allowsUnlockFromIPhone";

    // $XDG_CONFIG_HOME/dev.quelmar.trackpad.mac/Preferences.json (the folder is made at the first write).
    static std::filesystem::path defaultPath();

    explicit CompanionPreferences(std::filesystem::path file);
    ~CompanionPreferences();
    CompanionPreferences(const CompanionPreferences&) = delete;
    CompanionPreferences& operator=(const CompanionPreferences&) = delete;

    platform::Published<bool>& showsConnectionNotice() { return showsConnectionNotice_; }
    platform::Published<bool>& highlightsPointerOnShake() { return highlightsPointerOnShake_; }
    platform::Published<bool>& allowsUnlockFromIPhone() { return allowsUnlockFromIPhone_; }

    // Each publishes first, then writes the value, also when it did not change.
    void setShowsConnectionNotice(bool value);
    void setHighlightsPointerOnShake(bool value);
    void setAllowsUnlockFromIPhone(bool value);

    // Any other Bool key (none when absent or not a Bool), and writing one (a change the user asked for).
    std::optional<bool> boolValue(const std::string& key) const;
    void setBool(const std::string& key, bool value);

    // The file exists but could not be read, and nothing was written since: what it says is unknown, so
    // nothing may be decided (or written) on the grounds that a key is absent.
    bool isUnreadable() const { return unreadable_; }

    const std::filesystem::path& file() const { return file_; }

  private:
    void write(const std::string& key, bool value);

    struct Document;
    std::filesystem::path file_;
    std::unique_ptr<Document> document_;
    bool unreadable_ = false;
    platform::Published<bool> showsConnectionNotice_;
    platform::Published<bool> highlightsPointerOnShake_;
    platform::Published<bool> allowsUnlockFromIPhone_;
};

}  // namespace Shell
