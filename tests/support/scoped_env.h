// An environment variable set (or removed) for the life of an object, then put back as it was: for
// tests that point a child process or a lookup elsewhere (PATH, XDG folders, GSettings' backend).
// The environment is the process's, so only for tests that run one at a time.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace tw::test {

class ScopedEnv {
public:
    // Sets `name` to `value`; none removes it.
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace tw::test
