// Interrupts (SIGINT, SIGTERM, SIGHUP, SIGQUIT) during one card's restore.
// Stopping halfway can leave the card unusable, and a copy of the project
// folder half made. While the restore is starting (the checks, the
// question) nothing is changed yet: an interrupt stops it at the next
// check, or ends the wait for the answer. Once the card work has begun, the
// first interrupt only warns, a second one stops the restore at the next
// step's boundary (the tool or copy running finishes first); a SIGTERM,
// which supervisors send once, stops it there at the first.
#pragma once

#include <signal.h>

#include <functional>

namespace tessarin::linux_port {

// The interrupts this program handles, for a mask.
sigset_t InterruptSignals();

// Handles the interrupts from here on as the start of a restore and lets
// through those that waited while blocked (the program that restores
// several cards starts each with them blocked, so that none is lost or
// ends it before this point).
void GuardTheStart();
// Lets the interrupts through with their usual effect, for the commands
// that restore no card themselves.
void UnblockInterrupts();
// The card work begins: from here on the first interrupt only warns. True
// when an interrupt during the start asked to stop first.
bool GuardTheRestore();
// An interrupt asked to stop at the next boundary.
bool StopRequested();

// SIGUSR1 asks for a line of progress on standard error, as dd has it; it
// never stops the program. From here on it is taken (and let through, for
// a restore started with it blocked); the line is written by whoever
// watches for it.
void TakeProgressRequests();
// A thread of its own calls report (never from the handler) for each
// request; an empty report stops watching, after answering a request that
// came meanwhile.
void WatchProgressRequests(std::function<void()> report);

}  // namespace tessarin::linux_port
