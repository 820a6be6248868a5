#pragma once
// The hostile-phone benchmark's rows of crafted pictures, icons and artwork (hostile_decodes.cpp).
#include <functional>
#include <string>

namespace hostile_decodes {

// Runs the rows whose names `runs` accepts: each a few rounds per companion, interleaved, every round a
// companion of its own. `after` is the companion measured; `before`, when not empty, another build run
// in turn with it.
void runRows(const std::function<bool(const std::string&)>& runs, const std::string& after,
             const std::string& before);

}  // namespace hostile_decodes
