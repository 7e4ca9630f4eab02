// Interruptions of a run by the technician or the system: Ctrl-C and its kin.
#pragma once

// From here on, an interruption of the run (POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT; Windows:
// Ctrl-C, Ctrl-Break, closing the console window) puts back the time-outs OpenPort found on
// the port and releases the device (AbandonPort; the line settings stay as the run set them),
// says "\n Interrupted !\n" on the console, and ends the process as the interruption would
// have ended it. While the loader runs, the interruption is the loader's to act on. One
// implementation per platform.
void CatchInterruptions();

// Standard input has ended. Where Ctrl-C also ends the console read that waits for an answer
// (Windows: the read returns nothing, and the interruption reaches the program a moment later
// on a thread of its own), the end may be the interruption's: waits briefly for it when input
// comes from a console, and when an interruption arrives or is already under way, lets it end
// the process. Returns when none came: the input did end. POSIX systems: returns at once.
void WaitForInterruptionAtEndOfInput();

// For the places where the run would end or tell of a failure that an interruption under way
// may have caused (the port taken back from under a write): while an interruption is being
// handled, lets it end the process, so that the run ends one way only. Returns at once when
// none is. POSIX systems: returns at once.
void WaitForInterruptionUnderWay();
