// The worker's pause: a wait on the system-wide semaphore "COMThreadDelaySemaphore", so that one pause
// ending can cut short another one waiting at the same time, in this or another process.
#pragma once

// Waits ms milliseconds unless a pause that ran its full length releases the semaphore meanwhile.
void ThreadDelay(int ms);

// The POSIX name of the semaphore.
inline constexpr const char* ThreadDelaySemaphoreName = "/COMThreadDelaySemaphore";

// Uses another semaphore name from now on (tests, which must not share the pause with other processes).
// Call it before any pause runs.
void ThreadDelayUseSemaphore(const char* posixName);
