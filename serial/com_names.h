// COM port names: "COM<n>" as Windows and the technician name a port, "\\.\COM<n>" as a program
// opens it. Every part of the program that reads or writes them goes through these, so that
// all of them take the same names.
#pragma once

#include <string>

// The COM numbers a Windows program can name: COM1 to COM255.
constexpr int kComNumberMax = 255;

// n for a port's name "COM<n>": COM in any case, then n in decimal from 1 to kComNumberMax
// without leading zeros, and nothing after it (the names Windows gives its ports). 0 for any
// other name.
int ComNumber(const char* name);

// n for a port's device path "\\.\COM<n>", its name taken as ComNumber takes it; else 0.
int ComPathNumber(const char* path);

// "COM<n>".
std::string ComName(int number);

// "\\.\COM<n>": the device path by which a program opens COM port n. The run opens it, hands
// it to the loader and names it in its failure lines.
std::string ComPath(int number);
