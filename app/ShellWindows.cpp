#include "app/ShellWindows.h"

#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <chrono>

#include "app/overlays/WindowShape.h"
#include "network/LogText.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "interface");

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

QTime timeOf(Date date) {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(milliseconds).time();
}

// Qt 6.4 has no way to post an announcement to assistive technology; the text goes to the log so that
// what would be spoken is kept.
void announceText(const std::string& text) {
    // The text holds a phone's chosen name: quoted, it can neither forge nor start a line of the log.
    logger.info("Announcement: " + CompanionNetwork::quotedForLog(text));
}

void placeOn(QWidget& window, QScreen* screen) {
    if (!screen) {
        return;
    }
    const QRect area = screen->availableGeometry();
    window.move(area.right() + 1 - window.width() - 12, area.top() + 12);
}

}  // namespace

void placeTopRight(QWidget& window) {
    placeOn(window, QGuiApplication::primaryScreen());
}

std::string shortTimeOfDay(Date date) {
    return QLocale().toString(timeOf(date), QLocale::ShortFormat).toStdString();
}

std::string timeOfDayWithSeconds(Date date) {
    // The locale's long format names the zone too ("H:mm:ss (t)" in Spanish and Catalan); the alert
    // shows the time alone, so the zone goes with the brackets and blanks around it. Quoted literal text
    // is kept as it is.
    const QString format = QLocale().timeFormat(QLocale::LongFormat);
    QString kept;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
        }
        if (quoted || c == QLatin1Char('\'') || c != QLatin1Char('t')) {
            kept += c;
        }
    }
    for (const char* empty : {"()", "[]", "( )", "[ ]"}) {
        kept.remove(QString::fromLatin1(empty));
    }
    kept = kept.simplified();
    return QLocale().toString(timeOf(date), kept).toStdString();
}

// ---- pairing panel --------------------------------------------------------------------------------------

struct PairingPanelWindow::Parts {
    QWidget window;
    QLabel* symbol = nullptr;
    QLabel* title = nullptr;
    QLabel* message = nullptr;
    QLabel* code = nullptr;
    QLabel* caption = nullptr;
    QLabel* countdown = nullptr;
    QProgressBar* spinner = nullptr;
    QLabel* status = nullptr;
    QPushButton* cancel = nullptr;
    QTimer ticker;
    std::function<void()> onCancel;
};

PairingPanelWindow::PairingPanelWindow(CompanionRuntime& runtime)
    : runtime_(runtime), parts_(std::make_unique<Parts>()) {
    auto& p = *parts_;
    p.window.setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    p.window.setAttribute(Qt::WA_ShowWithoutActivating);
    p.window.setWindowTitle(QStringLiteral("Pairing Code"));
    p.window.setObjectName(QStringLiteral("pairingPanel"));
    p.window.setFixedSize(320, 380);
    auto* layout = new QVBoxLayout(&p.window);
    layout->setSpacing(14);
    layout->setContentsMargins(24, 28, 24, 20);
    auto label = [&](const char* name) {
        auto* made = new QLabel(&p.window);
        // Names come from phones: never read as markup (a style or an <img> of a local file).
        made->setTextFormat(Qt::PlainText);
        made->setObjectName(QString::fromLatin1(name));
        made->setAlignment(Qt::AlignCenter);
        made->setWordWrap(true);
        layout->addWidget(made);
        return made;
    };
    p.symbol = label("symbol");
    p.title = label("title");
    QFont bold = p.title->font();
    bold.setBold(true);
    p.title->setFont(bold);
    p.message = label("message");
    p.code = label("code");
    QFont codeFont(QStringLiteral("monospace"));
    codeFont.setStyleHint(QFont::Monospace);
    codeFont.setPointSize(40);
    codeFont.setWeight(QFont::DemiBold);
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.code->setFont(codeFont);
    p.code->setWordWrap(false);
    p.code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    p.caption = label("caption");
    p.countdown = label("countdown");
    auto* statusRow = new QHBoxLayout();
    statusRow->setSpacing(6);
    statusRow->addStretch();
    p.spinner = new QProgressBar(&p.window);
    p.spinner->setRange(0, 0);  // indeterminate: waiting for the phone
    p.spinner->setTextVisible(false);
    p.spinner->setFixedSize(16, 16);
    statusRow->addWidget(p.spinner);
    p.status = new QLabel(&p.window);
    p.status->setTextFormat(Qt::PlainText);
    p.status->setObjectName(QStringLiteral("statusLine"));
    statusRow->addWidget(p.status);
    statusRow->addStretch();
    layout->addLayout(statusRow);
    p.cancel = new QPushButton(QStringLiteral("Cancel Pairing"), &p.window);
    p.cancel->setObjectName(QStringLiteral("cancelPairing"));
    layout->addWidget(p.cancel, 0, Qt::AlignCenter);
    layout->addStretch();
    QObject::connect(p.cancel, &QPushButton::clicked, [this] {
        if (parts_->onCancel) {
            parts_->onCancel();
        }
    });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &p.window);
    QObject::connect(escape, &QShortcut::activated, p.cancel, &QPushButton::click);
    p.ticker.setInterval(1000);
    QObject::connect(&p.ticker, &QTimer::timeout, [this] { render(); });
    subscription_ = runtime_.pairingProgress.subscribe([this](const PairingProgress&) { render(); });
}

