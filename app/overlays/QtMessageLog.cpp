#include "app/overlays/QtMessageLog.h"

#include <QString>
#include <QtGlobal>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/NoticeBudget.h"
#include "platform/Executor.h"
#include "platform/Log.h"

namespace OverlayWindows {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "qt");

platform::LogLevel levelOf(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return platform::LogLevel::debug;
        case QtInfoMsg:
            return platform::LogLevel::info;
        case QtWarningMsg:
            return platform::LogLevel::notice;
        case QtCriticalMsg:
        case QtFatalMsg:
            return platform::LogLevel::error;
    }
    return platform::LogLevel::notice;
}

void logQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    static std::mutex mutex;
    static platform::NoticeBudget budget(qtMessageBurst, qtMessageWindow);
    platform::NoticeBudget::Decision decision;
    {
        std::lock_guard lock(mutex);
        decision = budget.take(platform::monotonicSeconds());
    }
    if (decision.heldBack > 0)
        logger.notice(std::to_string(decision.heldBack) + " more Qt messages were not logged");
    if (decision.log || type == QtFatalMsg)
        logger.log(levelOf(type), text.toStdString());
    if (type == QtFatalMsg)
        std::abort();
}

}  // namespace

void installQtMessageLog() {
    qInstallMessageHandler(&logQtMessage);
}

}  // namespace OverlayWindows
