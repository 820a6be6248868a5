#pragma once
// For tests that must run a program, and the code under test beside it, as an ordinary user while the
// tests run as root (a screen locker refuses root): the tests' own unprivileged user, made when it is
// missing, and a function run in a child process that has given up root for that user.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace testing_support {

struct TestUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The tests' unprivileged system user ("lumivex-test", no home, no shell), made with useradd when it is
// missing; none, with why in `why`, when not root or it cannot be made.
std::optional<TestUser> testUser(std::string& why);

// Runs `body` in a child process of this one that drops to `user` (its group alone, then the user) and
// returns what the body returned. Call it before this process starts threads: only the calling thread
// goes on in the child. Throws std::runtime_error with the child's message when the body threw, and
// when the child did not end within `timeout` (it is killed then).
std::string runAsUser(const TestUser& user, const std::function<std::string()>& body,
                      std::chrono::milliseconds timeout);

}  // namespace testing_support
