// Interruptions of a run by the technician or the system: Ctrl-C and its kin.
#pragma once

// From here on, an interruption of the run (POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT; Windows:
// Ctrl-C, Ctrl-Break, closing the console window) puts back the time-outs OpenPort found on
// the port and releases the device (AbandonPort; the line settings stay as the run set them),
// says "\n Interrupted !\n" on the console, and ends the process as the interruption would
// have ended it. While the loader runs, the interruption is the loader's to act on. One
// implementation per platform.
void CatchInterruptions();
