// Between the Windows launch of the loader and the console control handler.
#pragma once

// LaunchLoader says when the loader starts and when it has ended: meanwhile Ctrl-C and
// Ctrl-Break reach the loader too, and it is the loader that decides whether they end it. This
// program then waits for its exit status and judges it as always. Closing the console window
// still ends this program.
void SetLoaderRunning(bool running);
