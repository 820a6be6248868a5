#include "app/core/CompanionPreferences.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "preferences");

}  // namespace

struct CompanionPreferences::Document {
    nlohmann::json object = nlohmann::json::object();
    // The text of a file that could not be read, until a copy of it has been kept.
    std::optional<std::vector<std::uint8_t>> damaged;
};

std::filesystem::path CompanionPreferences::defaultPath() {
    return platform::xdgConfigHome() / "dev.quelmar.trackpad.mac" / "Preferences.json";
}

CompanionPreferences::CompanionPreferences(std::filesystem::path file)
    : file_(std::move(file)), document_(std::make_unique<Document>()) {
    try {
        if (auto bytes = platform::readFile(file_)) {
            auto parsed = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
            if (parsed.is_object()) {
                document_->object = std::move(parsed);
            } else {
                unreadable_ = true;
                document_->damaged = std::move(bytes);
                logger.error("The preferences file " + file_.string() +
                             " cannot be read; using the defaults");
            }
        }
    } catch (const std::exception& error) {
        unreadable_ = true;
        logger.error("The preferences file " + file_.string() + " cannot be read (" + error.what() +
                     "); using the defaults");
    }
    showsConnectionNotice_.set(boolValue(showsConnectionNoticeKey).value_or(true));
    highlightsPointerOnShake_.set(boolValue(highlightsPointerOnShakeKey).value_or(true));
    allowsUnlockFromIPhone_.set(boolValue(allowsUnlockFromIPhoneKey).value_or(false));
}

CompanionPreferences::~CompanionPreferences() = default;

std::optional<bool> CompanionPreferences::boolValue(const std::string& key) const {
    auto found = document_->object.find(key);
    if (found == document_->object.end() || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

void CompanionPreferences::setShowsConnectionNotice(bool value) {
    showsConnectionNotice_.set(value);
    write(showsConnectionNoticeKey, showsConnectionNotice_.value());
}

void CompanionPreferences::setHighlightsPointerOnShake(bool value) {
    highlightsPointerOnShake_.set(value);
    write(highlightsPointerOnShakeKey, highlightsPointerOnShake_.value());
}

void CompanionPreferences::setAllowsUnlockFromIPhone(bool value) {
    allowsUnlockFromIPhone_.set(value);
    write(allowsUnlockFromIPhoneKey, allowsUnlockFromIPhone_.value());
}

void CompanionPreferences::setBool(const std::string& key, bool value) {
    write(key, value);
}

void CompanionPreferences::write(const std::string& key, bool value) {
    document_->object[key] = value;
    // The user changed a setting: from now on the file holds what this run knows.
    unreadable_ = false;
    try {
        std::filesystem::create_directories(file_.parent_path());
        if (document_->damaged) {
            // What the user had is not lost with the first change: it stays beside the file.
            std::filesystem::path copy = file_;
            copy += ".damaged";
            platform::writeFileAtomically(copy, *document_->damaged);
            document_->damaged.reset();
            logger.notice("The preferences file that could not be read is kept as " + copy.string());
        }
        platform::writeFileAtomically(file_, document_->object.dump(4) + "\n");
    } catch (const std::exception& error) {
        // The value holds for this run; the file keeps what it had.
        logger.error("The preferences could not be saved to " + file_.string() + ": " + error.what());
    }
}

}  // namespace Shell
