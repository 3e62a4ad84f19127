// What the program still writes when a second interrupt stops it at once:
// texts prepared while it runs (the service record's block so far, the
// JSON report's last line), written by the signal handler with nothing
// but write(2).
#pragma once

#include <string>

namespace tessarin::linux_port {

enum class LastWordsSlot { ServiceLog, Json, Parent, kCount };

// Replaces what is written to fd for the slot (an empty text writes
// nothing). Not from a signal handler.
void SetLastWords(LastWordsSlot slot, int fd, const std::string& text);

// Writes every slot's text. Async-signal-safe.
void WriteLastWords();

}  // namespace tessarin::linux_port