PairingPanelWindow::~PairingPanelWindow() = default;

QWidget& PairingPanelWindow::widget() {
    return parts_->window;
}

void PairingPanelWindow::setCancel(std::function<void()> cancel) {
    parts_->onCancel = std::move(cancel);
}

void PairingPanelWindow::render() {
    auto& p = *parts_;
    const auto content =
        pairingPanelContent(runtime_.pairingProgress.value(), std::chrono::system_clock::now(),
                            CompanionRuntime::pairingConfiguration().maxFailedAttempts);
    using Kind = PairingPanelContent::Kind;
    const bool waiting = content.kind == Kind::waiting;
    QStyle* style = QApplication::style();
    const auto icon = content.kind == Kind::failed      ? QStyle::SP_MessageBoxCritical
                      : content.kind == Kind::succeeded ? QStyle::SP_DialogApplyButton
                                                        : QStyle::SP_ComputerIcon;
    p.symbol->setPixmap(style->standardIcon(icon).pixmap(36, 36));
    p.title->setText(q(content.title));
    p.message->setText(q(content.message));
    p.code->setText(q(content.code));
    p.code->setAccessibleName(q(content.codeAccessibility));
    p.caption->setText(q(content.digitsCaption));
    p.countdown->setText(q(content.countdown));
    p.countdown->setAccessibleName(q(content.countdownAccessibility));
    p.countdown->setStyleSheet(content.countdownUrgent ? QStringLiteral("color: #d97706;") : QString());
    p.status->setText(q((content.wrongCode ? "\u26A0 " : "") + content.statusLine));
    p.cancel->setAccessibleDescription(q(content.cancelHint));
    for (QWidget* part :
         {static_cast<QWidget*>(p.code), static_cast<QWidget*>(p.caption), static_cast<QWidget*>(p.countdown),
          static_cast<QWidget*>(p.status), static_cast<QWidget*>(p.cancel)}) {
        part->setVisible(waiting);
    }
    p.spinner->setVisible(waiting && !content.wrongCode);
    if (waiting && !p.ticker.isActive()) {
        p.ticker.start();
    } else if (!waiting) {
        p.ticker.stop();
    }
}

void PairingPanelWindow::show() {
    render();
    if (!parts_->window.isVisible()) {
        placeTopRight(parts_->window);
    }
    parts_->window.show();
    parts_->window.raise();
}

void PairingPanelWindow::hide() {
    parts_->ticker.stop();
    parts_->window.hide();
}

void PairingPanelWindow::announce(const std::string& text) {
    announceText(text);
}

// ---- connection notice ---------------------------------------------------------------------------------

namespace {

constexpr int noticeCornerRadius = 16;

}  // namespace

struct ConnectionNoticeWindow::Parts {
    QWidget window;
    QLabel* names = nullptr;
    QPropertyAnimation* fade = nullptr;
};

ConnectionNoticeWindow::ConnectionNoticeWindow() : parts_(std::make_unique<Parts>()) {
    auto& p = *parts_;
    p.window.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                            Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                            Qt::X11BypassWindowManagerHint);
    p.window.setAttribute(Qt::WA_ShowWithoutActivating);
    p.window.setAttribute(Qt::WA_TranslucentBackground);
    p.window.setObjectName(QStringLiteral("connectionNotice"));
    p.window.setFixedWidth(300);
    auto* frame = new QWidget(&p.window);
    frame->setObjectName(QStringLiteral("noticeFrame"));
    frame->setStyleSheet(
        QStringLiteral("#noticeFrame { background: rgba(40, 40, 40, 220); border-radius: %1px; }"
                       "QLabel { color: white; }")
            .arg(noticeCornerRadius));
    auto* outer = new QVBoxLayout(&p.window);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(frame);
    auto* row = new QHBoxLayout(frame);
    row->setSpacing(12);
    row->setContentsMargins(16, 12, 16, 12);
    auto* symbol = new QLabel(frame);
    symbol->setPixmap(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(24, 24));
    symbol->setFixedWidth(26);
    row->addWidget(symbol);
    auto* column = new QVBoxLayout();
    column->setSpacing(2);
    p.names = new QLabel(frame);
    // Phones' names: never read as markup.
    p.names->setTextFormat(Qt::PlainText);
    p.names->setObjectName(QStringLiteral("names"));
    QFont bold = p.names->font();
    bold.setBold(true);
    p.names->setFont(bold);
    column->addWidget(p.names);
    auto* subtitle = new QLabel(QStringLiteral("Connected to this Mac"), frame);
    column->addWidget(subtitle);
    row->addLayout(column);
    row->addStretch();
    p.fade = new QPropertyAnimation(&p.window, "windowOpacity", &p.window);
}

