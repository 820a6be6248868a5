#include "app/OwnKeymapNotices.h"

#include <xcb/xcb.h>
// xkb.h names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdint>

#include "injector/XTestKeyboard.h"

namespace Shell {

struct OwnKeymapNotices::Filter : QAbstractNativeEventFilter {
    std::shared_ptr<const Injector::XTestKeyboard> keyboard;
    std::uint8_t xkbEvent = 0;  // 0: no XKB on the connection

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == XCB_MAPPING_NOTIFY) {
            const auto* notify = reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
            return notify->request == XCB_MAPPING_KEYBOARD &&
                   keyboard->ownsKeyCodes(notify->first_keycode, notify->count);
        }
        if (xkbEvent == 0 || type != xkbEvent) {
            return false;
        }
        // All XKB events share one type; the kind is the second byte.
        const auto* notify = reinterpret_cast<const xcb_xkb_map_notify_event_t*>(event);
        if (notify->xkbType != XCB_XKB_MAP_NOTIFY || notify->nTypes != 0 ||
            !keyboard->ownsKeyCodes(notify->firstKeySym, notify->nKeySyms)) {
            return false;
        }
        // Whatever else the notice names lies among the same codes.
        const int first = notify->firstKeySym;
        const int last = first + notify->nKeySyms;
        const auto within = [&](int from, int count) {
            return count == 0 || (from >= first && from + count <= last);
        };
        return within(notify->firstKeyAct, notify->nKeyActs) &&
               within(notify->firstKeyBehavior, notify->nKeyBehavior) &&
               within(notify->firstKeyExplicit, notify->nKeyExplicit) &&
               within(notify->firstModMapKey, notify->nModMapKeys) &&
               within(notify->firstVModMapKey, notify->nVModMapKeys);
    }
};

OwnKeymapNotices::OwnKeymapNotices(std::shared_ptr<const Injector::XTestKeyboard> keyboard) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection() || !keyboard) {
        return;
    }
    filter_ = std::make_unique<Filter>();
    filter_->keyboard = std::move(keyboard);
    // Qt has asked for the extension already: its data is cached, no request goes out.
    const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(x11->connection(), &xcb_xkb_id);
    if (xkb && xkb->present) {
        filter_->xkbEvent = xkb->first_event;
    }
    QCoreApplication::instance()->installNativeEventFilter(filter_.get());
}

OwnKeymapNotices::~OwnKeymapNotices() {
    if (filter_ && QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(filter_.get());
    }
}

}  // namespace Shell
