#pragma once

#include <functional>
#include <string>
#include <utility>

namespace velt::ZRV480::Bus {

// The text that names a command call in its log lines, such as
// "int32Get(psu, 1, 3)". Most of those lines are debug lines that the log
// level filters out in service, so a text that must be formatted is made the
// first time a line shows it and kept for the lines after it. A trace is
// used on the one thread that runs its command.
class Trace {
public:
    // A fixed text, such as a string literal that outlives the trace.
    Trace(char const* literal) : fixed(literal) {}
    // A text made already.
    explicit Trace(std::string ready) : text(std::move(ready)), made(true) {}
    // A text that `format` makes when first needed; what `format` refers to
    // must not change before then.
    explicit Trace(std::function<std::string()> format) : make(std::move(format)) {}

    char const* c_str() const;

private:
    char const* fixed = nullptr;
    std::function<std::string()> make;
    mutable std::string text;
    mutable bool made = false;
};

} // namespace velt::ZRV480::Bus