ConnectionNoticeWindow::~ConnectionNoticeWindow() = default;

QWidget* ConnectionNoticeWindow::widget() {
    return &parts_->window;
}

void ConnectionNoticeWindow::show(const std::vector<ConnectionNotice>& notices) {
    auto& p = *parts_;
    ++generation_;
    QStringList names;
    for (const auto& notice : notices) {
        names << q(notice.deviceName);
    }
    const QString joined = QLocale().createSeparatedList(names);
    p.names->setText(p.names->fontMetrics().elidedText(joined, Qt::ElideMiddle, 220));
    p.names->setAccessibleName(joined);
    p.window.adjustSize();
    const auto screens = QGuiApplication::screens();
    placeOn(p.window, screens.isEmpty() ? nullptr : screens.front());
    // Cut to its rounded frame: without a compositor its transparent corners would show black.
    const double ratio = p.window.devicePixelRatioF();
    OverlayWindows::shapeWindow(p.window,
                                OverlayWindows::roundedRectRegion((QSizeF(p.window.size()) * ratio).toSize(),
                                                                  noticeCornerRadius * ratio));
    if (!p.window.isVisible()) {
        p.window.setWindowOpacity(0);
    }
    p.window.show();
    p.window.raise();
    p.fade->stop();
    QObject::disconnect(p.fade, &QPropertyAnimation::finished, nullptr, nullptr);
    p.fade->setDuration(200);
    p.fade->setStartValue(p.window.windowOpacity());
    p.fade->setEndValue(1.0);
    p.fade->start();
    announceText(joined.toStdString() + " connected.");
}

void ConnectionNoticeWindow::dismiss() {
    auto& p = *parts_;
    if (!p.window.isVisible()) {
        return;
    }
    const int generation = ++generation_;
    p.fade->stop();
    QObject::disconnect(p.fade, &QPropertyAnimation::finished, nullptr, nullptr);
    p.fade->setDuration(350);
    p.fade->setStartValue(p.window.windowOpacity());
    p.fade->setEndValue(0.0);
    // A show during the fade raises the generation: the late end of a stale fade hides nothing.
    QObject::connect(p.fade, &QPropertyAnimation::finished, &p.window, [this, generation] {
        if (generation_ == generation) {
            parts_->window.hide();
        }
    });
    p.fade->start();
}

// ---- onboarding -----------------------------------------------------------------------------------------

struct OnboardingWindow::Parts {
    QWidget window;
    QLabel* symbol = nullptr;
    QLabel* title = nullptr;
    QLabel* subtitle = nullptr;
    QWidget* steps = nullptr;
    QPushButton* later = nullptr;
    QPushButton* open = nullptr;
    QPushButton* done = nullptr;
};

