// The one serial port of the process: opened by its device path, put into the analyzer's
// fixed line configuration (9600 baud, 8 data bits, no parity, one stop bit, no handshaking,
// DTR and RTS raised), written, read under fixed time-outs, and released.
//
// The state lives at module level for the whole process; at most one port is open at a time
// and a port may be opened again after it was closed. One thread uses the module, except that
// AbandonPort may come from another one at any time.
//
// Calling order: OpenPort; then any number of WritePort and ReadPort; then ClosePort.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// The port's time bounds, in milliseconds, on every platform; a byte takes about 1.04 ms at 9600
// baud. A read ends once kReadIntervalMs pass between two bytes, or kReadTotalConstantMs plus
// kReadTotalPerByteMs per byte asked for pass in all: long enough for the analyzer, short enough
// to notice a silent line. A write fails when its bytes have not left the port within
// kWriteTotalConstantMs plus kWriteTotalPerByteMs per byte, which only a stalled line runs out.
constexpr int kReadIntervalMs = 250;
constexpr int kReadTotalConstantMs = 1000;
constexpr int kReadTotalPerByteMs = 10;
constexpr int kWriteTotalConstantMs = 1000;
constexpr int kWriteTotalPerByteMs = 2;

// Result codes.
enum PortResult {
    // Success.
    PORT_OK = 0,
    // OpenPort: the device could not be opened exclusively (missing, held by another program,
    // or not answering), or its buffer sizes or time-outs could not be set, or its line
    // settings could not be read, or it is the program's own console (the terminal of its
    // standard input, output or error, or its controlling terminal; refused before anything
    // about it changes). The device is released again.
    PORT_ERR_OPEN = 2,
    // OpenPort: the device was opened but refused the line settings, or took only part of
    // them. The device is released again, its settings as they were.
    PORT_ERR_SETSTATE = 3,
    // ClosePort: releasing the device failed. The module is closed all the same.
    PORT_ERR_CLOSE = 4,
    // WritePort: not every byte could be written, or the bytes did not leave the port within
    // the write's bound (a stalled or vanished device). What was sent, if anything, is a
    // prefix of the bytes given.
    PORT_ERR_WRITE = 5,
};

// Opens the device at `device_path` exclusively and configures it. A Windows device path
// "\\.\COM<n>" names COM port n on every platform (on POSIX systems it is mapped the way Wine
// maps it: ComDevicePath in com_names_posix.h); any other path is opened as it stands. Discards
// whatever was queued in both directions. Returns PORT_OK when the port is open and configured,
// else PORT_ERR_OPEN or PORT_ERR_SETSTATE with the module left closed. A port still open is closed
// first (as ClosePort does). Sets the last error.
int OpenPort(const char* device_path);

// Discards input not yet read, puts back the time-outs that OpenPort found on the device (and
// only those; the line settings stay), and releases the device. Output is not discarded:
// every byte WritePort reported as sent reaches the other end, however slowly it reads. Only
// what a failed write left in the driver's queue is dropped, so that releasing a stalled line
// cannot hang. Returns PORT_OK or PORT_ERR_CLOSE. With no port open it touches nothing and
// returns PORT_OK. Sets the last error.
int ClosePort();

// Discards whatever was received and not yet read, then writes `count` bytes and returns once
// the driver reports them sent (its output queue empty, where it can tell), which is not when
// they are off the wire (GetLastWriteStart). Bounded by kWriteTotalConstantMs plus
// kWriteTotalPerByteMs per byte whatever the driver does, and never sent again after a failure,
// so each byte goes out at most once. Returns PORT_OK, or PORT_ERR_WRITE (also when no port is
// open), with GetPortReason telling why. A count of 0 only discards the received bytes and
// returns PORT_OK. Leaves the last error alone.
int WritePort(const char* bytes, int count);

