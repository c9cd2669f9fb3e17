#pragma once

// Raises the calling thread's scheduling priority by `steps` nice levels so that the port is
// served ahead of the user interface. Without the privilege to do so the thread simply keeps
// its priority.
void RaiseCurrentThreadPriority(int steps);
