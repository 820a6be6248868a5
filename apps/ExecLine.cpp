#include "apps/ExecLine.h"

namespace Apps {

namespace {

struct Word {
    std::string text;
    bool quoted = false;  // any part of it was quoted
};

// Splits into words; none on an unbalanced quote or a trailing backslash inside quotes.
std::optional<std::vector<Word>> words(std::string_view exec) {
    std::vector<Word> out;
    std::optional<Word> current;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (current) {
                out.push_back(std::move(*current));
                current.reset();
            }
            continue;
        }
        if (!current) {
            current.emplace();
        }
        if (c != '"') {
            current->text += c;
            continue;
        }
        current->quoted = true;
        bool closed = false;
        for (++i; i < exec.size(); ++i) {
            const char q = exec[i];
            if (q == '"') {
                closed = true;
                break;
            }
            if (q == '\\') {
                if (i + 1 == exec.size()) {
                    return std::nullopt;
                }
                const char next = exec[i + 1];
                if (next == '"' || next == '`' || next == '$' || next == '\\') {
                    current->text += next;
                    ++i;
                    continue;
                }
            }
            current->text += q;
        }
        if (!closed) {
            return std::nullopt;
        }
    }
    if (current) {
        out.push_back(std::move(*current));
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::string>> parseExecLine(std::string_view exec, const ExecContext& context) {
    std::optional<std::vector<Word>> split = words(exec);
    if (!split) {
        return std::nullopt;
    }
    std::vector<std::string> argv;
    for (const Word& word : *split) {
        const std::string& text = word.text;
        if (text == "%i") {
            if (!context.icon.empty()) {
                argv.push_back("--icon");
                argv.push_back(context.icon);
            }
            continue;
        }
        if (text == "%f" || text == "%F" || text == "%u" || text == "%U") {
            continue;  // no files to open: the argument goes away entirely
        }
        std::string expanded;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '%') {
                expanded += text[i];
                continue;
            }
            if (i + 1 == text.size()) {
                return std::nullopt;
            }
            switch (text[++i]) {
                case '%':
                    expanded += '%';
                    break;
                case 'c':
                    expanded += context.name;
                    break;
                case 'k':
                    expanded += context.desktopFile;
                    break;
                case 'f':
                case 'F':
                case 'u':
                case 'U':
                case 'd':
                case 'D':
                case 'n':
                case 'N':
                case 'v':
                case 'm':
                    break;
                default:
                    return std::nullopt;
            }
        }
        if (expanded.empty() && !word.quoted && text != expanded) {
            continue;  // a word made only of codes that expand to nothing
        }
        argv.push_back(std::move(expanded));
    }
    if (argv.empty() || argv.front().empty()) {
        return std::nullopt;
    }
    return argv;
}

}  // namespace Apps
