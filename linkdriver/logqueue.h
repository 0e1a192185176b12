// The hand-over of the line thread's log entries to a writer thread: the
// line thread never opens or writes a file between the bytes of an answer.
//
// IOThread queues an entry (a CommErrors.txt error word for the terminal
// polled, or an excecoes.txt text) under a short lock; the writer thread
// started with the port writes what is queued once a second, or at once
// when asked (a lost line). Repeats merge while they wait: the same error
// word for the same terminal, or the same text, becomes one entry with its
// count, so a noisy line writes at most one entry a second per kind.
#pragma once

#include <cstdint>

namespace serilo {

// Starts the writer (the open sequence); 0 or the thread's failure.
std::uint32_t LogQueueStart();
// Writes what waits and ends the writer (the close sequence).
void LogQueueStop();

// From IOThread. `now` asks the writer to write without waiting for its
// second.
void QueueCommError(std::uint16_t address, std::uint32_t errors, bool now);
void QueueException(const char* text, bool now);

// Writes every queued entry in the calling thread (the writer; tests).
void LogQueueFlush();

} // namespace serilo
