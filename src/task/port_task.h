#pragma once

inline constexpr const char* kTaskName = "kelmor";

// Runs one port task on the calling thread: attach, serve until dismounted,
// delete the task. Started by the host once per port task.
void PortTaskEntry();
