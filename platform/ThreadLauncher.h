#pragma once
// Threads of the connection layer's workers: detached, with a small stack and
// every signal blocked (signals belong to the bus thread). Their owner counts
// them and waits for them; a detached thread frees its stack the moment it
// ends, which is what joining at once would be for.

#include <functional>

// Runs body on a new thread. False, with body not run, when no thread can be
// made (EAGAIN under a task limit, no memory); never throws.
bool startSmallThread(std::function<void()> body) noexcept;
