#pragma once
// The sound backends' own I/O threads (libpulse's main loop, PortAudio's
// callback thread) carry every block between the server and the ring; a
// wake-up late by more than the ring's slack (17 ms at 64 frames) costs a
// block. Under the normal time-sharing policy a busy desktop delays them by
// that much, so they ask for a low real-time priority, below the sound
// server's own threads. Where the system refuses (no CAP_SYS_NICE, no
// RLIMIT_RTPRIO for the user) they stay as they are.

// Puts the calling thread under SCHED_FIFO at `priority` (1..99, capped by
// RLIMIT_RTPRIO when not privileged). True when it took effect or the thread
// already runs at a real-time priority at least as high.
bool RaiseToRealtime(int priority);

// The same, tried once per thread: for a callback's first call on a thread
// the backend made (a system call then, none after).
void RaiseToRealtimeOnce(int priority);

// The priority the backends ask for: below PulseAudio's and PipeWire's
// device threads (5 and above), above nothing else a desktop runs.
constexpr int kDeviceThreadPriority = 4;
