// Window messages of the POSIX platform layer: hidden windows owned by threads,
// one message queue per thread, posted and sent messages.
//
// The Win32 functions themselves are declared in platform/win32.h; this header
// offers what the rest of the layer and its tests need beyond them.
#pragma once

#include <memory>

#include "platform/posix/kobject.h"

namespace dud::posix {

// A waitable that is signalled while the calling thread's message queue holds a
// message sent from another thread that has not been handled yet. Creates the
// queue when the thread has none. Called from the queue's own thread only.
std::shared_ptr<KObject> CurrentQueueSentSignal();

}  // namespace dud::posix
