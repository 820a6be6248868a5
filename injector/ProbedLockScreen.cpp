#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "injector/LockScreenProbe.h"

namespace Injector {
namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

}  // namespace

std::string_view rawValue(LockScreenFieldCheck check) {
    return check == LockScreenFieldCheck::accessibility ? "accessibility" : "secureInput";
}

std::string LockScreenFieldFacts::description() const {
    std::string owner = "unknown process";
    if (ownerProcessName) {
        owner =
            *ownerProcessName + " (" +
            (!ownerUserID                    ? "user unknown"
             : *ownerUserID == currentUserID ? "this user"
                                             : "another user") +
            (*ownerProcessName == "loginwindow" && !ownerIsSystemLoginWindow ? ", NOT Apple's login window"
                                                                             : "") +
            ")";
    }
    return role.value_or("no role") + "/" + subrole.value_or("no subrole") + " of " + owner +
           "; session locked " + yesNo(sessionLocked) + ", on console " + yesNo(sessionOnConsole) +
           ", this user's " + yesNo(sessionUserID && *sessionUserID == currentUserID);
}

bool LockScreenFieldFacts::isLockScreenPasswordField() const {
    return sessionLocked && sessionOnConsole && sessionUserID && *sessionUserID == currentUserID &&
           ownerUserID && *ownerUserID == *sessionUserID && ownerProcessName == "loginwindow" &&
           ownerIsSystemLoginWindow && role == "AXTextField" && subrole == "AXSecureTextField";
}

ProbedLockScreen::Examination ProbedLockScreen::examination() {
    LockScreenProbe& probe = *probe_;
    if (!probe.accessibilityTrusted()) {
        return {{LockScreenFocus::AccessibilityDenied{}}, false};
    }
    const LockScreenSession session = probe.session();
    const uid_t uid = probe.currentUserID();
    const std::optional<pid_t> loginWindow = probe.loginWindowProcess(uid);

    std::vector<std::pair<const char*, std::optional<pid_t>>> candidates;
    if (loginWindow) {
        candidates.emplace_back("login window focus", loginWindow);
    }
    candidates.emplace_back("system-wide focus", std::nullopt);

    std::vector<std::string> reasons;
    bool namedOtherElement = false;
    for (const auto& [label, application] : candidates) {
        const LockScreenProbe::Focus focus = probe.focusedElement(application);
        std::string text;
        if (const int* error = std::get_if<int>(&focus)) {
            text = "no focused element (Accessibility error " + std::to_string(*error) + ")";
        } else if (const auto* element = std::get_if<LockScreenProbe::Element>(&focus)) {
            std::optional<ProbedProcess> owner;
            if (element->processID) {
                owner = probe.processInfo(*element->processID);
            }
            LockScreenFieldFacts facts;
            facts.role = probe.stringAttribute(element->element, "AXRole");
            facts.subrole = probe.stringAttribute(element->element, "AXSubrole");
            if (owner) {
                facts.ownerProcessName = owner->name;
                facts.ownerUserID = owner->userID;
                facts.ownerIsSystemLoginWindow = owner->isSystemLoginWindow;
            }
            facts.sessionUserID = session.userID;
            facts.sessionOnConsole = session.onConsole;
            facts.sessionLocked = session.locked;
            facts.currentUserID = uid;
            if (facts.isLockScreenPasswordField()) {
                LockScreenField field{{AXElementKey{element->element}},
                                      probe.characterCount(element->element),
                                      element->processID,
                                      LockScreenFieldCheck::accessibility};
                return {{LockScreenFocus::PasswordField{field}}, namedOtherElement};
            }
            if (owner && owner->isLoginWindow && owner->userID == uid && owner->isSystemLoginWindow) {
                namedOtherElement = true;
            }
            text = facts.description();
        } else {
            text = "no focused element";
        }
        reasons.push_back(std::string(label) + ": " + text);
    }
    if (!loginWindow) {
        reasons.emplace_back("no login window process acts as this user");
    }
    // A holder number of 0 or below names no process.
    const std::optional<pid_t> holder =
        session.secureInputPID && *session.secureInputPID > 0 ? session.secureInputPID : std::nullopt;
    if (!holder) {
        reasons.push_back(std::string("secure input: ") +
                          (probe.secureInputEnabled() ? "on, holder unknown" : "off"));
    } else {
        const std::optional<ProbedProcess> info = probe.processInfo(*holder);
        const bool counts = info && info->isLoginWindow && info->userID == uid && info->isSystemLoginWindow &&
                            session.locked && session.onConsole && session.userID && *session.userID == uid &&
                            !session.secureInputDoubt;
        if (counts && !namedOtherElement) {
            LockScreenField field{{SecureInputKey{*holder}},
                                  std::nullopt,
                                  holder,
                                  LockScreenFieldCheck::secureInput,
                                  info->fieldClearing};
            field.readsKeysLate = info->readsKeysLate;
            return {{LockScreenFocus::PasswordField{field}}, namedOtherElement};
        }
        if (counts) {
            reasons.emplace_back(
                "secure input: held by this user's login window, but its focus is elsewhere");
        } else {
            std::string qualifier;
            if (info && info->isLoginWindow && !info->isSystemLoginWindow) {
                qualifier = " (" + info->doubt.value_or("NOT Apple's login window") + ")";
            } else if (info && info->isLoginWindow && session.secureInputDoubt) {
                qualifier = ", but " + *session.secureInputDoubt;
            }
            reasons.push_back("secure input: held by " +
                              (info ? info->name : "process " + std::to_string(*holder)) + qualifier);
        }
    }
    std::string joined;
    for (const std::string& reason : reasons) {
        joined += (joined.empty() ? "" : "; ") + reason;
    }
    return {{LockScreenFocus::Unverified{joined}}, namedOtherElement};
}

bool ProbedLockScreen::isFocused(const LockScreenField& field) {
    Examination current = examination();
    for (int retry = 0; retry < 2; ++retry) {
        if (!std::holds_alternative<LockScreenFocus::Unverified>(current.focus.value) ||
            current.namedOtherElement) {
            break;
        }
        probe_->pause(0.05);
        current = examination();
    }
    const auto* found = std::get_if<LockScreenFocus::PasswordField>(&current.focus.value);
    if (found == nullptr) {
        return false;
    }
    if (found->field.id == field.id) {
        return true;
    }
    // The same lock screen seen the other way (by its element, then by its hold on the keyboard).
    return found->field.check != field.check && found->field.loginWindowProcessID &&
           found->field.loginWindowProcessID == field.loginWindowProcessID;
}

LockScreenFill ProbedLockScreen::fill(const LockScreenField& field, std::string_view password) {
    const auto* element = std::get_if<AXElementKey>(&field.id.value);
    if (element == nullptr) {
        return {LockScreenFill::Failed{
            "Accessibility didn't name the field (it was verified by secure input), so it can't fill it"}};
    }
    const LockScreenProbe::SetValueResult result = probe_->setValue(element->element, password);
    if (!result.error) {
        return {LockScreenFill::Filled{}};
    }
    return {LockScreenFill::Failed{"the field refused the value (Accessibility error " +
                                   std::to_string(*result.error) + "; settable: " +
                                   (!result.settable   ? "unknown"
                                    : *result.settable ? "yes"
                                                       : "no") +
                                   ")"}};
}

}  // namespace Injector