OnboardingWindow::OnboardingWindow(AccessibilityPermission& permission)
    : permission_(permission), parts_(std::make_unique<Parts>()) {
    auto& p = *parts_;
    p.window.setWindowTitle(QStringLiteral("Lumivex"));
    p.window.setObjectName(QStringLiteral("onboarding"));
    p.window.setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    p.window.setFixedWidth(440);
    auto* layout = new QVBoxLayout(&p.window);
    layout->setSpacing(16);
    layout->setContentsMargins(24, 24, 24, 24);
    auto* header = new QHBoxLayout();
    header->setSpacing(12);
    p.symbol = new QLabel(&p.window);
    header->addWidget(p.symbol);
    auto* titles = new QVBoxLayout();
    titles->setSpacing(2);
    p.title = new QLabel(&p.window);
    p.title->setObjectName(QStringLiteral("title"));
    QFont bold = p.title->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.4);
    p.title->setFont(bold);
    p.subtitle = new QLabel(&p.window);
    titles->addWidget(p.title);
    titles->addWidget(p.subtitle);
    header->addLayout(titles);
    header->addStretch();
    layout->addLayout(header);
    p.steps = new QWidget(&p.window);
    auto* steps = new QVBoxLayout(p.steps);
    steps->setContentsMargins(0, 0, 0, 0);
    steps->setSpacing(6);
    for (const char* line :
         {"Lumivex turns touches from Lumivex Remote on your iPhone into pointer movement, clicks and "
          "scrolling. macOS "
          "only allows this for apps you list under Accessibility.",
          "1. Click Open System Settings.", "2. Turn on Lumivex in the Accessibility list.",
          "3. If it isn't listed, click +, then choose Lumivex in Applications.",
          "This window updates as soon as access is allowed. Input Monitoring isn't required. Screen "
          "Recording is "
          "only used to show this Mac's screen on your iPhone, and macOS asks for it the first time you do "
          "that."}) {
        auto* text = new QLabel(QString::fromUtf8(line), p.steps);
        text->setWordWrap(true);
        steps->addWidget(text);
    }
    layout->addWidget(p.steps);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch();
    p.later = new QPushButton(QStringLiteral("Later"), &p.window);
    p.open = new QPushButton(QStringLiteral("Open System Settings"), &p.window);
    p.done = new QPushButton(QStringLiteral("Done"), &p.window);
    for (QPushButton* button : {p.later, p.open, p.done}) {
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
    QObject::connect(p.later, &QPushButton::clicked, &p.window, &QWidget::close);
    QObject::connect(p.done, &QPushButton::clicked, &p.window, &QWidget::close);
    // There is no per-application grant to open on this desktop: the closest thing is to look again
    // at once, which the window then shows.
    QObject::connect(p.open, &QPushButton::clicked, [this] { permission_.refresh(); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &p.window);
    QObject::connect(escape, &QShortcut::activated, p.later, [this] {
        if (parts_->later->isVisible()) {
            parts_->later->click();
        }
    });
    // A default button answers Return only inside a dialog; this is a plain window, so Return (and the
    // keypad's Enter) press the shown default button here.
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* confirm = new QShortcut(QKeySequence(key), &p.window);
        QObject::connect(confirm, &QShortcut::activated, &p.window, [this] {
            QPushButton* chosen = parts_->open->isVisible() ? parts_->open : parts_->done;
            if (chosen->isVisible()) {
                chosen->click();
            }
        });
    }
    subscription_ = permission_.status().subscribe([this](AccessibilityStatus) { render(); });
    render();
}

OnboardingWindow::~OnboardingWindow() = default;

QWidget* OnboardingWindow::widget() {
    return &parts_->window;
}

void OnboardingWindow::render() {
    auto& p = *parts_;
    const bool missing = permission_.currentStatus() == AccessibilityStatus::missing;
    QStyle* style = QApplication::style();
    p.symbol->setPixmap(
        style->standardIcon(missing ? QStyle::SP_MessageBoxInformation : QStyle::SP_DialogApplyButton)
            .pixmap(32, 32));
    p.title->setText(missing ? QStringLiteral("Allow Accessibility") : QStringLiteral("You're all set"));
    p.subtitle->setText(missing ? QStringLiteral("Lumivex can't control the pointer until you allow it.")
                                : QStringLiteral("Lumivex can move the pointer and click."));
    p.steps->setVisible(missing);
    p.later->setVisible(missing);
    p.open->setVisible(missing);
    p.done->setVisible(!missing);
    (missing ? p.open : p.done)->setDefault(true);
    p.window.adjustSize();
}

void OnboardingWindow::show() {
    auto& p = *parts_;
    if (!p.window.isVisible()) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen) {
            p.window.move(screen->availableGeometry().center() - p.window.rect().center());
        }
    }
    p.window.show();
    p.window.raise();
    p.window.activateWindow();
}

// ---- alerts -----------------------------------------------------------------------------------------------

void showLastUnlockDetails(const LastUnlock& last) {
    const auto details = lastUnlockDetails(last, timeOfDayWithSeconds);
    QMessageBox alert(details.informational ? QMessageBox::Information : QMessageBox::Warning,
                      QStringLiteral("Lumivex"), q(details.message), QMessageBox::Ok);
    alert.setInformativeText(q(details.informative));
    // The reason comes from the unlocker and the system: shown as written, never as markup.
    alert.setTextFormat(Qt::PlainText);
    for (QLabel* label : alert.findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    alert.setObjectName(QStringLiteral("lastUnlockDetails"));
    alert.exec();
}

bool confirmResetTrustedDevices() {
    QMessageBox alert(QMessageBox::Warning, QStringLiteral("Lumivex"),
                      QStringLiteral("Reset paired iPhones?"));
    alert.setInformativeText(QStringLiteral(
        "Lumivex can't read its list of paired iPhones. Resetting starts a new, empty list. The damaged "
        "list is kept as a copy next to it. Every iPhone must pair again with a new code."));
    QPushButton* reset = alert.addButton(QStringLiteral("Reset"), QMessageBox::AcceptRole);
    alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    alert.setDefaultButton(reset);
    alert.exec();
    return alert.clickedButton() == reset;
}

}  // namespace Shell
