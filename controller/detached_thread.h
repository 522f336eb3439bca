#pragma once
// A thread nobody waits for: the work may still be blocked (on input, on a name lookup) when
// its starter has moved on, and the process may end with it still running.

#include <functional>

namespace vantorel {

// Starts `work` on a thread of its own that is never joined. False when no thread could start
// (the work then does not run). Never throws for a thread that ends early: winpthreads' detach
// fails with ESRCH for a thread that has already ended, so the Windows build does not detach
// at all but closes the handle of a thread started by the runtime.
bool StartDetachedThread(std::function<void()> work);

}  // namespace vantorel
