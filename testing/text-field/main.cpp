// A Qt text field for keyboard tests: one line edit in a window of its own that takes the keyboard
// focus. It writes "ready" once the field has the focus, then the field's whole text on a line of its
// own ("text " and UTF-8) after every change and when it ends (SIGTERM, SIGINT or the window closed).
// With --stall-ms N its UI thread sleeps N ms at the first key press, before the key is handled, as an
// application busy for that long would; with --stall-every-ms N it sleeps N ms at every key press.
// Usage: lumivex-test-text-field [--stall-ms N] [--stall-every-ms N]
#include <unistd.h>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

void printLine(const QString& prefix, const QString& text) {
    const QByteArray utf8 = (prefix + text).toUtf8();
    std::fwrite(utf8.constData(), 1, std::size_t(utf8.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class StallingField final : public QLineEdit {
  public:
    StallingField(int firstStall, int everyStall) : firstStall_(firstStall), everyStall_(everyStall) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!stalled_ && firstStall_ > 0) {
            QThread::msleep(static_cast<unsigned long>(firstStall_));
        }
        stalled_ = true;
        if (everyStall_ > 0) {
            QThread::msleep(static_cast<unsigned long>(everyStall_));
        }
        QLineEdit::keyPressEvent(event);
    }
    void focusInEvent(QFocusEvent* event) override {
        QLineEdit::focusInEvent(event);
        if (!ready_) {
            ready_ = true;
            printLine("ready", {});
        }
    }

  private:
    int firstStall_;
    int everyStall_;
    bool stalled_ = false;
    bool ready_ = false;
};

int number(const char* text) {
    return std::max(0, std::atoi(text));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    int firstStall = 0;
    int everyStall = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--stall-ms") == 0) {
            firstStall = number(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--stall-every-ms") == 0) {
            everyStall = number(argv[i + 1]);
        }
    }
    if (pipe(signalPipe) != 0) {
        return 1;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &application, &QApplication::quit);

    StallingField field(firstStall, everyStall);
    field.setWindowTitle("text field");
    field.resize(800, 40);
    QObject::connect(&field, &QLineEdit::textChanged, [](const QString& text) { printLine("text ", text); });
    field.show();
    field.activateWindow();
    field.setFocus();
    const int result = application.exec();
    printLine("text ", field.text());
    return result;
}
