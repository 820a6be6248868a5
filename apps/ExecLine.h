#pragma once
// The Exec key of a desktop entry made into an argument vector by the desktop-entry quoting rules:
// words split at unquoted blanks; double quotes group, and inside them a backslash escapes ", `, $ and
// itself. Field codes: %f %F %u %U (and the deprecated %d %D %n %N %v %m) give nothing, since the
// application is opened without files; %i gives "--icon" and the Icon value; %c the name; %k the
// desktop file's path; %% a percent sign. Any other code, an unbalanced quote or an empty line is
// refused: nothing is started from a line that cannot be read with certainty.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Apps {

struct ExecContext {
    std::string icon;
    std::string name;
    std::string desktopFile;
};

std::optional<std::vector<std::string>> parseExecLine(std::string_view exec, const ExecContext& context);

}  // namespace Apps
