#pragma once
// The console's threads run below the calls': a browser, or twenty of them, never
// holds up a notification on a busy machine.

namespace lindra::web {

// Lowers the calling thread's priority, once per thread; a thread that cannot be
// lowered serves at the server's priority (only slower calls).
void GiveWayToCalls();

}  // namespace lindra::web