// Reads up to `count` bytes into `buffer`, which must hold count + 1 bytes. Returns when
// `count` bytes have arrived or the read's time bounds (above) run out, whichever comes first.
// Stores a zero byte after the bytes read and returns their number, which may be 0 after a
// time-out. Returns 0 and stores no zero byte when the read failed (a vanished device; bytes that
// came before the failure may already be in `buffer`), and touches nothing when no port is open.
// Never writes past buffer[count]. Leaves the last error alone.
int ReadPort(char* buffer, int count);

// When the last WritePort with bytes to send handed them to the driver, on the monotonic clock,
// never before the first byte could leave: POSIX systems, once the driver has taken the first
// of them; Windows, after the purge of the input, just before WriteFile.
std::chrono::steady_clock::time_point GetLastWriteStart();

// For an interruption of the program (a signal handler on POSIX systems, a console control
// handler on Windows, which runs on a thread of its own): puts back the time-outs that OpenPort
// found and releases the device at once, without discarding or waiting for anything but a
// call of this module in progress on another thread. On Windows that call is cancelled, and
// when it has not ended within a second (a driver that completes nothing) the device is left
// to the end of the process. Does nothing when no port is open. Later calls find the module
// closed. Async-signal-safe on POSIX systems.
void AbandonPort();

// The result code of the last OpenPort or ClosePort; PORT_OK at start.
int GetPortError();

// Why the last OpenPort failed, told beside its result code so that the technician can be told
// what to do about it.
enum PortReason {
    // The last OpenPort succeeded, or none has been made.
    PORT_REASON_NONE = 0,
    // Another program holds the device.
    PORT_REASON_IN_USE = 1,
    // Nothing is there: no device by that name, or one with no hardware behind it.
    PORT_REASON_ABSENT = 2,
    // Something is there, but not a serial device (a plain file, /dev/null).
    PORT_REASON_NOT_SERIAL = 3,
    // The device refused or only partly took the line settings (with PORT_ERR_SETSTATE).
    PORT_REASON_REFUSED = 4,
    // POSIX systems: the device is there, but this user may not open it.
    PORT_REASON_DENIED = 5,
    // Windows: the port is there but did not answer the open (a Bluetooth port whose device is
    // out of range, a device that is not working). It stays among the ports ListPorts names.
    PORT_REASON_NO_RESPONSE = 6,
    // WritePort: the device went away under the write (a USB adapter unplugged, or its driver
    // stopped working).
    PORT_REASON_GONE = 7,
    // WritePort: the line stopped taking bytes: they did not leave within the write's bound,
    // or the driver gave up on them.
    PORT_REASON_STALLED = 8,
};

// Why the last OpenPort failed (PORT_REASON_NONE after one that succeeded), or, after a
// WritePort that failed, why that write did.
int GetPortReason();

// The system's own words for the error behind the last failure GetPortReason tells of
// (FormatMessage on Windows, strerror on POSIX systems), without a full stop or line end at
// its end; empty when there is none (the failure was the module's own bound, or no call of the
// system failed).
std::string GetPortSystemMessage();

// The serial ports present now, for telling the technician which ones exist when the one asked
// for does not.
struct PortListing {
    // "COM<n>", with the device's own name where the system gives one ("COM3 (USB Serial
    // Port)"), in ascending order of n.
    std::vector<std::string> ports;
    // POSIX systems: serial devices that no COM number reaches, each with the link that would
    // make it one: "/dev/ttyUSB0 (ln -s /dev/ttyUSB0 ~/.wine/dosdevices/com5)". Empty on
    // Windows.
    std::vector<std::string> unnumbered;
};

// Opens no device: opening a port raises DTR and RTS and closing it drops them, which resets
// some devices, and a Bluetooth port can take seconds to refuse. Windows: the ports the device
// manager has present, those in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and the COM names among the
// system's device names (under Wine these are the ports Wine made when it started, not links
// added to the prefix's dosdevices folder later). POSIX systems: what the device nodes and sysfs
// say (ListPortsIn in port_posix.h).
PortListing ListPorts();
