// Work shared out to helper threads (parts.cpp). Plain C++: no interpreter.
#pragma once

#include <functional>

namespace huebit {

// f(part) for every part in [0, parts), side by side on up to `threads`
// threads: the calling thread and helper threads that the module keeps
// waiting for work, so that sharing out costs microseconds, not a thread
// start. Each thread takes the next part left, so there may be more parts
// than threads. Returns once every part has ended, rethrowing the first
// part's exception if any threw. Where no helper is free (another call is
// sharing out, or no thread could be started) the caller runs the parts
// itself, in order: callers must get the same result however the parts are
// run.
void in_parts(int parts, int threads, const std::function<void(int)>& f);

// Parts are coming soon: helpers asleep wake now, so as to be polling for
// them when they come.
void expect_parts();

}  // namespace huebit
