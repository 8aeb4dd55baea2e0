#pragma once
// The console's threads run below the calls': a browser, or twenty of them, never
// holds up a notification on a busy machine.

namespace lindra::web {

// Lowers the calling thread's priority, once per thread. A thread that cannot be
// lowered (the service's system-call filter refuses it) serves at the server's
// priority: the stream's one conversion per event keeps the calls' latency then too.
void GiveWayToCalls();

}  // namespace lindra::web
